// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace macmon {

using Environment = std::map<std::string, std::string>;

// From "NAME=value" entries; the first of a name wins, and an entry without '=' is none.
Environment environmentFrom(const std::vector<std::string> &entries);
Environment currentEnvironment();
std::string lookup(const Environment &env, const std::string &name);

// Where the machine is read from: the real /sys and /proc, or a recorded machine's.
struct Roots
{
    std::filesystem::path sysfs = "/sys";
    std::filesystem::path procfs = "/proc";
    std::filesystem::path powerSocket = {}; // the system power helper's; empty asks none
};

} // namespace macmon
