// SPDX-License-Identifier: MIT
#include "common/rapl.h"

#include <gtest/gtest.h>

using namespace orvane;

TEST(Rapl, DomainsAndPackages)
{
    const struct
    {
        const char *entry, *name;
        bool counted;
    } cases[] {
        { .entry = "intel-rapl:0", .name = "package-0\n", .counted = true },
        { .entry = "intel-rapl:0:0", .name = "core", .counted = false },
        { .entry = "intel-rapl:1", .name = "psys", .counted = false },
        { .entry = "intel-rapl:", .name = "package-0", .counted = false },
        { .entry = "intel-rapl:-1", .name = "package-0", .counted = false },
        { .entry = "intel-rapl:1234567", .name = "package-0", .counted = false },
        { .entry = "intel-rapl-mmio:0", .name = "package-0", .counted = false },
    };
    for (const auto &c : cases)
        EXPECT_EQ(rapl::domainNumber(c.entry) && rapl::isPackage(c.name), c.counted)
            << c.entry << " " << c.name;
}

TEST(Rapl, EnergyAcrossAWrap)
{
    const struct
    {
        std::uint64_t before, now, range;
        std::optional<std::uint64_t> used;
    } cases[] {
        { .before = 100, .now = 350, .range = 1000, .used = 250 },
        { .before = 900, .now = 50, .range = 1000, .used = 150 },
        { .before = 900, .now = 50, .range = 0, .used = std::nullopt },
        { .before = 1500, .now = 50, .range = 1000, .used = std::nullopt },
    };
    for (const auto &c : cases)
        EXPECT_EQ(rapl::consumedUj(c.before, c.now, c.range), c.used) << c.before << " → " << c.now;
}
