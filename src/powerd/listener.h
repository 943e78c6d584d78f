// SPDX-License-Identifier: MIT
#pragma once

#include "common/status.h"

#include <chrono>
#include <functional>
#include <string>

namespace powerd {

// The listening socket systemd passed (LISTEN_FDS).
orvane::Result<int> activatedSocket();

// Accepts one connection at a time, writes it line() and closes it, reading nothing from it; returns once no
// connection came for idle, or on a socket failure.
orvane::Status answerUntilIdle(
    int listenFd, const std::function<std::string()> &line, std::chrono::milliseconds idle);

} // namespace powerd
