// SPDX-License-Identifier: MIT
#include "support/peer.h"

#include "common/files.h"
#include "common/text.h"
#include "http/loopback.h"

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace macmon::test {

std::uint16_t freePort()
{
    const auto listening = listenLoopback(0);
    return listening ? boundPort(listening->get()) : 0;
}

std::string withPort(std::string text, std::uint16_t port)
{
    for (std::size_t at; (at = text.find("{P}")) != std::string::npos;)
        text.replace(at, 3, std::to_string(port));
    return text;
}

HttpAnswer http(std::uint16_t port, const std::string &request)
{
    const auto raw = exchange(port, withPort(request, port), std::chrono::seconds(5));
    if (!raw || raw->size() < 12 || raw->rfind("HTTP/1.", 0) != 0)
        return {};
    const auto split = raw->find("\r\n\r\n");
    return { std::atoi(raw->substr(9, 3).c_str()), raw->substr(0, split),
        split == std::string::npos ? "" : raw->substr(split + 4) };
}

HttpAnswer get(std::uint16_t port, const std::string &path)
{
    return http(port,
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port)
            + "\r\nConnection: close\r\n\r\n");
}

std::string receive(int fd, int timeoutMs)
{
    std::string got;
    char buffer[4096];
    pollfd p { fd, POLLIN, 0 };
    for (ssize_t n; ::poll(&p, 1, timeoutMs) > 0 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        got.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return got;
}

Child::Child(const std::vector<std::string> &argv, const Environment &env, const fs::path &outputFile)
{
    // Built here rather than by the service's own code, so the HTTP tests link the HTTP layer alone.
    std::vector<std::string> strings = argv;
    for (const auto &[name, value] : env)
        strings.push_back(name + "=" + value);
    std::vector<char *> args, vars;
    for (std::size_t i = 0; i < strings.size(); ++i)
        (i < argv.size() ? args : vars).push_back(strings[i].data());
    args.push_back(nullptr);
    vars.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outputFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    const int failed
        = ::posix_spawn(&pid_, argv.front().c_str(), &actions, nullptr, args.data(), vars.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::runtime_error("cannot start " + argv.front());
}

Child::~Child()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

int Child::wait(int timeoutMs)
{
    for (int waited = 0; pid_ > 0 && waited <= timeoutMs; waited += 20) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

std::optional<pid_t> recordedPid(const fs::path &pidFile)
{
    const auto text = orvane::readFile(pidFile);
    const auto pid = text ? orvane::parseInteger(*text) : std::nullopt;
    return pid && *pid > 1 && *pid <= INT_MAX ? std::optional(static_cast<pid_t>(*pid)) : std::nullopt;
}

void killRecorded(const fs::path &pidFile)
{
    const auto pid = recordedPid(pidFile);
    std::error_code ec;
    // Only a macmon: the recorded process may be long gone and its number reused.
    const auto program = pid ? fs::read_symlink("/proc/" + std::to_string(*pid) + "/exe", ec) : fs::path();
    if (program.filename().string().starts_with("macmon"))
        ::kill(*pid, SIGKILL);
}

} // namespace macmon::test
