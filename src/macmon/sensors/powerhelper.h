// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>

namespace macmon {

// How long one question to the system power helper may take, connect and answer together.
constexpr std::chrono::milliseconds kPowerHelperBudget { 100 };

// The helper's answer: whole watts as digits and a newline ("17\n"). An empty line (no figure yet) and
// anything else give none.
std::optional<double> parseHelperAnswer(std::string_view answer);

// Asks the helper listening at socket for the processors' power; none when it is absent, slow or garbled.
std::optional<double> askPowerHelper(
    const std::filesystem::path &socket, std::chrono::milliseconds budget = kPowerHelperBudget);

} // namespace macmon
