// SPDX-License-Identifier: MIT
#pragma once

#include <optional>

namespace macmon {

// What a desktop or laptop can physically give; anything else is a broken or hostile sensor file.
constexpr double kMinPlausibleC = -40.0;
constexpr double kMaxPlausibleC = 150.0;
// No running processor package draws less; a GPU's "1000 uW" on an APU is a placeholder, not a reading.
constexpr double kMinPlausibleW = 0.5;
constexpr double kMaxPlausibleW = 2000.0;
constexpr double kMaxClockMhz = 10000.0;

inline std::optional<double> plausibleCelsius(double c)
{
    return c >= kMinPlausibleC && c <= kMaxPlausibleC ? std::optional(c) : std::nullopt;
}

inline bool plausibleClock(double mhz)
{
    return mhz > 0 && mhz <= kMaxClockMhz;
}

inline std::optional<double> plausibleWatts(double w)
{
    return w >= kMinPlausibleW && w <= kMaxPlausibleW ? std::optional(w) : std::nullopt;
}

} // namespace macmon
