// SPDX-License-Identifier: MIT
#pragma once

#include "common/clock.h"

namespace orvane {

// Waits until fd is ready for events (poll's flags); false once the deadline passes or polling fails. A
// signal does not end the wait.
bool waitReady(int fd, short events, Clock::time_point deadline);

} // namespace orvane
