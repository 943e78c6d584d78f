// SPDX-License-Identifier: MIT
#pragma once

#include "common/clock.h"
#include "common/fd.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace macmon {

// How long one sample waits on the system power helper, connect and answer together.
constexpr std::chrono::milliseconds kPowerHelperBudget { 100 };

// The helper's answer: whole watts as digits and a newline ("17\n"). An empty line (no figure yet) and
// anything else give none.
std::optional<double> parseHelperAnswer(std::string_view answer);

struct HelperAnswer
{
    std::optional<double> watts; // none when the helper is absent, slow, has no figure yet or garbles it
    bool reached = false; // a helper listens there: it may have a figure soon (a cold start, a new window)
    bool late = false; // it listens, but has not answered within the budget (a full backlog, a long queue)
};

// Asks the helper listening at a socket for the processors' power. A question still queued when the budget
// runs out is kept for the next call: behind a flood of other clients, asking anew would only requeue it.
class PowerHelperClient
{
public:
    explicit PowerHelperClient(
        std::filesystem::path socket, std::chrono::milliseconds budget = kPowerHelperBudget);
    HelperAnswer ask();
    // Drops a question still waiting, whose answer would be too old by the next call.
    void forget();

private:
    bool connect(orvane::Clock::time_point deadline, HelperAnswer &result);

    std::filesystem::path socket_;
    std::chrono::milliseconds budget_;
    orvane::Fd pending_;
    std::string answer_;
};

} // namespace macmon
