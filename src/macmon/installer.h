// SPDX-License-Identifier: MIT
#pragma once

#include "process.h"
#include "sources.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace macmon {

// Empty on success; otherwise one line that a user can act on.
using Failure = std::optional<std::string>;

constexpr char kUnitName[] = "orvane-macmon.service";

struct InstallPaths
{
    std::filesystem::path unitFile; // systemd user unit
    std::filesystem::path autostartFile; // XDG autostart entry
    std::filesystem::path pidFile; // the detached daemon's

    static InstallPaths forEnvironment(const Environment &env);
};

// What the installed service runs: absolute paths, the port and the roots it was installed with.
struct ServiceCommand
{
    std::filesystem::path executable;
    std::uint16_t port = 0;
    Roots roots;

    std::vector<std::string> arguments(bool detach) const;
};

std::string systemdQuote(const std::string &arg);
std::string desktopExecQuote(const std::string &arg);
std::string systemdUnit(const ServiceCommand &command);
std::string autostartEntry(const ServiceCommand &command);

// Asks the user's service manager whether it is there; a degraded manager still counts.
bool userManagerRunning(const Environment &env);

class Installer
{
public:
    explicit Installer(Environment env, std::chrono::milliseconds wait = std::chrono::seconds(5));

    Failure install(const ServiceCommand &command);
    Failure uninstall();

private:
    Failure installSystemd(const ServiceCommand &command);
    Failure installAutostart(const ServiceCommand &command);
    Failure removeSystemd(std::vector<std::uint16_t> &ports);
    Failure stopDaemon(std::vector<std::uint16_t> &ports);
    bool installed() const;
    CommandResult systemctl(const std::vector<std::string> &args) const;

    Environment env_;
    InstallPaths paths_;
    std::chrono::milliseconds wait_;
};

// The detached daemon's side. detach() returns only in the detached grandchild, with the
// readiness channel; the calling process exits with 0 once reportReady("") is sent, else 1.
int detach();
void reportReady(int channel, const std::string &error);
Failure writePidFile(const std::filesystem::path &file);
void removePidFile(const std::filesystem::path &file);

} // namespace macmon
