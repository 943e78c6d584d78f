// SPDX-License-Identifier: MIT
#include "http/connection.h"

namespace macmon {

Connections::iterator makesWay(
    Connections &connections, orvane::Clock::time_point now, orvane::Clock::duration headTime)
{
    const auto overdue = now - kEvictAfter + headTime;
    auto reading = connections.end();
    for (auto it = connections.begin(); it != connections.end(); ++it) {
        if (it->state == Connection::State::Closing)
            return it;
        if (it->state == Connection::State::Reading && reading == connections.end()
            && it->deadline <= overdue)
            reading = it;
    }
    return reading;
}

} // namespace macmon
