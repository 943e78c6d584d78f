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

struct HelperAnswer
{
    std::optional<double> watts; // none when the helper is absent, slow, has no figure yet or garbles it
    bool reached = false; // a helper listens there: it may have a figure soon (a cold start, a new window)
};

// Asks the helper listening at socket for the processors' power.
HelperAnswer askPowerHelper(
    const std::filesystem::path &socket, std::chrono::milliseconds budget = kPowerHelperBudget);

} // namespace macmon
