// SPDX-License-Identifier: MIT
#pragma once

#include "average.h"
#include "common/fd.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace powerd {

// A counter file's text ("123456\n"), or nothing when it is not a non-negative number.
std::optional<std::uint64_t> parseMicrojoules(std::string_view text);

// The package domains' energy counters, opened once while the process may still read them; read later
// through the descriptors held, so nothing is opened after the privileges are gone.
class PackageCounters
{
public:
    // Every <sysfsRoot>/class/powercap/intel-rapl:N whose name starts with "package".
    explicit PackageCounters(const std::filesystem::path &sysfsRoot);

    // Where each counter wraps, read once at start (0 when unreadable).
    const Microjoules &ranges() const { return ranges_; }
    // Every counter now, or nothing when one cannot be read.
    std::optional<Microjoules> read() const;

private:
    std::vector<orvane::Fd> energyFds_;
    Microjoules ranges_;
};

} // namespace powerd
