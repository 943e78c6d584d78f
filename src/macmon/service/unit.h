// SPDX-License-Identifier: MIT
#pragma once

#include "base/environment.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace macmon {

constexpr char kUnitName[] = "orvane-macmon.service";

// What the installed service runs: absolute paths, the port and every root it was installed with.
struct ServiceCommand
{
    std::filesystem::path executable;
    std::uint16_t port = 0;
    Roots roots;

    std::vector<std::string> arguments(bool detach) const;
};

std::string systemdQuote(const std::string &arg);
std::string desktopExecQuote(const std::string &arg);
// The autostart entry's Exec value for these arguments.
std::string desktopExecLine(const std::vector<std::string> &args);
std::string systemdUnit(const ServiceCommand &command);
std::string autostartEntry(const ServiceCommand &command);

} // namespace macmon
