// SPDX-License-Identifier: MIT
#include "document.h"
#include "support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace macmon;
using namespace macmon::test;
using json = nlohmann::json;

TEST(Document, LeavesOutWhatIsNotRead)
{
    Readings all;
    all.chipName = "Chip \"X\"\n";
    all.cpuTempC = 45;
    all.gpuTempC = 40.5;
    all.powerW = 7.25;
    all.gpuUsage = GpuUsage { 1398, 0.25 };
    Readings cpuOnly;
    cpuOnly.cpuTempC = -3.5;
    Readings usageOnly;
    usageOnly.gpuUsage = GpuUsage { 0, 0 };

    const std::vector<std::tuple<const char *, Readings, json>> cases {
        { "everything", all,
            { { "temp", { { "cpu_temp_avg", 45.0 }, { "gpu_temp_avg", 40.5 } } },
                { "soc", { { "chip_name", "Chip \"X\"\n" } } }, { "sys_power", 7.25 },
                { "gpu_usage", { 1398.0, 0.25 } } } },
        { "nothing", Readings {}, json::object() },
        { "one temperature", cpuOnly, { { "temp", { { "cpu_temp_avg", -3.5 } } } } },
        // A real idle reading of zero is kept; only absent readings are left out.
        { "an idle GPU", usageOnly, { { "gpu_usage", { 0.0, 0.0 } } } },
    };
    for (const auto &[what, readings, expected] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(json::parse(renderDocument(readings)), expected);
    }
}

TEST(Document, FirmwareTextThatIsNotUtf8StillGivesJson)
{
    Readings r;
    r.chipName = std::string("Board \xff\xfe rev 2");
    r.cpuTempC = 40;
    const json doc = json::parse(renderDocument(r));
    EXPECT_TRUE(doc["soc"]["chip_name"].is_string());
    EXPECT_EQ(doc["temp"]["cpu_temp_avg"], 40.0);
}

TEST(Document, OfEachRecordedMachine)
{
    // The members the companion reads, with their JSON types, and nothing null.
    const std::vector<std::pair<const char *, std::vector<const char *>>> cases {
        { "intel-laptop", { "/temp/cpu_temp_avg", "/soc/chip_name", "/sys_power" } },
        { "amd-desktop",
            { "/temp/cpu_temp_avg", "/temp/gpu_temp_avg", "/soc/chip_name", "/sys_power", "/gpu_usage" } },
        { "arm-board", { "/temp/cpu_temp_avg", "/soc/chip_name" } },
        { "virtual-machine", { "/soc/chip_name" } },
    };
    const std::vector<const char *> members { "/temp/cpu_temp_avg", "/temp/gpu_temp_avg", "/soc/chip_name",
        "/sys_power", "/gpu_usage" };
    for (const auto &[machine, present] : cases) {
        SCOPED_TRACE(machine);
        Sensors sensors({ fixture(machine) / "sys", fixture(machine) / "proc" });
        const json doc = json::parse(renderDocument(sensors.sample()));
        for (const char *member : members) {
            const json::json_pointer at(member);
            const bool expected
                = std::find(present.begin(), present.end(), std::string(member)) != present.end();
            ASSERT_EQ(doc.contains(at), expected) << member;
            if (!expected)
                continue;
            if (std::string(member) == "/soc/chip_name")
                EXPECT_TRUE(doc[at].is_string());
            else if (std::string(member) == "/gpu_usage")
                EXPECT_TRUE(doc[at].is_array() && doc[at].size() == 2 && doc[at][0].is_number()
                    && doc[at][1].is_number() && doc[at][1] >= 0 && doc[at][1] <= 1);
            else
                EXPECT_TRUE(doc[at].is_number()) << member;
        }
    }
}
