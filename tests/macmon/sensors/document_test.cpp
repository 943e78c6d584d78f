// SPDX-License-Identifier: MIT
#include "sensors/document.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace macmon;
using json = nlohmann::json;

TEST(Document, LeavesOutWhatIsNotRead)
{
    const Readings all { "Chip \"X\"\n", 45, 40.5, 7.25, GpuUsage { 1398, 0.25 } };
    const Readings cpuOnly { {}, -3.5, {}, {}, {} }, usageOnly { {}, {}, {}, {}, GpuUsage { 0, 0 } };
    const Readings firmware { "Board \xff rev 2", {}, {}, {}, {} };
    const std::vector<std::tuple<const char *, Readings, json>> cases {
        { "everything", all,
            { { "temp", { { "cpu_temp_avg", 45.0 }, { "gpu_temp_avg", 40.5 } } },
                { "soc", { { "chip_name", "Chip \"X\"\n" } } }, { "sys_power", 7.25 },
                { "gpu_usage", { 1398.0, 0.25 } } } },
        { "one temperature", cpuOnly, { { "temp", { { "cpu_temp_avg", -3.5 } } } } },
        // A real idle reading of zero is kept; only absent readings are left out.
        { "an idle GPU", usageOnly, { { "gpu_usage", { 0.0, 0.0 } } } },
        // Invalid UTF-8 from a firmware string is replaced, not thrown on.
        { "firmware text that is not UTF-8", firmware,
            { { "soc", { { "chip_name", "Board \uFFFD rev 2" } } } } },
    };
    for (const auto &[what, readings, expected] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(json::parse(renderDocument(readings)), expected);
    }
}
