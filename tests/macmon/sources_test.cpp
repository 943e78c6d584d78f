// SPDX-License-Identifier: MIT
#include "sources.h"
#include "support.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

namespace {

constexpr double kTolerance = 1e-6;

void expectNear(
    const std::optional<double> &actual, const std::optional<double> &expected, const std::string &what)
{
    ASSERT_EQ(actual.has_value(), expected.has_value()) << what;
    if (expected) {
        EXPECT_NEAR(*actual, *expected, kTolerance) << what;
    }
}

// Two samples a second apart, as the service takes them; rates show in the second.
Readings twoSamples(const fs::path &machine, const std::function<void(const fs::path &)> &between = {})
{
    Sensors sensors({ machine / "sys", machine / "proc" });
    const auto t0 = Clock::now();
    sensors.sample(t0);
    if (between)
        between(machine / "sys");
    return sensors.sample(t0 + 1s);
}

struct MachineCase
{
    const char *machine;
    std::optional<std::string> chip;
    std::optional<double> cpu, gpu, power;
    std::optional<GpuUsage> firstUsage, secondUsage;
};

} // namespace

TEST(RecordedMachines, EachGivesItsReadings)
{
    const std::vector<MachineCase> cases {
        // Intel: the average of the Core inputs, not the package; battery power; i915 busy from the
        // second sample on (a still RC6 counter means the GPU never idled).
        { "intel-laptop", "11th Gen Intel(R) Core(TM) i7-1165G7 @ 2.80GHz", 50.75, std::nullopt, 8.63,
            std::nullopt, GpuUsage { 400, 1.0 } },
        // AMD: Tccd average wins over Tctl; amdgpu edge, its power, busy and starred clock.
        { "amd-desktop", "AMD Ryzen 9 5900X 12-Core Processor", 53.375, 48.0, 35.0, GpuUsage { 2105, 0.37 },
            GpuUsage { 2105, 0.37 } },
        // ARM: the cpu-thermal zone; the board's device-tree name with its NUL stripped.
        { "arm-board", "Raspberry Pi 4 Model B Rev 1.4", 47.236, std::nullopt, std::nullopt, std::nullopt,
            std::nullopt },
        { "virtual-machine", "Intel Xeon Processor (Cascadelake)", std::nullopt, std::nullopt, std::nullopt,
            std::nullopt, std::nullopt },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.machine);
        Sensors sensors({ fixture(c.machine) / "sys", fixture(c.machine) / "proc" });
        const auto t0 = Clock::now();
        const Readings first = sensors.sample(t0);
        const Readings second = sensors.sample(t0 + 1s);
        EXPECT_EQ(first.chipName, c.chip);
        expectNear(first.cpuTempC, c.cpu, "cpu");
        expectNear(first.gpuTempC, c.gpu, "gpu");
        expectNear(second.powerW, c.power, "power");
        for (const auto &[actual, expected] :
            { std::pair { first.gpuUsage, c.firstUsage }, { second.gpuUsage, c.secondUsage } }) {
            ASSERT_EQ(actual.has_value(), expected.has_value());
            if (expected) {
                EXPECT_NEAR(actual->frequencyMhz, expected->frequencyMhz, kTolerance);
                EXPECT_NEAR(actual->busy, expected->busy, kTolerance);
            }
        }
        EXPECT_EQ(second.hasNumericReading(), std::string(c.machine) != "virtual-machine");
    }
}

namespace {

enum class Field
{
    Cpu,
    Gpu,
    Power,
    GpuBusy,
    GpuMhz
};

std::optional<double> field(const Readings &r, Field f)
{
    switch (f) {
    case Field::Cpu:
        return r.cpuTempC;
    case Field::Gpu:
        return r.gpuTempC;
    case Field::Power:
        return r.powerW;
    case Field::GpuBusy:
        return r.gpuUsage ? std::optional(r.gpuUsage->busy) : std::nullopt;
    case Field::GpuMhz:
        return r.gpuUsage ? std::optional(r.gpuUsage->frequencyMhz) : std::nullopt;
    }
    return std::nullopt;
}

const std::string kCoretemp = "class/hwmon/hwmon3/";
const std::string kK10temp = "class/hwmon/hwmon1/";
const std::string kAmdgpu = "class/hwmon/hwmon2/";
const std::string kAmdDevice = "class/drm/card0/device/";
const std::string kIntelCard = "class/drm/card0/";
const std::string kBattery = "class/power_supply/BAT0/";
const std::string kRapl = "class/powercap/intel-rapl:0/";

void put(const fs::path &sys, const std::string &file, const std::string &text)
{
    writeText(sys / file, text);
}

void drop(const fs::path &sys, const std::string &file)
{
    fs::remove(sys / file);
}

struct ChangeCase
{
    const char *what;
    const char *machine;
    std::function<void(const fs::path &)> before; // before the first sample
    std::function<void(const fs::path &)> between; // between the two samples
    Field field;
    std::optional<double> expected;
};

} // namespace

TEST(Sources, FollowTheirRulesAndSurviveBrokenFiles)
{
    const auto none = [](const fs::path &) {
    };
    const std::vector<ChangeCase> cases {
        { "an implausible core is dropped", "intel-laptop",
            [](auto s) { put(s, kCoretemp + "temp2_input", "250000"); }, none, Field::Cpu,
            (49.0 + 53 + 51) / 3 },
        { "without Core inputs the package stands in", "intel-laptop",
            [](auto s) {
                for (int n = 2; n <= 5; ++n)
                    drop(s, kCoretemp + "temp" + std::to_string(n) + "_input");
            },
            none, Field::Cpu, 52.0 },
        { "without Tccd, Tctl", "amd-desktop",
            [](auto s) {
                drop(s, kK10temp + "temp3_input");
                drop(s, kK10temp + "temp4_input");
            },
            none, Field::Cpu, 61.25 },
        { "Tdie before Tctl", "amd-desktop",
            [](auto s) {
                drop(s, kK10temp + "temp3_input");
                drop(s, kK10temp + "temp4_input");
                put(s, kK10temp + "temp2_label", "Tdie");
                put(s, kK10temp + "temp2_input", "51000");
            },
            none, Field::Cpu, 51.0 },
        { "a FIFO thermal zone is no reading and no hang", "arm-board",
            [](auto s) {
                drop(s, "class/thermal/thermal_zone0/temp");
                ASSERT_EQ(::mkfifo((s / "class/thermal/thermal_zone0/temp").c_str(), 0644), 0);
            },
            none, Field::Cpu, std::nullopt },
        { "a second CPU zone is averaged in", "arm-board",
            [](auto s) {
                put(s, "class/thermal/thermal_zone1/type", "cpu1-thermal");
                put(s, "class/thermal/thermal_zone1/temp", "49236");
            },
            none, Field::Cpu, 48.236 },
        { "amdgpu without an edge label gives no GPU temperature", "amd-desktop",
            [](auto s) { put(s, kAmdgpu + "temp1_label", "hotspot"); }, none, Field::Gpu, std::nullopt },
        { "nouveau's first input", "amd-desktop",
            [](auto s) {
                put(s, kAmdgpu + "name", "nouveau");
                put(s, kAmdgpu + "temp1_input", "44000");
            },
            none, Field::Gpu, 44.0 },
        { "RAPL, as the change over the interval", "amd-desktop", none,
            [](auto s) { put(s, kRapl + "energy_uj", std::to_string(1894561234LL + 61500000)); },
            Field::Power, 61.5 },
        { "RAPL across the counter's wrap", "amd-desktop",
            [](auto s) { put(s, kRapl + "energy_uj", "65531610987"); },
            [](auto s) { put(s, kRapl + "energy_uj", "2000000"); }, Field::Power, 3.0 },
        { "a wrap without a known range falls back", "amd-desktop",
            [](auto s) {
                put(s, kRapl + "energy_uj", "65531610987");
                drop(s, kRapl + "max_energy_range_uj");
            },
            [](auto s) { put(s, kRapl + "energy_uj", "2000000"); }, Field::Power, 35.0 },
        { "a still RAPL counter falls back to amdgpu", "amd-desktop", none, none, Field::Power, 35.0 },
        { "amdgpu power1_input when there is no average", "amd-desktop",
            [](auto s) {
                drop(s, kAmdgpu + "power1_average");
                put(s, kAmdgpu + "power1_input", "40000000");
            },
            none, Field::Power, 40.0 },
        { "a peripheral's battery is not the system's", "amd-desktop",
            [](auto s) { drop(s, kAmdgpu + "power1_average"); }, none, Field::Power, std::nullopt },
        { "RAPL beats the battery when readable", "intel-laptop", none,
            [](auto s) { put(s, kRapl + "energy_uj", std::to_string(30712345678LL + 4250000)); },
            Field::Power, 4.25 },
        { "a charging battery gives no discharge power", "intel-laptop",
            [](auto s) { put(s, kBattery + "status", "Charging"); }, none, Field::Power, std::nullopt },
        { "current times voltage without power_now", "intel-laptop",
            [](auto s) {
                drop(s, kBattery + "power_now");
                put(s, kBattery + "current_now", "700000");
            },
            none, Field::Power, 0.7 * 11.946 },
        { "i915 busy from RC6 residency", "intel-laptop", none,
            [](auto s) { put(s, kIntelCard + "gt/gt0/rc6_residency_ms", std::to_string(81234567 + 250)); },
            Field::GpuBusy, 0.75 },
        { "i915 on the older RC6 path", "intel-laptop", [](auto s) { fs::remove_all(s / kIntelCard / "gt"); },
            [](auto s) { put(s, kIntelCard + "power/rc6_residency_ms", std::to_string(81234567 + 900)); },
            Field::GpuBusy, 0.1 },
        { "a reset RC6 counter gives no reading", "intel-laptop", none,
            [](auto s) { put(s, kIntelCard + "gt/gt0/rc6_residency_ms", "10"); }, Field::GpuBusy,
            std::nullopt },
        { "i915 without its clock gives no usage", "intel-laptop",
            [](auto s) {
                drop(s, kIntelCard + "gt_act_freq_mhz");
                drop(s, kIntelCard + "gt/gt0/rps_act_freq_mhz");
            },
            none, Field::GpuBusy, std::nullopt },
        { "amdgpu clock from hwmon without pp_dpm_sclk", "amd-desktop",
            [](auto s) {
                drop(s, kAmdDevice + "pp_dpm_sclk");
                put(s, kAmdgpu + "freq1_input", "1800000000");
            },
            none, Field::GpuMhz, 1800.0 },
        { "garbage busy percent gives no usage", "amd-desktop",
            [](auto s) { put(s, kAmdDevice + "gpu_busy_percent", "n/a"); }, none, Field::GpuBusy,
            std::nullopt },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        const auto machine = copyMachine(c.machine, scratch.path() / "m");
        c.before(machine / "sys");
        expectNear(field(twoSamples(machine, c.between), c.field), c.expected, c.what);
    }
}

TEST(Sources, UnreadableRaplCounterIsNoReading)
{
    // On the laptop the counter is root-only (mode 0400 there); a user meets EACCES, and so must root here.
    for (const bool readable : { true, false }) {
        SCOPED_TRACE(readable ? "readable" : "unreadable");
        ScratchDir scratch;
        const auto machine = copyMachine("intel-laptop", scratch.path() / "m");
        const fs::path counter = machine / "sys" / kRapl / "energy_uj";
        const auto advance = [&](const fs::path &) {
            fs::permissions(counter, fs::perms::owner_read | fs::perms::owner_write);
            writeText(counter, std::to_string(30712345678LL + 6000000));
            if (!readable)
                fs::permissions(counter, fs::perms::none);
        };
        if (!readable)
            fs::permissions(counter, fs::perms::none);
        WithoutFileOverride asUser;
        if (!asUser.active())
            GTEST_SKIP() << "cannot give up the file-permission override here";
        ASSERT_EQ(readFile(counter).has_value(), readable);
        expectNear(twoSamples(machine, advance).powerW, readable ? 6.0 : 8.63, "power");
    }
}

TEST(Sources, ChipName)
{
    const std::vector<std::tuple<const char *, const char *, std::function<void(const fs::path &)>,
        std::optional<std::string>>>
        cases {
            { "the device tree by /proc when /sys has none", "arm-board",
                [](auto m) {
                    fs::remove(m / "proc/device-tree");
                    fs::create_directories(m / "proc/device-tree");
                    writeText(m / "proc/device-tree/model", std::string("Pine64 RockPro64 v2.1\0", 22));
                    fs::remove_all(m / "sys/firmware");
                },
                "Pine64 RockPro64 v2.1" },
            { "no device tree and no model name", "arm-board",
                [](auto m) {
                    fs::remove(m / "proc/device-tree");
                    fs::remove_all(m / "sys/firmware");
                },
                std::nullopt },
            { "cpuinfo gone", "intel-laptop", [](auto m) { fs::remove(m / "proc/cpuinfo"); }, std::nullopt },
            { "an empty model name", "intel-laptop",
                [](auto m) { writeText(m / "proc/cpuinfo", "model name\t:\n"); }, std::nullopt },
        };
    for (const auto &[what, machineName, change, expected] : cases) {
        SCOPED_TRACE(what);
        ScratchDir scratch;
        const auto machine = copyMachine(machineName, scratch.path() / "m");
        change(machine);
        EXPECT_EQ(chipName(SysfsReader(machine / "sys"), SysfsReader(machine / "proc")), expected);
    }
}

TEST(Sources, MissingRootsGiveNoReadings)
{
    const Readings r = twoSamples("/nonexistent/macmon-machine");
    EXPECT_FALSE(r.hasNumericReading());
    EXPECT_FALSE(r.chipName);
}
