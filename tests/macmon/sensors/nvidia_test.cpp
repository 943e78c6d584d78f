// SPDX-License-Identifier: MIT
#include "sensors/nvml_double.h"
#include "sensors/readings.h"
#include "sources/nvidia.h"
#include "support/machine.h"

#include <gtest/gtest.h>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

const std::string kStatus = "sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/power/runtime_status";
const std::string kReads = "handle:0000:01:00.0 temp util clock power ";

TEST(Nvidia, ReadsOnlyAwakeDevicesAndReleasesNvml)
{
    struct Case
    {
        const char *name;
        std::vector<std::string> steps; // a runtime_status to sample with, or "release"
        std::string log;
        std::optional<double> tempC;
        std::optional<GpuUsage> usage;
        std::optional<double> powerW = {};
        NvmlDouble answers = {};
        const char *library = NvidiaGpus::kLibrary;
        bool secondAsleep = false; // a second NVIDIA GPU, suspended
    };
    const GpuUsage usage { 1395, 0.37 };
    const std::vector<Case> cases {
        { "awake: held between samples", { "active", "active", "release" },
            "init " + kReads + kReads + "shutdown ", 61, usage, 85.25, { .milliwatts = 85250 } },
        { "suspended: no call", { "suspended" }, "", {}, {} },
        { "falls asleep: shut down", { "active", "suspended" }, "init " + kReads + "shutdown ", {}, {} },
        { "library missing", { "active" }, "", {}, {}, {}, {}, "libnvidia-ml-absent.so.1" },
        { "no driver: not retried each sample", { "active", "active" }, "init ", {}, {}, {},
            { .initRc = NVML_ERROR_DRIVER_NOT_LOADED } },
        { "no temp", { "active" }, "init " + kReads, {}, usage, {}, { .tempRc = NVML_ERROR_NOT_SUPPORTED } },
        { "no clock", { "active" }, "init " + kReads, 61, {}, {}, { .clockRc = NVML_ERROR_NOT_SUPPORTED } },
        { "implausible", { "active" }, "init " + kReads, {}, {}, {},
            { .celsius = 151, .busyPercent = 101, .milliwatts = 2001000 } },
        { "init hangs", { "active" }, "", {}, {}, {}, { .initDelayMs = 1000 } },
        { "one of two asleep: not held past the sample", { "active" }, "init " + kReads + "shutdown ", 61,
            usage, {}, {}, NvidiaGpus::kLibrary, true },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir scratch;
        const fs::path machine = copyMachine("hybrid-laptop", scratch.path() / "m");
        if (c.secondAsleep) {
            const fs::path first = machine / kStatus.substr(0, kStatus.find("/power/"));
            const fs::path second = first.parent_path() / "0000:02:00.0";
            fs::copy(first, second, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
            writeText(second / "power/runtime_status", "suspended\n");
            fs::create_symlink(second, machine / "sys/bus/pci/devices/0000:02:00.0");
        }
        fakeNvml() = c.answers;
        const SysfsReader sys(machine / "sys");
        NvidiaGpus gpus(c.library, c.answers.initDelayMs ? NvidiaGpus::kCallBudget : 5s);
        gpus.discover(sys);
        std::vector<GpuReading> last;
        const auto start = orvane::Clock::now();
        for (const auto &step : c.steps) {
            writeText(machine / kStatus, step + "\n");
            step == "release" ? gpus.release() : void(last = gpus.sample(sys));
        }
        EXPECT_LT(orvane::Clock::now() - start, 500ms);
        EXPECT_EQ(fakeNvml().log, c.log);
        const GpuReading got = last.empty() ? GpuReading {} : last.front();
        EXPECT_EQ(std::tie(got.tempC, got.usage, got.powerW), std::tie(c.tempC, c.usage, c.powerW));
    }
}

TEST(Nvidia, JoinsTheOtherDriversGpusAndIsReleasedWithThem)
{
    ScratchDir scratch;
    const fs::path machine = copyMachine("hybrid-laptop", scratch.path() / "m");
    fakeNvml() = { .milliwatts = 85250 };
    writeText(machine / kStatus, "active\n");
    Sensors sensors({ machine / "sys", machine / "proc" });
    const auto t0 = orvane::Clock::now();
    sensors.sample(t0);
    // The Intel iGPU, read first, idles 80 % of the next second: the NVIDIA GPU's 37 % is the busiest.
    writeText(machine / "sys/devices/pci0000:00/0000:00:02.0/drm/card0/gt/gt0/rc6_residency_ms", "5124256\n");
    const Readings r = sensors.sample(t0 + 1s);
    EXPECT_EQ(r.gpuTempC, 61.0); // the iGPU gives none
    EXPECT_EQ(r.gpuUsage, GpuUsage({ 1395, 0.37 }));
    // Then, its counter still, the iGPU is busy all of a second: now it is the busiest.
    EXPECT_EQ(sensors.sample(t0 + 2s).gpuUsage, GpuUsage({ 650, 1.0 }));
    EXPECT_EQ(r.socPowerW, std::nullopt) << "a discrete GPU's power alone is not the processors'";
}
