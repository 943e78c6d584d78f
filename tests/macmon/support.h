// SPDX-License-Identifier: MIT
#pragma once

#include "process.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace macmon::test {

namespace fs = std::filesystem;

fs::path fixture(const std::string &machine);

// A private temporary folder, removed with everything in it.
class ScratchDir
{
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

// A writable copy of a recorded machine, links kept as links.
fs::path copyMachine(const std::string &machine, const fs::path &to);
void writeText(const fs::path &file, const std::string &text);
std::string readText(const fs::path &file);

// Root reads through file modes; this takes that power away from the calling thread (and
// threads it starts) for its lifetime, so a mode-000 file is unreadable as it is for a user.
class WithoutFileOverride
{
public:
    WithoutFileOverride();
    ~WithoutFileOverride();
    bool active() const { return ok_; }

private:
    bool ok_ = false;
    bool changed_ = false;
};

std::uint16_t freePort();

// text with every "{P}" replaced by port.
std::string withPort(std::string text, std::uint16_t port);

// A raw HTTP exchange with 127.0.0.1:port ("{P}" in request stands for it); the status is 0 when nothing came
// back.
struct HttpAnswer
{
    int status = 0;
    std::string head;
    std::string body;
};
HttpAnswer http(std::uint16_t port, const std::string &request);
HttpAnswer get(std::uint16_t port, const std::string &path = "/json");

// A child process that is killed, if still running, when this goes away.
class Child
{
public:
    // Standard output and error go to outputFile when one is given, else they are inherited.
    Child(const std::vector<std::string> &argv, const Environment &env, const fs::path &outputFile = {});
    ~Child();
    pid_t pid() const { return pid_; }
    // Waits for the exit and returns its code (-1 for a signal or time-out).
    int wait(int timeoutMs);

private:
    pid_t pid_ = -1;
};

std::optional<pid_t> recordedPid(const fs::path &pidFile);
// Kills the process recorded in a pid file, for cleanup after a failed test.
void killRecorded(const fs::path &pidFile);

} // namespace macmon::test
