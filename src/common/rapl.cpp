// SPDX-License-Identifier: MIT
#include "common/rapl.h"

#include <algorithm>
#include <charconv>

namespace orvane::rapl {

namespace {
constexpr std::string_view kDomainPrefix = "intel-rapl:";
constexpr std::size_t kMostDigits = 6;
} // namespace

std::optional<unsigned> domainNumber(std::string_view entry)
{
    if (!entry.starts_with(kDomainPrefix))
        return std::nullopt;
    const std::string_view digits = entry.substr(kDomainPrefix.size());
    if (digits.empty() || digits.size() > kMostDigits
        || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    unsigned n = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), n);
    return n;
}

bool isPackage(std::string_view name)
{
    return name.starts_with("package");
}

std::optional<std::uint64_t> consumedUj(std::uint64_t before, std::uint64_t now, std::uint64_t range)
{
    if (now >= before)
        return now - before;
    if (range < before)
        return std::nullopt;
    return range - before + now;
}

} // namespace orvane::rapl
