// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace powerd {

// The listening socket systemd passed (LISTEN_FDS), or nothing with the reason in error.
std::optional<int> activatedSocket(std::string &error);

// Accepts one connection at a time, writes it line() and closes it, reading nothing from it; returns once no
// connection came for idle (nothing), or on a socket failure (its reason).
std::optional<std::string> answerUntilIdle(
    int listenFd, const std::function<std::string()> &line, std::chrono::milliseconds idle);

} // namespace powerd
