// SPDX-License-Identifier: MIT
#include "service/reexec.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace macmon {
namespace {

// Where the systemd convention puts the first passed descriptor, and its two variables.
constexpr int kListenFd = 3;
constexpr char kListenFds[] = "LISTEN_FDS";
constexpr char kListenPid[] = "LISTEN_PID";

bool isLoopbackListener(int fd, std::uint16_t port)
{
    int listening = 0;
    socklen_t size = sizeof listening;
    sockaddr_in address {};
    socklen_t length = sizeof address;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0
        && address.sin_family == AF_INET && address.sin_addr.s_addr == htonl(INADDR_LOOPBACK)
        && ntohs(address.sin_port) == port;
}

} // namespace

std::optional<OwnProgram> OwnProgram::current()
{
    std::error_code ec;
    OwnProgram program;
    program.path_ = std::filesystem::read_symlink("/proc/self/exe", ec);
    struct stat running
    { };
    // The link names the running file; stat follows it to that very inode, whatever lies at the path.
    if (ec || program.path_.string().ends_with(" (deleted)") || ::stat("/proc/self/exe", &running) != 0)
        return std::nullopt;
    program.device_ = running.st_dev;
    program.inode_ = running.st_ino;
    return program;
}

OwnProgram::State OwnProgram::state() const
{
    struct stat now
    { };
    if (::stat(path_.c_str(), &now) != 0)
        return errno == ENOENT || errno == ENOTDIR ? State::Gone : State::Same;
    if (!S_ISREG(now.st_mode) || ::access(path_.c_str(), X_OK) != 0)
        return State::Gone;
    return now.st_dev == device_ && now.st_ino == inode_ ? State::Same : State::Replaced;
}

orvane::Status OwnProgram::reexec(int &listenFd, char *const argv[]) const
{
    if (listenFd != kListenFd) {
        if (::dup2(listenFd, kListenFd) < 0)
            return orvane::Failed { std::string("cannot pass the socket on: ") + std::strerror(errno),
                errno };
        ::close(std::exchange(listenFd, kListenFd));
    }
    // dup2 leaves the copy open across exec; a socket already in place needs its flag cleared.
    if (::fcntl(kListenFd, F_SETFD, 0) != 0)
        return orvane::Failed { std::string("cannot pass the socket on: ") + std::strerror(errno), errno };
    ::setenv(kListenFds, "1", 1);
    ::setenv(kListenPid, std::to_string(::getpid()).c_str(), 1);
    ::execv(path_.c_str(), argv);
    const int error = errno;
    ::unsetenv(kListenFds);
    ::unsetenv(kListenPid);
    ::fcntl(kListenFd, F_SETFD, FD_CLOEXEC);
    return orvane::Failed { "cannot run " + path_.string() + " again: " + std::strerror(error), error };
}

std::optional<int> inheritedListener(std::uint16_t port)
{
    const char *fds = std::getenv(kListenFds);
    const char *pid = std::getenv(kListenPid);
    const bool ours = fds && pid && std::string(fds) == "1" && std::string(pid) == std::to_string(::getpid());
    // Taken once: nothing this process starts may take the socket for its own.
    ::unsetenv(kListenFds);
    ::unsetenv(kListenPid);
    if (!ours || !isLoopbackListener(kListenFd, port))
        return std::nullopt;
    ::fcntl(kListenFd, F_SETFD, FD_CLOEXEC);
    return kListenFd;
}

} // namespace macmon
