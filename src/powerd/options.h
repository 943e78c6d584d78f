// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace powerd {

using namespace std::chrono_literals;

// Without a connection for this long the helper exits; the socket stays and starts it again.
constexpr std::chrono::milliseconds kIdle = 60s;

struct Options
{
    enum class Action
    {
        Serve,
        Help,
        Version
    };
    Action action = Action::Serve;
    std::filesystem::path sysfsRoot = "/sys";
    std::chrono::milliseconds idle = kIdle; // shorter only in tests
};

struct ParsedArguments
{
    std::optional<Options> options;
    std::string error; // set when options is empty
};

// args excludes the program name.
ParsedArguments parseArguments(const std::vector<std::string> &args);
std::string usage();

} // namespace powerd
