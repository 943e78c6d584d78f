// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvane::rapl {

// A powercap domain's number, "intel-rapl:N"; none for its sub-zones ("intel-rapl:N:M") and the rest.
std::optional<unsigned> domainNumber(std::string_view entry);
// A domain by its name file: a package's ("package-N"), not psys, which would count the packages twice.
bool isPackage(std::string_view name);

// The energy spent between two readings of a counter that wraps at range; none when it went back
// further than a wrap can explain (a reset, or a range the kernel did not give).
std::optional<std::uint64_t> consumedUj(std::uint64_t before, std::uint64_t now, std::uint64_t range);

} // namespace orvane::rapl
