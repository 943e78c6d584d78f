// SPDX-License-Identifier: MIT
#include "listener.h"

#include "common/clock.h"
#include "common/fd.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace powerd {

using orvane::Clock;

namespace {
constexpr int kAcceptsPerWake = 256;
} // namespace

orvane::Result<int> activatedSocket()
{
    // Unset, so nothing this process might start takes the socket for its own.
    const int count = sd_listen_fds(1);
    if (count < 0)
        return orvane::Failed { std::string("cannot take the socket from systemd: ") + std::strerror(-count),
            -count };
    if (count != 1)
        return orvane::Failed { "expects one listening socket from systemd, got " + std::to_string(count) };
    const int fd = SD_LISTEN_FDS_START;
    if (sd_is_socket(fd, AF_UNIX, SOCK_STREAM, 1) <= 0)
        return orvane::Failed { "the socket from systemd is not a listening Unix stream socket" };
    return fd;
}

orvane::Status answerUntilIdle(
    int listenFd, const std::function<std::string()> &line, std::chrono::milliseconds idle)
{
    // Taken in turns until none waits, which a blocking socket (systemd passes one) would not tell.
    if (const int flags = ::fcntl(listenFd, F_GETFL);
        flags < 0 || ::fcntl(listenFd, F_SETFL, flags | O_NONBLOCK) != 0)
        return orvane::Failed { std::string("cannot use the listening socket: ") + std::strerror(errno),
            errno };
    auto deadline = orvane::Clock::now() + idle;
    for (;;) {
        const auto left
            = std::chrono::ceil<std::chrono::milliseconds>(deadline - orvane::Clock::now()).count();
        if (left <= 0)
            return {};
        pollfd listening { listenFd, POLLIN, 0 };
        const int ready = ::poll(&listening, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready < 0 && errno != EINTR)
            return orvane::Failed { std::string("cannot wait for connections: ") + std::strerror(errno),
                errno };
        if (ready <= 0)
            continue;
        if (listening.revents & (POLLERR | POLLHUP | POLLNVAL))
            return orvane::Failed { "the listening socket failed" };
        // The backlog is emptied at each wake, so a flood of connections leaves room for those who ask.
        for (int n = 0; n < kAcceptsPerWake; ++n) {
            const orvane::Fd fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!fd.valid()) {
                // A client gone before its turn costs nothing; running out of descriptors or memory does.
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    break;
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return orvane::Failed { std::string("cannot accept a connection: ") + std::strerror(errno),
                    errno };
            }
            const std::string text = line();
            // A short line fits an idle socket at once, read or not; no client is ever waited for.
            (void)::send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            deadline = orvane::Clock::now() + idle;
        }
    }
}

} // namespace powerd
