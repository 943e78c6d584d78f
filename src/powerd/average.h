// SPDX-License-Identifier: MIT
#pragma once

#include "common/clock.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace powerd {

// One energy counter per package, in microjoules, in the order the packages were found.
using Microjoules = std::vector<std::uint64_t>;

// The packages' power over the last complete window, in whole watts; the caller brings the time.
class PowerAverage
{
public:
    // rangesUj: where each counter wraps back to 0 (0 when unknown: a counter going back then gives nothing).
    PowerAverage(Microjoules rangesUj, orvane::Clock::duration window);
    // Whether a reading now closes a window (or opens the first): at most one reading per window.
    bool due(orvane::Clock::time_point now) const;
    // A failed reading (nullopt) clears the figure; the next one opens a new window.
    void add(orvane::Clock::time_point now, const std::optional<Microjoules> &energyUj);
    std::optional<long long> watts() const { return watts_; }

private:
    Microjoules ranges_;
    orvane::Clock::duration window_;
    std::optional<orvane::Clock::time_point> lastAt_;
    Microjoules last_;
    std::optional<long long> watts_;
};

} // namespace powerd
