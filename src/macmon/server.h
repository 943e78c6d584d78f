// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

struct MHD_Daemon;

namespace macmon {

struct ServerLimits
{
    unsigned connections = 32;
    std::chrono::seconds idle { 10 };
    std::size_t requestBytes = 8 * 1024; // per-connection memory, which bounds the request head
};

// The HTTP surface: GET/HEAD /json on loopback, served from a ready document.
class Server
{
public:
    using DocumentSource = std::function<std::shared_ptr<const std::string>()>;

    // Takes ownership of listenFd, a socket already listening on 127.0.0.1.
    Server(int listenFd, DocumentSource document, ServerLimits limits = {});
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    std::uint16_t port() const { return port_; }

    // Exposed for the request callback only.
    struct Context;

private:
    std::uint16_t port_;
    std::unique_ptr<Context> context_;
    MHD_Daemon *daemon_ = nullptr;
};

} // namespace macmon
