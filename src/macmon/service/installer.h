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
bool userManagerRunning(const Environment &env, std::chrono::milliseconds timeout = std::chrono::seconds(5));

class Installer
{
public:
    // An install or uninstall ends within runTime (plus the time to exit), however long the lock is held or a
    // step hangs; wait bounds each wait for the service to answer or stop.
    explicit Installer(Environment env, std::chrono::milliseconds wait = std::chrono::seconds(5),
        std::chrono::milliseconds runTime = std::chrono::seconds(14));

    orvane::Status install(const ServiceCommand &command);
    orvane::Status uninstall();

private:
    orvane::Status replace(const ServiceCommand &command);
    orvane::Status remove();
    orvane::Status checkSensors(const Roots &roots) const;
    orvane::Status installSystemd(const ServiceCommand &command);
    orvane::Status installAutostart(const ServiceCommand &command);
    orvane::Status removeSystemd(std::vector<std::uint16_t> &ports);
    orvane::Status stopDaemon(const orvane::Result<std::string> &entry);
    bool installed() const;
    CommandResult systemctl(const std::vector<std::string> &args) const;
    // The time a step may take: at most cap, and never past the run's deadline.
    std::chrono::milliseconds budget(std::chrono::milliseconds cap) const;

    Environment env_;
    InstallPaths paths_;
    std::chrono::milliseconds wait_;
    std::chrono::milliseconds runTime_;
    // Every step ends by deadline_; undoing a failed install may go on until end_.
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::steady_clock::time_point end_;
};

} // namespace macmon
