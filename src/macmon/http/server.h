// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace macmon {

struct ServerLimits
{
    // Beyond this many connections the oldest one not being answered makes way.
    unsigned connections = 256;
    // A request head must be complete this soon after the connection opens, and an answer taken as soon.
    std::chrono::milliseconds headTime { 2000 };
    std::size_t headBytes = 8 * 1024;
};

// GET/HEAD /json on loopback: an event thread does the socket work, a document thread waits for documents.
class Server
{
public:
    // May block for a while (a sleeping sampler wakes); nullptr when there is no fresh reading.
    using DocumentSource = std::function<std::shared_ptr<const std::string>()>;

    // Takes ownership of listenFd, a socket already listening on 127.0.0.1.
    Server(int listenFd, DocumentSource document, ServerLimits limits = {});
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    std::uint16_t port() const { return port_; }
    // Stops taking connections, answers those already taken, and gives the listening socket back, open.
    int handOver();

    struct Loop;

private:
    std::uint16_t port_;
    std::unique_ptr<Loop> loop_;
    std::thread eventThread_;
};

} // namespace macmon
