// SPDX-License-Identifier: MIT
#include "nvidia.h"
#include "nvml_double.h"
#include "support.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

namespace {

const std::string kStatus = "sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/power/runtime_status";
const std::string kReads = "handle:0000:01:00.0 temp util clock ";

// Loaded here too, so the double's state outlives the reader's dlclose.
NvmlDouble &fakeNvml()
{
    static void *library = ::dlopen(NvidiaGpus::kLibrary, RTLD_NOW);
    return *reinterpret_cast<NvmlDouble *(*)()>(::dlsym(library, "nvmlDouble"))();
}

struct Case
{
    const char *name;
    std::vector<std::string> steps; // a runtime_status to sample with, or "release"
    NvmlDouble answers;
    std::string log;
    std::optional<double> tempC;
    std::optional<GpuUsage> usage;
    const char *library = NvidiaGpus::kLibrary;
};

} // namespace

TEST(Nvidia, ReadsOnlyAwakeDevicesAndReleasesNvml)
{
    ASSERT_NE(&fakeNvml(), nullptr);
    const GpuUsage usage { 1395, 0.37 };
    const std::vector<Case> cases {
        { "awake, held between samples", { "active", "active", "release" }, {},
            "init " + kReads + kReads + "shutdown ", 61, usage },
        { "suspended: no call", { "suspended" }, {}, "", {}, {} },
        { "falls asleep: shut down at once", { "active", "suspended" }, {}, "init " + kReads + "shutdown ",
            {}, {} },
        { "library missing", { "active" }, {}, "", {}, {}, "libnvidia-ml-absent.so.1" },
        { "no driver: not asked again each sample", { "active", "active" },
            { .initRc = NVML_ERROR_DRIVER_NOT_LOADED }, "init ", {}, {} },
        { "temperature not supported", { "active" }, { .tempRc = NVML_ERROR_NOT_SUPPORTED }, "init " + kReads,
            {}, usage },
        { "clock not supported", { "active" }, { .clockRc = NVML_ERROR_NOT_SUPPORTED }, "init " + kReads, 61,
            {} },
        { "implausible values", { "active" }, { .celsius = 151, .busyPercent = 101 }, "init " + kReads, {},
            {} },
        { "init hangs", { "active" }, { .initDelayMs = 1000 }, "init ", {}, {} },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir scratch;
        const fs::path machine = copyMachine("hybrid-laptop", scratch.path() / "m");
        fakeNvml() = c.answers;
        const auto budget = c.answers.initDelayMs ? NvidiaGpus::kCallBudget : 5000ms;
        NvidiaGpus gpus(SysfsReader(machine / "sys"), c.library, budget);
        std::vector<GpuReading> last;
        const auto start = Clock::now();
        for (const auto &step : c.steps) {
            if (step == "release") {
                gpus.release();
                continue;
            }
            writeText(machine / kStatus, step + "\n");
            last = gpus.sample();
        }
        EXPECT_LT(Clock::now() - start, 500ms);
        EXPECT_EQ(fakeNvml().log, c.log);
        EXPECT_EQ(last.size(), c.tempC || c.usage ? 1u : 0u);
        if (last.empty())
            continue;
        EXPECT_EQ(last[0].tempC, c.tempC);
        EXPECT_EQ(last[0].usage.has_value(), c.usage.has_value());
        if (c.usage && last[0].usage) {
            EXPECT_DOUBLE_EQ(last[0].usage->frequencyMhz, c.usage->frequencyMhz);
            EXPECT_DOUBLE_EQ(last[0].usage->busy, c.usage->busy);
        }
    }
}
