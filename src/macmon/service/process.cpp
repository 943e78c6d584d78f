// SPDX-License-Identifier: MIT
#include "service/process.h"

#include "common/fd.h"
#include "common/text.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
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

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe
{
    orvane::Fd read, write;
};

std::optional<Pipe> makePipe()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return std::nullopt;
    return Pipe { orvane::Fd(ends[0]), orvane::Fd(ends[1]) };
}

// The child reads nothing and writes to the pipes given; 0 when it could not start.
pid_t spawn(const std::string &program, ExecArguments &exec, const Pipe &out, const Pipe &err)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), 2);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, exec.argv(), exec.envp());
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : 0;
}

// Reads both pipes until the child closes them; false when the deadline came first.
bool collect(std::array<orvane::Fd, 2> pipes, std::array<std::string *, 2> sinks, Clock::time_point deadline)
{
    std::array<pollfd, 2> fds { pollfd { pipes[0].get(), POLLIN, 0 }, pollfd { pipes[1].get(), POLLIN, 0 } };
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR)
            return true;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                fds[i].fd = -1;
        }
    }
    return true;
}

// The child's exit code, or -1 when it did not exit in time (then it is killed) or was killed.
int reap(pid_t pid, Clock::time_point deadline, bool inTime)
{
    // A child that closed its output may still run: the time limit holds for its exit too.
    int status = 0;
    pid_t ended = 0;
    while (inTime && (ended = ::waitpid(pid, &status, WNOHANG)) == 0)
        if (Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        else
            inTime = false;
    if (!inTime)
        ::kill(pid, SIGKILL);
    while (ended != pid && (ended = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) { }
    return inTime && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

CommandResult runCommand(
    const std::vector<std::string> &argv, const Environment &env, std::chrono::milliseconds timeout)
{
    CommandResult result;
    const auto program = argv.empty() ? std::nullopt : findProgram(argv.front(), env);
    auto out = makePipe();
    auto err = makePipe();
    if (!program || !out || !err)
        return result;
    ExecArguments exec(argv, env);
    const pid_t pid = spawn(*program, exec, *out, *err);
    // Our copies of the write ends go, so the reads below end when the child's do.
    out->write.reset();
    err->write.reset();
    if (pid == 0)
        return result;
    result.started = true;
    const auto deadline = Clock::now() + timeout;
    const bool inTime
        = collect({ std::move(out->read), std::move(err->read) }, { &result.out, &result.err }, deadline);
    result.exitCode = reap(pid, deadline, inTime);
    return result;
}

} // namespace macmon
