// SPDX-License-Identifier: MIT
#pragma once

#include "common/clock.h"
#include "common/fd.h"
#include "http/wire.h"

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

namespace macmon {

// How long a new connection has to send its request before it may make way at the connection limit.
constexpr std::chrono::milliseconds kEvictAfter { 50 };

struct Connection
{
    enum class State
    {
        Reading,
        Waiting, // for the document
        Writing,
        Closing // answered; what the client still sends is read and dropped so it gets to see the answer
    };
    orvane::Fd fd;
    // What epoll reports it by: unlike its descriptor, never reused for a later connection in one batch of
    // events.
    std::uint64_t id = 0;
    State state = State::Reading;
    orvane::Clock::time_point deadline; // by which its request must have come
    std::string in;
    std::string out;
    std::shared_ptr<const std::string> body;
    std::size_t sent = 0;
    http::Verdict verdict;
    bool ended = false; // the client sent all it will send
    std::uint32_t watched = 0; // the events epoll has for it
};

// Oldest first.
using Connections = std::list<Connection>;

// What makes room for a newcomer at the limit: a connection already answered, else the oldest still reading
// whose request is overdue (it came kEvictAfter ago or more); none while each is being answered or is new.
Connections::iterator makesWay(
    Connections &connections, orvane::Clock::time_point now, orvane::Clock::duration headTime);

} // namespace macmon
