// SPDX-License-Identifier: MIT
#pragma once

#include "common/files.h"
#include "service/paths.h"
#include "service/process.h"
#include "service/unit.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace macmon {

// Asks the user's service manager whether it is there; a degraded manager still counts.
bool userManagerRunning(const Environment &env);

class Installer
{
public:
    explicit Installer(Environment env, std::chrono::milliseconds wait = std::chrono::seconds(5));

    Failure install(const ServiceCommand &command);
    Failure uninstall();

private:
    Failure replace(const ServiceCommand &command);
    Failure remove();
    Failure checkSensors(const Roots &roots) const;
    Failure installSystemd(const ServiceCommand &command);
    Failure installAutostart(const ServiceCommand &command);
    Failure removeSystemd(std::vector<std::uint16_t> &ports);
    Failure stopDaemon(const std::optional<std::string> &entry);
    bool installed() const;
    CommandResult systemctl(const std::vector<std::string> &args) const;
    // The time a step may take: at most cap, and never past the run's deadline.
    std::chrono::milliseconds budget(std::chrono::milliseconds cap) const;

    Environment env_;
    InstallPaths paths_;
    std::chrono::milliseconds wait_;
    std::chrono::steady_clock::time_point deadline_;
};

} // namespace macmon
