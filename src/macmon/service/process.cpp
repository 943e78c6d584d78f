// SPDX-License-Identifier: MIT
#include "service/process.h"

#include "common/text.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace macmon {

ExecArguments::ExecArguments(const std::vector<std::string> &argv, const Environment &env)
    : strings_(argv)
    , argCount_(argv.size())
{
    for (const auto &[k, v] : env)
        strings_.push_back(k + "=" + v);
    // Both arrays live in argv_, each ended by a null: the arguments, then the environment.
    for (std::size_t i = 0; i < strings_.size(); ++i) {
        if (i == argCount_)
            argv_.push_back(nullptr);
        argv_.push_back(strings_[i].data());
    }
    if (argCount_ == strings_.size())
        argv_.push_back(nullptr);
    argv_.push_back(nullptr);
}

std::optional<std::string> findProgram(const std::string &program, const Environment &env)
{
    if (program.find('/') != std::string::npos)
        return program;
    std::stringstream path(lookup(env, "PATH"));
    std::string dir;
    while (std::getline(path, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

CommandResult runCommand(
    const std::vector<std::string> &argv, const Environment &env, std::chrono::milliseconds timeout)
{
    CommandResult result;
    const auto program = argv.empty() ? std::nullopt : findProgram(argv.front(), env);
    if (!program)
        return result;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    ExecArguments exec(argv, env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program->c_str(), &actions, nullptr, exec.argv(), exec.envp());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(out[0]);
        ::close(err[0]);
        return result;
    }
    result.started = true;

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::array<pollfd, 2> fds { pollfd { out[0], POLLIN, 0 }, pollfd { err[0], POLLIN, 0 } };
    std::array<std::string *, 2> sinks { &result.out, &result.err };
    bool timedOut = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (auto &p : fds)
        if (p.fd >= 0)
            ::close(p.fd);
    if (timedOut)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    if (!timedOut && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

} // namespace macmon
