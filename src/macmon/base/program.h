// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace macmon {

constexpr std::uint16_t kDefaultPort = 9090;
// Starts every line the program writes to standard error.
constexpr char kErrorPrefix[] = "macmon: ";

} // namespace macmon
