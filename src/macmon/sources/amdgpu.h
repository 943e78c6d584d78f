// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>

namespace macmon {

// The current level of amdgpu's pp_dpm_sclk ("1: 1800Mhz *"), within the plausible clock range.
std::optional<double> parseCurrentClock(const std::string &levels);

} // namespace macmon
