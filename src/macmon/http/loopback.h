// SPDX-License-Identifier: MIT
#pragma once

#include "common/fd.h"
#include "common/status.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace macmon {

// A listening TCP socket on 127.0.0.1:port (0 picks a free port); a port in use fails with EADDRINUSE.
orvane::Result<orvane::Fd> listenLoopback(std::uint16_t port);
std::uint16_t boundPort(int fd);
// A blocking TCP connection to 127.0.0.1:port; none when nothing accepts it.
orvane::Fd connectLoopback(std::uint16_t port);
void setNonBlocking(int fd);

// What a user reads when another program holds the port.
std::string portTakenMessage(std::uint16_t port);

// True when nothing listens on 127.0.0.1:port and it could be bound now.
bool portFree(std::uint16_t port);
// True when a connection to 127.0.0.1:port is accepted.
bool portOpen(std::uint16_t port);

// Sends request to 127.0.0.1:port and returns all that comes back until the peer closes,
// or nothing when it cannot connect or the time runs out first.
std::optional<std::string> exchange(
    std::uint16_t port, const std::string &request, std::chrono::milliseconds timeout);

// True when GET /json answers 200.
bool answersJson(std::uint16_t port, std::chrono::milliseconds timeout);

} // namespace macmon
