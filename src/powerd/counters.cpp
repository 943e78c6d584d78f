// SPDX-License-Identifier: MIT
#include "counters.h"

#include "common/files.h"
#include "common/rapl.h"
#include "common/text.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace powerd {

namespace fs = std::filesystem;

namespace {

// Bounds on what the tree may hand us: entries looked at, packages kept, bytes of a counter.
constexpr std::size_t kMostEntries = 4096;
constexpr std::size_t kMostPackages = 64;
constexpr std::size_t kCounterBytes = 32;
constexpr std::size_t kNameBytes = 64;

orvane::Fd openCounter(const fs::path &file)
{
    orvane::Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st
    { };
    if (fd.valid() && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fd.reset();
    return fd;
}

std::optional<std::uint64_t> readCounter(const orvane::Fd &fd)
{
    char text[kCounterBytes];
    const ssize_t n = ::pread(fd.get(), text, sizeof text, 0);
    // A counter longer than the buffer is not one.
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof text)
        return std::nullopt;
    return parseMicrojoules(std::string_view(text, static_cast<std::size_t>(n)));
}

} // namespace

std::optional<std::uint64_t> parseMicrojoules(std::string_view text)
{
    const auto value = orvane::parseInteger(std::string(text));
    if (!value || *value < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(*value);
}

PackageCounters::PackageCounters(const fs::path &sysfsRoot)
{
    std::vector<std::pair<unsigned, fs::path>> domains;
    std::error_code ec;
    std::size_t seen = 0;
    for (auto it = fs::directory_iterator(sysfsRoot / "class/powercap", ec);
         !ec && it != fs::directory_iterator() && seen++ < kMostEntries; it.increment(ec))
        if (const auto n = orvane::rapl::domainNumber(it->path().filename().string()))
            domains.emplace_back(*n, it->path());
    std::sort(domains.begin(), domains.end());
    for (const auto &[n, dir] : domains) {
        if (energyFds_.size() == kMostPackages)
            break;
        if (!orvane::rapl::isPackage(orvane::readFile(dir / "name", kNameBytes).value_or("")))
            continue;
        auto fd = openCounter(dir / "energy_uj");
        if (!fd.valid())
            continue;
        energyFds_.push_back(std::move(fd));
        const auto rangeFd = openCounter(dir / "max_energy_range_uj");
        ranges_.push_back(rangeFd.valid() ? readCounter(rangeFd).value_or(0) : 0);
    }
}

std::optional<Microjoules> PackageCounters::read() const
{
    Microjoules energy;
    for (const auto &fd : energyFds_) {
        const auto uj = readCounter(fd);
        if (!uj)
            return std::nullopt;
        energy.push_back(*uj);
    }
    return energy;
}

} // namespace powerd
