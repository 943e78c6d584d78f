// SPDX-License-Identifier: MIT
#pragma once

#include "base/environment.h"
#include "base/program.h"
#include "common/status.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace macmon {

struct Options
{
    enum class Action
    {
        Serve,
        Install,
        Uninstall,
        Help,
        Version
    };
    Action action = Action::Serve;
    std::uint16_t port = kDefaultPort;
    Roots roots;
    bool detach = false; // run in the background with a pid file (what the autostart entry runs)
};

// args excludes the program name. Roots come from flags, else MACMON_SYSFS_ROOT / MACMON_PROCFS_ROOT.
orvane::Result<Options> parseArguments(const std::vector<std::string> &args, const Environment &env);
std::string usage();

} // namespace macmon
