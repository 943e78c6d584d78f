// SPDX-License-Identifier: MIT
#include "sensors/readings.h"
#include "sources/amdgpu.h"
#include "sources/powerhelper.h"
#include "support/machine.h"

#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

namespace {

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
        // Intel: Core inputs' average, not the package; battery power; i915 busy from the second sample on.
        { "intel-laptop", "11th Gen Intel(R) Core(TM) i7-1165G7 @ 2.80GHz", 50.75, std::nullopt, 8.63,
            std::nullopt, GpuUsage { 400, 1.0 } },
        // AMD: Tccd over Tctl; amdgpu edge, busy and starred clock; a still RAPL and a card alone: no power.
        { "amd-desktop", "AMD Ryzen 9 5900X 12-Core Processor", 53.375, 48.0, std::nullopt,
            GpuUsage { 2105, 0.37 }, GpuUsage { 2105, 0.37 } },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.machine);
        Sensors sensors({ fixture(c.machine) / "sys", fixture(c.machine) / "proc" });
        const auto t0 = orvane::Clock::now();
        const Readings first = sensors.sample(t0);
        const Readings second = sensors.sample(t0 + 1s);
        EXPECT_EQ(first.chipName, c.chip);
        expectNear(first.cpuTempC, c.cpu, "cpu");
        expectNear(first.gpuTempC, c.gpu, "gpu");
        expectNear(second.socPowerW, c.power, "power");
        EXPECT_EQ(first.gpuUsage, c.firstUsage);
        EXPECT_EQ(second.gpuUsage, c.secondUsage);
        EXPECT_EQ(second.hasNumericReading(), c.cpu || c.gpu || c.power || c.secondUsage);
    }
}

namespace {

using Field = std::size_t;
constexpr Field kCpu = 0, kGpu = 1, kPower = 2, kBusy = 3, kMhz = 4;

std::optional<double> field(const Readings &r, Field f)
{
    const auto usage = [&](double GpuUsage::*m) {
        return r.gpuUsage ? std::optional(*r.gpuUsage.*m) : std::nullopt;
    };
    return std::array { r.cpuTempC, r.gpuTempC, r.socPowerW, usage(&GpuUsage::busy),
        usage(&GpuUsage::frequencyMhz) }[f];
}

const std::string kCoretemp = "class/hwmon/hwmon3/";
const std::string kAmdgpu = "class/hwmon/hwmon2/";
const std::string kAmdDevice = "class/drm/card0/device/";
const std::string kIntelCard = "class/drm/card0/";
const std::string kBattery = "class/power_supply/BAT0/";
const std::string kRapl = "class/powercap/intel-rapl:0/";

const std::string kGone = "(removed)";
using Change = std::function<void(const fs::path &)>;

// Writes each file with its text, or removes it (folders and links too) for kGone.
Change edit(const std::vector<std::pair<std::string, std::string>> &files)
{
    return [=](const fs::path &root) {
        for (const auto &[file, text] : files)
            text == kGone ? void(fs::remove_all(root / file)) : writeText(root / file, text);
    };
}

// A hwmon chip below a device, linked from class/hwmon as the kernel links it.
Change addChip(const std::string &hwmon, const std::string &device, const std::string &name,
    const std::vector<std::pair<std::string, int>> &temps)
{
    return [=](const fs::path &sys) {
        const fs::path dir = sys / device / "hwmon" / hwmon;
        writeText(dir / "name", name);
        for (std::size_t n = 1; n <= temps.size(); ++n) {
            writeText(dir / ("temp" + std::to_string(n) + "_label"), temps[n - 1].first);
            writeText(dir / ("temp" + std::to_string(n) + "_input"), std::to_string(temps[n - 1].second));
        }
        fs::create_symlink(dir, sys / "class/hwmon" / hwmon);
    };
}

const std::string kAmdClock = kAmdDevice + "pp_dpm_sclk";
const std::string kAmdState = kAmdDevice + "power/runtime_status";
const std::string kIntelGpu = "devices/pci0000:00/0000:00:02.0";

struct ChangeCase
{
    const char *what;
    const char *machine;
    Change before; // before the first sample
    Change between; // between the two samples
    Field field;
    std::optional<double> expected;
    bool gpuAsleep = false; // nothing of the GPU but its power state may be read
    orvane::Clock::duration gap = 1s; // between the two samples
    bool sleeps = false; // the sampler sleeps between them
    Change later = {}; // then a third sample, a second on
    std::optional<HelperAnswers> helper = {}; // else no helper listens
};

} // namespace

TEST(Readings, FollowTheirRulesAndSurviveHostileFiles)
{
    const auto none = edit({});
    const auto rapl = [](long long uj) {
        return edit({ { kRapl + "energy_uj", std::to_string(uj) } });
    };
    const auto rc6 = [](long long ms) {
        return edit({ { kIntelCard + "gt/gt0/rc6_residency_ms", std::to_string(ms) } });
    };
    const auto busy = [](const char *percent) {
        return edit({ { kAmdDevice + "gpu_busy_percent", percent } });
    };
    // As an APU's: the kernel gives the northbridge voltage on APUs alone.
    const auto amdW = [](const char *uw) {
        return edit({ { kAmdgpu + "power1_average", uw }, { kAmdgpu + "in1_input", "800" } });
    };
    // Root-only on the laptop (mode 0400 there): a user meets EACCES, and so must root here.
    const auto noRapl = [](auto s) {
        fs::permissions(s / kRapl / "energy_uj", fs::perms::none);
    };
    const auto asked = [](ChangeCase c, HelperAnswers helper) {
        c.helper = helper;
        return c;
    };
    const auto battery = [&](const char *what, HelperAnswers helper) {
        return asked({ what, "intel-laptop", noRapl, none, kPower, 8.63 }, helper);
    };
    const auto core2 = [](const char *milli) {
        return edit({ { kCoretemp + "temp2_input", milli } });
    };
    // A chip that comes after the start: only the re-scan every 30 s lists it.
    const Change lateCpu = [](auto s) {
        fs::create_directories(s / "class/hwmon");
        addChip("hwmon0", "devices/platform/coretemp.0", "coretemp", { { "Core 0", 60000 } })(s);
    };
    const std::string gpuHwmon = kAmdDevice + "hwmon/hwmon2";
    const Change gpuChipLeaves = [=](auto s) {
        fs::rename(s / gpuHwmon, s / "../hwmon2");
        fs::remove(s / kAmdgpu.substr(0, kAmdgpu.size() - 1));
    };
    const Change gpuChipComes = [=](auto s) {
        fs::rename(s / "../hwmon2", s / gpuHwmon);
        fs::create_symlink(fs::canonical(s / gpuHwmon), s / kAmdgpu.substr(0, kAmdgpu.size() - 1));
    };
    const std::vector<ChangeCase> cases {
        { "-41 °C is implausible", "intel-laptop", core2("-41000"), none, kCpu, (49.0 + 53 + 51) / 3 },
        { "150 °C is plausible", "intel-laptop", core2("150000"), none, kCpu, (150.0 + 49 + 53 + 51) / 4 },
        { "a hot GPU at 110 °C is real", "amd-desktop", edit({ { kAmdgpu + "temp1_input", "110000" } }), none,
            kGpu, 110.0 },
        { "so is -40 °C", "intel-laptop", core2("-40000"), none, kCpu, (-40.0 + 49 + 53 + 51) / 4 },
        { "a CPU chip that comes later waits for the re-scan", "virtual-machine", none, lateCpu, kCpu,
            std::nullopt },
        { "which finds it", "virtual-machine", none, lateCpu, kCpu, 60.0, false, 30s },
        { "a GPU's chip that comes later too", "amd-desktop", gpuChipLeaves, gpuChipComes, kGpu, 48.0, false,
            30s },
        { "without Core inputs the package stands in", "intel-laptop",
            edit({ { kCoretemp + "temp2_input", kGone }, { kCoretemp + "temp3_input", kGone },
                { kCoretemp + "temp4_input", kGone }, { kCoretemp + "temp5_input", kGone } }),
            none, kCpu, 52.0 },
        { "VIA's chip per core", "virtual-machine",
            [](auto s) {
                fs::create_directories(s / "class/hwmon");
                addChip("hwmon0", "devices/platform/via_cputemp.0", "via_cputemp", { { "Core 0", 45000 } })(
                    s);
            },
            none, kCpu, 45.0 },
        { "a CPU chip replaced between samples is found at once", "intel-laptop", none,
            [](auto s) {
                fs::remove_all(s / "devices/platform/coretemp.0");
                addChip("hwmon9", "devices/platform/coretemp.1", "coretemp", { { "Core 0", 60000 } })(s);
            },
            kCpu, 60.0 },
        { "a FIFO thermal zone is no reading and no hang", "arm-board",
            [](auto s) {
                fs::remove(s / "class/thermal/thermal_zone0/temp");
                ASSERT_EQ(::mkfifo((s / "class/thermal/thermal_zone0/temp").c_str(), 0644), 0);
            },
            none, kCpu, std::nullopt },
        { "a second CPU zone is averaged in", "arm-board",
            edit({ { "class/thermal/thermal_zone1/type", "cpu1-thermal" },
                { "class/thermal/thermal_zone1/temp", "49236" } }),
            none, kCpu, 48.236 },
        { "amdgpu without an edge label gives no GPU temperature", "amd-desktop",
            edit({ { kAmdgpu + "temp1_label", "hotspot" } }), none, kGpu, std::nullopt },
        { "xe's package sensor, not the first", "intel-laptop",
            addChip("hwmon9", kIntelGpu, "xe", { { "vram", 70000 }, { "pkg", 55000 } }), none, kGpu, 55.0 },
        { "a GPU without runtime power management is read", "amd-desktop", edit({ { kAmdState, kGone } }),
            none, kGpu, 48.0 },
        { "a suspended amdgpu is not read", "amd-desktop", edit({ { kAmdState, "suspended" } }), none, kGpu,
            std::nullopt, true },
        { "one asleep at the survey is read once awake", "amd-desktop", edit({ { kAmdState, "suspended" } }),
            edit({ { kAmdState, "active" } }), kGpu, 48.0 },
        { "nor is one whose power state cannot be read", "amd-desktop",
            [](auto s) { fs::permissions(s / kAmdState, fs::perms::none); }, none, kPower, std::nullopt,
            true },
        { "RAPL over the interval, plus the discrete GPU", "amd-desktop", none, rapl(1894561234LL + 61500000),
            kPower, 61.5 + 35 },
        { "but not over a sleep", "amd-desktop", none, rapl(1894561234LL + 61500000), kPower, std::nullopt,
            false, 1s, true },
        { "RAPL across the counter's wrap", "amd-desktop", rapl(65531610987), rapl(2000000), kPower,
            3.0 + 35 },
        { "a wrap without a known range is no figure", "amd-desktop",
            edit({ { kRapl + "energy_uj", "65531610987" }, { kRapl + "max_energy_range_uj", kGone } }),
            rapl(2000000), kPower, std::nullopt },
        asked({ "a card's power alone is not the processors'; a readable RAPL asks no helper", "amd-desktop",
                  none, none, kPower, std::nullopt },
            { "17\n" }),
        { "an APU's power1_input when there is no average", "amd-desktop",
            edit({ { kAmdgpu + "power1_average", kGone }, { kAmdgpu + "power1_input", "40000000" },
                { kAmdgpu + "in1_input", "800" } }),
            none, kPower, 40.0 },
        { "an APU's 2000 W is kept", "amd-desktop", amdW("2000000000"), none, kPower, 2000.0 },
        { "a peripheral's battery is not the system's", "amd-desktop", amdW(kGone.c_str()), none, kPower,
            std::nullopt },
        { "RAPL beats the battery when readable, psys not added", "intel-laptop", none,
            edit({ { kRapl + "energy_uj", "30716595678" },
                { "class/powercap/intel-rapl:1/energy_uj", "81244567890" } }),
            kPower, 4.25 },
        asked({ "without RAPL, the helper's", "intel-laptop", noRapl, none, kPower, 17.0 }, { "17\n" }),
        battery("a silent helper gives none within its bound", {}),
        battery("nor a garbled one", { "17 W\n" }),
        asked({ "an answer that outlasts a sample's bound is taken at the next", "intel-laptop", noRapl, none,
                  kPower, 17.0 },
            { "17\n", {}, {}, 60ms }),
        asked({ "the helper's last figure stands while it is late", "intel-laptop", noRapl, none, kPower,
                  17.0 },
            { "17\n", {}, {}, {}, 1 }),
        asked({ "but not for long", "intel-laptop", noRapl, none, kPower, 8.63, false, 4s },
            { "17\n", {}, {}, {}, 1 }),
        battery("a helper's 0 W leaves the battery its turn", { "0\n" }),
        { "an impossible battery draw", "intel-laptop",
            edit({ { kBattery + "power_now", "9223372036854775807" } }), none, kPower, std::nullopt },
        { "a charging battery gives no discharge power", "intel-laptop",
            edit({ { kBattery + "status", "Charging" } }), none, kPower, std::nullopt },
        { "current times voltage without power_now", "intel-laptop",
            edit({ { kBattery + "power_now", kGone }, { kBattery + "current_now", "700000" } }), none, kPower,
            0.7 * 11.946 },
        { "i915 busy is not read over a sleep", "intel-laptop", none, rc6(81234567 + 250), kBusy,
            std::nullopt, false, 1s, true },
        { "nor over a sample that found the GPU asleep", "intel-laptop", none,
            edit({ { kIntelGpu + "/power/runtime_status", "suspended" } }), kBusy, std::nullopt, false, 1s,
            false,
            edit({ { kIntelGpu + "/power/runtime_status", "active" },
                { kIntelCard + "gt/gt0/rc6_residency_ms", std::to_string(81234567 + 250) } }) },
        { "i915 on the older RC6 path", "intel-laptop", edit({ { kIntelCard + "gt", kGone } }),
            edit({ { kIntelCard + "power/rc6_residency_ms", std::to_string(81234567 + 900) } }), kBusy, 0.1 },
        { "a reset RC6 counter gives no reading", "intel-laptop", none, rc6(10), kBusy, std::nullopt },
        { "i915 with a negative clock gives no usage", "intel-laptop",
            edit({ { kIntelCard + "gt_act_freq_mhz", "-5" } }), rc6(81234567 + 250), kBusy, std::nullopt },
        { "amdgpu clock from hwmon without pp_dpm_sclk", "amd-desktop",
            edit({ { kAmdClock, kGone }, { kAmdgpu + "freq1_input", "1800000000" } }), none, kMhz, 1800.0 },
        { "10000 MHz is kept", "amd-desktop", edit({ { kAmdClock, "0: 500Mhz\n1: 10000Mhz *\n" } }), none,
            kMhz, 10000.0 },
        { "an idle GPU is 0 % busy", "amd-desktop", busy("0"), none, kBusy, 0.0 },
        { "a full one 100 %", "amd-desktop", busy("100"), none, kBusy, 1.0 },
        { "101 % is no reading", "amd-desktop", busy("101"), none, kBusy, std::nullopt },
        { "nor is -1 %", "amd-desktop", busy("-1"), none, kBusy, std::nullopt },
    };
    WithoutFileOverride asUser;
    ASSERT_TRUE(asUser.active()) << "cannot give up the file-permission override here";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        const auto machine = copyMachine(c.machine, scratch.path() / "m");
        c.before(machine / "sys");
        std::optional<StandInHelper> helper;
        if (c.helper)
            helper.emplace(machine / "helper.sock", *c.helper);
        // Sampled as the service samples (rates show from the second on), every path read noted.
        std::vector<std::string> reads;
        const auto start = orvane::Clock::now();
        Sensors sensors({ machine / "sys", machine / "proc", machine / "helper.sock" },
            [&reads](const std::string &p) { reads.push_back(p); });
        sensors.sample(start);
        c.between(machine / "sys");
        if (c.sleeps)
            sensors.release();
        Readings r = sensors.sample(start + c.gap);
        if (c.later) {
            c.later(machine / "sys");
            r = sensors.sample(start + c.gap + 1s);
        }
        expectNear(field(r, c.field), c.expected, c.what);
        EXPECT_LT(orvane::Clock::now() - start, 2 * kPowerHelperBudget + 400ms) << "past the helper's bound";
        const std::string gpuChip = c.machine == std::string("amd-desktop") ? kAmdgpu : "class/drm/card0/";
        for (const auto &p : reads)
            EXPECT_TRUE(!c.gpuAsleep || !(p.starts_with("class/drm/card0/") || p.starts_with(gpuChip))
                || p.ends_with("/power/runtime_status"))
                << p;
    }
}

TEST(Readings, CurrentClockOfAmdgpu)
{
    // The first level marked current, read strictly; the deep-sleep line is "S".
    const std::vector<std::pair<std::string, std::optional<double>>> cases {
        { "0: 500Mhz\n1: 1800Mhz *\n2: 2000Mhz *\n", 1800.0 },
        { "1: 0800Mhz *\n", 800.0 },
        { "S: 19Mhz *\n0: 500Mhz \n1: 1800Mhz \n", 19.0 },
        { "0: 500Mhz\n1: " + std::string(400, '9') + "Mhz *", std::nullopt },
        { std::string("1: 1800\0Mhz *\n", 14), std::nullopt },
        { "junk *\n1: 1800Mhz *\n", std::nullopt },
        { "x: 1800Mhz *\n", std::nullopt },
    };
    for (const auto &[levels, mhz] : cases) {
        SCOPED_TRACE(levels);
        EXPECT_EQ(parseCurrentClock(levels), mhz);
    }
}

TEST(Readings, ChipName)
{
    const std::vector<std::tuple<const char *, const char *, Change, std::optional<std::string>>> cases {
        { "the device tree by /proc when /sys has none", "arm-board",
            edit({ { "proc/device-tree", kGone }, { "sys/firmware", kGone },
                { "proc/device-tree/model", std::string("Pine64 RockPro64 v2.1\0", 22) } }),
            "Pine64 RockPro64 v2.1" },
        { "no device tree and no model name", "arm-board",
            edit({ { "proc/device-tree", kGone }, { "sys/firmware", kGone } }), std::nullopt },
        { "an empty model name", "intel-laptop", edit({ { "proc/cpuinfo", "model name\t:\n" } }),
            std::nullopt },
    };
    for (const auto &[what, machineName, change, expected] : cases) {
        SCOPED_TRACE(what);
        ScratchDir scratch;
        const auto machine = copyMachine(machineName, scratch.path() / "m");
        change(machine);
        EXPECT_EQ(chipName(SysfsReader(machine / "sys"), SysfsReader(machine / "proc")), expected);
    }
}
