// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>

namespace orvane {

// Every interval, deadline and sample time of the program.
using Clock = std::chrono::steady_clock;

} // namespace orvane
