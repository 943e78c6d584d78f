// SPDX-License-Identifier: MIT
#pragma once

#include "base/environment.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace macmon {

// argv and envp in the shape exec and posix_spawn take them; valid while this lives.
class ExecArguments
{
public:
    ExecArguments(const std::vector<std::string> &argv, const Environment &env);
    char **argv() { return argv_.data(); }
    char **envp() { return argv_.data() + argCount_ + 1; }

private:
    std::vector<std::string> strings_;
    std::vector<char *> argv_;
    std::size_t argCount_ = 0;
};

struct CommandResult
{
    bool started = false;
    int exitCode = -1; // -1 when it did not exit normally (killed, timed out)
    std::string out;
    std::string err;
};

// Finds program on env's PATH (a name with a slash is taken as it is).
std::optional<std::string> findProgram(const std::string &program, const Environment &env);

// Runs argv with env and stdin from /dev/null, capturing its output; killed when time runs out.
CommandResult runCommand(
    const std::vector<std::string> &argv, const Environment &env, std::chrono::milliseconds timeout);

} // namespace macmon
