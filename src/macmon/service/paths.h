// SPDX-License-Identifier: MIT
#pragma once

#include "base/environment.h"

#include <filesystem>

namespace macmon {

// The folder of ours under XDG_STATE_HOME.
constexpr char kStateFolder[] = "orvane-companion";

// Where the installed service and its bookkeeping live, by the XDG rules.
struct InstallPaths
{
    std::filesystem::path unitFile; // systemd user unit
    std::filesystem::path autostartFile; // XDG autostart entry
    std::filesystem::path pidFile; // the detached daemon's
    std::filesystem::path lockFile; // held by install and uninstall for their whole run

    static InstallPaths forEnvironment(const Environment &env);
};

} // namespace macmon
