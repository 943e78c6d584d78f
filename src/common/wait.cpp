// SPDX-License-Identifier: MIT
#include "common/wait.h"

#include <cerrno>
#include <poll.h>

namespace orvane {

bool waitReady(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        // Rounded up, so a wait never spins on a zero timeout just before its deadline.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p { fd, events, 0 };
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

} // namespace orvane
