// SPDX-License-Identifier: MIT
#pragma once

#include "base/environment.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// The service's peers in tests: HTTP clients, and the processes it runs as.
namespace macmon::test {

namespace fs = std::filesystem;

std::uint16_t freePort();

// text with every "{P}" replaced by port.
std::string withPort(std::string text, std::uint16_t port);

// A raw HTTP exchange with 127.0.0.1:port ("{P}" in request stands for it); status 0 if nothing came back.
struct HttpAnswer
{
    int status = 0;
    std::string head, body;
};
HttpAnswer http(std::uint16_t port, const std::string &request);
HttpAnswer get(std::uint16_t port, const std::string &path = "/json");
// All that comes on a socket until the peer closes, or the time runs out; the socket is closed.
std::string receive(int fd, int timeoutMs = 5000);

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
