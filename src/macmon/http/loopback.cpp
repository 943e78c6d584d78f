// SPDX-License-Identifier: MIT
#include "http/loopback.h"

#include "common/wait.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace macmon {
namespace {

// Room for a burst of clients while the event thread accepts them.
constexpr int kBacklog = 512;

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

} // namespace

orvane::Fd connectLoopback(std::uint16_t port)
{
    orvane::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in addr = loopback(port);
    if (fd.valid() && ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
        fd.reset();
    return fd;
}

orvane::Result<orvane::Fd> listenLoopback(std::uint16_t port)
{
    orvane::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // Lets a restarted service take its port back while old connections sit in TIME_WAIT.
    const int on = 1;
    const sockaddr_in addr = loopback(port);
    if (fd.valid() && ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
        && ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0
        && ::listen(fd.get(), kBacklog) == 0)
        return fd;
    const int error = errno;
    if (error == EADDRINUSE)
        return orvane::Failed { portTakenMessage(port), error };
    return orvane::Failed {
        "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(error), error
    };
}

std::uint16_t boundPort(int fd)
{
    sockaddr_in addr {};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

void setNonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string portTakenMessage(std::uint16_t port)
{
    return "port " + std::to_string(port) + " on 127.0.0.1 is taken by another program";
}

bool portFree(std::uint16_t port)
{
    return listenLoopback(port).ok();
}

bool portOpen(std::uint16_t port)
{
    return connectLoopback(port).valid();
}

std::optional<std::string> exchange(
    std::uint16_t port, const std::string &request, std::chrono::milliseconds timeout)
{
    const auto deadline = orvane::Clock::now() + timeout;
    const orvane::Fd fd = connectLoopback(port);
    if (!fd.valid())
        return std::nullopt;
    std::optional<std::string> answer;
    if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL)
        == static_cast<ssize_t>(request.size())) {
        std::string data;
        char buffer[4096];
        while (orvane::waitReady(fd.get(), POLLIN, deadline)) {
            const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
            if (n <= 0) {
                // A reset after the answer (the peer closed with input unread) still ends the answer.
                if (n == 0 || !data.empty())
                    answer = std::move(data);
                break;
            }
            data.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return answer;
}

bool answersJson(std::uint16_t port, std::chrono::milliseconds timeout)
{
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const auto answer
        = exchange(port, "GET /json HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n", timeout);
    return answer && answer->rfind("HTTP/1.1 200 ", 0) == 0;
}

} // namespace macmon
