// SPDX-License-Identifier: MIT
#pragma once

#include "base/environment.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
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
// Both absent, or both there and within tolerance.
void expectNear(const std::optional<double> &actual, const std::optional<double> &expected,
    const std::string &what, double tolerance = 1e-6);
std::string readText(const fs::path &file);

// Takes root's reading past file modes from this thread (and threads it starts) while it lives.
class WithoutFileOverride
{
public:
    WithoutFileOverride();
    ~WithoutFileOverride();
    bool active() const { return ok_; }

private:
    bool ok_ = false, changed_ = false;
};

struct HelperAnswers
{
    std::string answer; // none: a hung helper, which never takes a connection
    std::chrono::milliseconds delay {};
    // A socket-activated start: connections queue this long, then an empty line until a window of 1 s closes.
    std::chrono::milliseconds coldStart {};
    std::chrono::milliseconds dribble {}; // a pause before each byte of the answer after the first
    int answers = -1; // how many connections get an answer before the helper hangs; -1: every one
};

// Stands in for the system power helper at socket: answers each connection after the delay.
class StandInHelper
{
public:
    StandInHelper(const fs::path &socket, const HelperAnswers &helper);
    ~StandInHelper();

private:
    const int fd_;
    std::thread thread_;
};

} // namespace macmon::test
