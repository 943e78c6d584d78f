// SPDX-License-Identifier: MIT
#include "average.h"

#include <gtest/gtest.h>

using namespace powerd;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t kRange = 262143328850;

// A reading offered at ms (taken only when due), and the figure expected after it (-1: none).
struct Step
{
    int ms;
    std::optional<Microjoules> uj;
    long long watts;
};

struct Case
{
    const char *name;
    Microjoules ranges;
    std::vector<Step> steps;
};

} // namespace

TEST(PowerAverage, OneRoundedFigurePerWindow)
{
    const std::vector<Case> cases {
        { "the first reading opens a window; halves round up", { kRange },
            { { 0, Microjoules { 5'000'000 }, -1 }, { 1000, Microjoules { 21'500'000 }, 17 },
                { 2000, Microjoules { 37'900'000 }, 16 } } },
        { "no reading within a second of the last", { kRange },
            { { 0, Microjoules { 0 }, -1 }, { 1000, Microjoules { 10'000'000 }, 10 },
                { 1999, Microjoules { 900'000'000 }, 10 }, { 2500, Microjoules { 40'000'000 }, 20 } } },
        { "a failed reading clears the figure and starts over", { kRange },
            { { 0, Microjoules { 0 }, -1 }, { 1000, Microjoules { 9'000'000 }, 9 },
                { 2000, std::nullopt, -1 }, { 3000, Microjoules { 20'000'000 }, -1 },
                { 4000, Microjoules { 23'000'000 }, 3 } } },
        { "a window over a pause in asking is no figure of now", { kRange },
            { { 0, Microjoules { 0 }, -1 }, { 5000, Microjoules { 50'000'000 }, 10 },
                { 10001, Microjoules { 100'000'000 }, -1 }, { 11001, Microjoules { 110'000'000 }, 10 } } },
        { "a counter reset reads as more than any machine draws", { kRange },
            { { 0, Microjoules { 0 }, -1 }, { 1000, Microjoules { 9'000'000'000 }, -1 } } },
        { "no package", {}, { { 0, Microjoules {}, -1 }, { 1000, Microjoules {}, -1 } } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PowerAverage average(c.ranges, 1s);
        const auto start = orvane::Clock::now();
        for (const auto &step : c.steps) {
            const auto now = start + std::chrono::milliseconds(step.ms);
            if (average.due(now))
                average.add(now, step.uj);
            EXPECT_EQ(average.watts().value_or(-1), step.watts) << "at " << step.ms << " ms";
        }
    }
}
