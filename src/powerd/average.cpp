// SPDX-License-Identifier: MIT
#include "average.h"

#include "common/rapl.h"

#include <cmath>
#include <utility>

namespace powerd {

namespace {

// No machine's packages draw this much; a window above it saw a counter reset (a resume), not work.
constexpr double kMostWatts = 5000;
// A window this many times the shortest spans a pause in asking: its average is not a figure of now.
constexpr int kLongestWindows = 5;

} // namespace

PowerAverage::PowerAverage(Microjoules rangesUj, orvane::Clock::duration window)
    : ranges_(std::move(rangesUj))
    , window_(window)
{ }

bool PowerAverage::due(orvane::Clock::time_point now) const
{
    return !lastAt_ || now - *lastAt_ >= window_;
}

void PowerAverage::add(orvane::Clock::time_point now, const std::optional<Microjoules> &energyUj)
{
    const auto previous = std::exchange(last_, energyUj.value_or(Microjoules {}));
    const double seconds = std::chrono::duration<double>(now - lastAt_.value_or(now)).count();
    lastAt_ = now;
    watts_.reset();
    if (ranges_.empty() || last_.size() != ranges_.size() || previous.size() != last_.size() || seconds <= 0
        || seconds > kLongestWindows * std::chrono::duration<double>(window_).count())
        return;
    double joules = 0;
    for (std::size_t i = 0; i < last_.size(); ++i) {
        const auto uj = orvane::rapl::consumedUj(previous[i], last_[i], ranges_[i]);
        if (!uj)
            return;
        joules += static_cast<double>(*uj) / 1e6;
    }
    const double watts = joules / seconds;
    if (watts <= kMostWatts)
        watts_ = std::llround(watts);
}

} // namespace powerd
