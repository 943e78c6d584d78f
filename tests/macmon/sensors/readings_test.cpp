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
    Change before = {}; // before the first sample
    Change between = {}; // between the two samples
    Change later = {}; // then a third sample, a second on
    orvane::Clock::duration gap = 1s; // between the first two samples
    bool sleeps = false; // the sampler sleeps between them
    bool gpuAsleep = false; // nothing of the GPU but its power state may be read
    std::optional<HelperAnswers> helper = {}; // else no helper listens
    std::optional<Field> field = {}; // else the table's
    std::optional<double> expected = {};
};

// Samples each machine as the service does (rates show from the second sample on), every path read noted.
void expectReadings(Field tableField, const std::vector<ChangeCase> &cases)
{
    WithoutFileOverride asUser;
    ASSERT_TRUE(asUser.active()) << "cannot give up the file-permission override here";
    const auto apply = [](const Change &change, const fs::path &sys) {
        return change ? change(sys) : void();
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir scratch;
        const auto machine = copyMachine(c.machine, scratch.path() / "m");
        apply(c.before, machine / "sys");
        std::optional<StandInHelper> helper;
        if (c.helper)
            helper.emplace(machine / "helper.sock", *c.helper);
        std::vector<std::string> reads;
        const auto start = orvane::Clock::now();
        Sensors sensors({ machine / "sys", machine / "proc", machine / "helper.sock" },
            [&reads](const std::string &p) { reads.push_back(p); });
        sensors.sample(start);
        apply(c.between, machine / "sys");
        if (c.sleeps)
            sensors.release();
        Readings r = sensors.sample(start + c.gap);
        if (c.later) {
            c.later(machine / "sys");
            r = sensors.sample(start + c.gap + 1s);
        }
        expectNear(field(r, c.field.value_or(tableField)), c.expected, c.what);
        EXPECT_LT(orvane::Clock::now() - start, 2 * kPowerHelperBudget + 400ms) << "past the helper's bound";
        const std::string gpuChip = c.machine == std::string("amd-desktop") ? kAmdgpu : "class/drm/card0/";
        for (const auto &p : reads)
            EXPECT_TRUE(!c.gpuAsleep || !(p.starts_with("class/drm/card0/") || p.starts_with(gpuChip))
                || p.ends_with("/power/runtime_status"))
                << p;
    }
}

const auto rapl = [](long long uj) {
    return edit({ { kRapl + "energy_uj", std::to_string(uj) } });
};
const auto rc6 = [](long long ms) {
    return edit({ { kIntelCard + "gt/gt0/rc6_residency_ms", std::to_string(ms) } });
};
const auto busy = [](const char *percent) {
    return edit({ { kAmdDevice + "gpu_busy_percent", percent } });
};
const auto core2 = [](const char *milli) {
    return edit({ { kCoretemp + "temp2_input", milli } });
};
// As an APU's: the kernel gives the northbridge voltage on APUs alone.
const auto amdW = [](const char *uw) {
    return edit({ { kAmdgpu + "power1_average", uw }, { kAmdgpu + "in1_input", "800" } });
};
// Root-only on the laptop (mode 0400 there): a user meets EACCES, and so must root here.
const Change noRapl = [](auto s) {
    fs::permissions(s / kRapl / "energy_uj", fs::perms::none);
};
// A chip that comes after the start: only the re-scan every 30 s lists it.
const Change lateCpu = [](auto s) {
    fs::create_directories(s / "class/hwmon");
    addChip("hwmon0", "devices/platform/coretemp.0", "coretemp", { { "Core 0", 60000 } })(s);
};
const std::string kGpuHwmon = kAmdDevice + "hwmon/hwmon2";
// A platform chip with the given files, linked from class/hwmon.
const auto chip
    = [](const std::string &hwmon, const std::vector<std::pair<std::string, std::string>> &files) {
          return Change([=](const fs::path &s) {
              const fs::path dir = s / "devices/platform" / hwmon;
              for (const auto &[file, text] : files)
                  writeText(dir / file, text);
              fs::create_directories(s / "class/hwmon");
              fs::create_symlink(dir, s / "class/hwmon" / hwmon);
          });
      };

} // namespace

TEST(Readings, CpuTemperatureByFamily)
{
    expectReadings(kCpu,
        {
            { .what = "-41 °C is implausible",
                .machine = "intel-laptop",
                .before = core2("-41000"),
                .expected = (49.0 + 53 + 51) / 3 },
            { .what = "150 °C is plausible",
                .machine = "intel-laptop",
                .before = core2("150000"),
                .expected = (150.0 + 49 + 53 + 51) / 4 },
            { .what = "so is -40 °C",
                .machine = "intel-laptop",
                .before = core2("-40000"),
                .expected = (-40.0 + 49 + 53 + 51) / 4 },
            { .what = "a CPU chip that comes later waits for the re-scan",
                .machine = "virtual-machine",
                .between = lateCpu },
            { .what = "which finds it",
                .machine = "virtual-machine",
                .between = lateCpu,
                .gap = 30s,
                .expected = 60.0 },
            { .what = "without Core inputs the package stands in",
                .machine = "intel-laptop",
                .before = edit({ { kCoretemp + "temp2_input", kGone }, { kCoretemp + "temp3_input", kGone },
                    { kCoretemp + "temp4_input", kGone }, { kCoretemp + "temp5_input", kGone } }),
                .expected = 52.0 },
            { .what = "VIA's chip per core",
                .machine = "virtual-machine",
                .before =
                    [](auto s) {
                        fs::create_directories(s / "class/hwmon");
                        addChip("hwmon0", "devices/platform/via_cputemp.0", "via_cputemp",
                            { { "Core 0", 45000 } })(s);
                    },
                .expected = 45.0 },
            { .what = "a CPU chip replaced between samples is found at once",
                .machine = "intel-laptop",
                .between =
                    [](auto s) {
                        fs::remove_all(s / "devices/platform/coretemp.0");
                        addChip("hwmon9", "devices/platform/coretemp.1", "coretemp", { { "Core 0", 60000 } })(
                            s);
                    },
                .expected = 60.0 },
            { .what = "a FIFO thermal zone is no reading and no hang",
                .machine = "arm-board",
                .before =
                    [](auto s) {
                        fs::remove(s / "class/thermal/thermal_zone0/temp");
                        ASSERT_EQ(::mkfifo((s / "class/thermal/thermal_zone0/temp").c_str(), 0644), 0);
                    } },
            { .what = "a second CPU zone is averaged in",
                .machine = "arm-board",
                .before = edit({ { "class/thermal/thermal_zone1/type", "cpu1-thermal" },
                    { "class/thermal/thermal_zone1/temp", "49236" } }),
                .expected = 48.236 },
            { .what = "an SoC's labelled CPU input before its SoC-wide sensor",
                .machine = "virtual-machine",
                .before =
                    [](auto s) {
                        chip("hwmon8",
                            { { "name", "scmi_sensors" }, { "temp1_label", "CPU_B0" },
                                { "temp1_input", "41000" } })(s);
                        chip("hwmon9", { { "name", "sfctemp" }, { "temp1_input", "60000" } })(s);
                    },
                .expected = 41.0 },
            { .what = "and a little_core one, as RK3576 types it",
                .machine = "arm-board",
                .before = edit({ { "class/thermal/thermal_zone1/type", "little_core_thermal" },
                    { "class/thermal/thermal_zone1/temp", "49236" } }),
                .expected = 48.236 },
        });
}

TEST(Readings, GpuTemperatureAndUsageByFamily)
{
    expectReadings(kGpu,
        {
            { .what = "a hot GPU at 110 °C is real",
                .machine = "amd-desktop",
                .before = edit({ { kAmdgpu + "temp1_input", "110000" } }),
                .expected = 110.0 },
            { .what = "a GPU's chip that comes later too",
                .machine = "amd-desktop",
                .before =
                    [](auto s) {
                        fs::rename(s / kGpuHwmon, s / "../hwmon2");
                        fs::remove(s / kAmdgpu.substr(0, kAmdgpu.size() - 1));
                    },
                .between =
                    [](auto s) {
                        fs::rename(s / "../hwmon2", s / kGpuHwmon);
                        fs::create_symlink(
                            fs::canonical(s / kGpuHwmon), s / kAmdgpu.substr(0, kAmdgpu.size() - 1));
                    },
                .gap = 30s,
                .expected = 48.0 },
            { .what = "amdgpu without an edge label gives no GPU temperature",
                .machine = "amd-desktop",
                .before = edit({ { kAmdgpu + "temp1_label", "hotspot" } }) },
            { .what = "xe's package sensor, not the first",
                .machine = "intel-laptop",
                .before = addChip("hwmon9", kIntelGpu, "xe", { { "vram", 70000 }, { "pkg", 55000 } }),
                .expected = 55.0 },
            { .what = "a GPU without runtime power management is read",
                .machine = "amd-desktop",
                .before = edit({ { kAmdState, kGone } }),
                .expected = 48.0 },
            { .what = "a suspended amdgpu is not read",
                .machine = "amd-desktop",
                .before = edit({ { kAmdState, "suspended" } }),
                .gpuAsleep = true },
            { .what = "one asleep at the survey is read once awake",
                .machine = "amd-desktop",
                .before = edit({ { kAmdState, "suspended" } }),
                .between = edit({ { kAmdState, "active" } }),
                .expected = 48.0 },
            { .what = "nor is one whose power state cannot be read",
                .machine = "amd-desktop",
                .before = [](auto s) { fs::permissions(s / kAmdState, fs::perms::none); },
                .gpuAsleep = true,
                .field = kPower },
            { .what = "i915 busy is not read over a sleep",
                .machine = "intel-laptop",
                .between = rc6(81234567 + 250),
                .sleeps = true,
                .field = kBusy },
            { .what = "nor over a sample that found the GPU asleep",
                .machine = "intel-laptop",
                .between = edit({ { kIntelGpu + "/power/runtime_status", "suspended" } }),
                .later = edit({ { kIntelGpu + "/power/runtime_status", "active" },
                    { kIntelCard + "gt/gt0/rc6_residency_ms", std::to_string(81234567 + 250) } }),
                .field = kBusy },
            { .what = "i915 on the older RC6 path",
                .machine = "intel-laptop",
                .before = edit({ { kIntelCard + "gt", kGone } }),
                .between
                = edit({ { kIntelCard + "power/rc6_residency_ms", std::to_string(81234567 + 900) } }),
                .field = kBusy,
                .expected = 0.1 },
            { .what = "a reset RC6 counter gives no reading",
                .machine = "intel-laptop",
                .between = rc6(10),
                .field = kBusy },
            { .what = "i915 with a negative clock gives no usage",
                .machine = "intel-laptop",
                .before = edit({ { kIntelCard + "gt_act_freq_mhz", "-5" } }),
                .between = rc6(81234567 + 250),
                .field = kBusy },
            { .what = "amdgpu clock from hwmon without pp_dpm_sclk",
                .machine = "amd-desktop",
                .before = edit({ { kAmdClock, kGone }, { kAmdgpu + "freq1_input", "1800000000" } }),
                .field = kMhz,
                .expected = 1800.0 },
            { .what = "10000 MHz is kept",
                .machine = "amd-desktop",
                .before = edit({ { kAmdClock, "0: 500Mhz\n1: 10000Mhz *\n" } }),
                .field = kMhz,
                .expected = 10000.0 },
            { .what = "an idle GPU is 0 % busy",
                .machine = "amd-desktop",
                .before = busy("0"),
                .field = kBusy,
                .expected = 0.0 },
            { .what = "a full one 100 %",
                .machine = "amd-desktop",
                .before = busy("100"),
                .field = kBusy,
                .expected = 1.0 },
            { .what = "101 % is no reading",
                .machine = "amd-desktop",
                .before = busy("101"),
                .field = kBusy },
            { .what = "nor is -1 %", .machine = "amd-desktop", .before = busy("-1"), .field = kBusy },
        });
}

TEST(Readings, PackagePowerByFamily)
{
    const HelperAnswers answers17 { "17\n" };
    expectReadings(kPower,
        {
            { .what = "RAPL over the interval, plus the discrete GPU",
                .machine = "amd-desktop",
                .between = rapl(1894561234LL + 61500000),
                .expected = 61.5 + 35 },
            { .what = "but not over a sleep",
                .machine = "amd-desktop",
                .between = rapl(1894561234LL + 61500000),
                .sleeps = true },
            { .what = "RAPL across the counter's wrap",
                .machine = "amd-desktop",
                .before = rapl(65531610987),
                .between = rapl(2000000),
                .expected = 3.0 + 35 },
            { .what = "a wrap without a known range is no figure",
                .machine = "amd-desktop",
                .before
                = edit({ { kRapl + "energy_uj", "65531610987" }, { kRapl + "max_energy_range_uj", kGone } }),
                .between = rapl(2000000) },
            { .what = "a card's power alone is not the processors'; a readable RAPL asks no helper",
                .machine = "amd-desktop",
                .helper = answers17 },
            { .what = "an APU's power1_input when there is no average",
                .machine = "amd-desktop",
                .before = edit({ { kAmdgpu + "power1_average", kGone },
                    { kAmdgpu + "power1_input", "40000000" }, { kAmdgpu + "in1_input", "800" } }),
                .expected = 40.0 },
            { .what = "one unreadable zenpower rail makes no sum, not a part of one",
                .machine = "amd-desktop",
                .before =
                    [](auto s) {
                        fs::create_directories(s / "class/hwmon/hwmon7");
                        edit({ { "class/hwmon/hwmon7/name", "zenpower" },
                            { "class/hwmon/hwmon7/power1_label", "SVI2_P_Core" },
                            { "class/hwmon/hwmon7/power1_input", "30000000" },
                            { "class/hwmon/hwmon7/power2_label", "SVI2_P_SoC" },
                            { "class/hwmon/hwmon7/power2_input", "(unreadable)" } })(s);
                    } },
            { .what = "fam15h_power's average where it has no input",
                .machine = "amd-desktop",
                .before = chip("hwmon8", { { "name", "fam15h_power" }, { "power1_average", "30000000" } }),
                .expected = 30.0 + 35 },
            { .what = "a Jetson's module input where no SoC rail is labelled",
                .machine = "arm-board",
                .before = chip("hwmon8",
                    { { "name", "ina3221" }, { "in1_label", "VDD_IN" }, { "in1_input", "5000" },
                        { "curr1_input", "1200" }, { "in2_label", "VDD_DDR" }, { "in2_input", "1100" },
                        { "curr2_input", "300" } }),
                .expected = 6.0 },
            { .what = "an APU's 2000 W is kept",
                .machine = "amd-desktop",
                .before = amdW("2000000000"),
                .expected = 2000.0 },
            { .what = "a peripheral's battery is not the system's",
                .machine = "amd-desktop",
                .before = amdW(kGone.c_str()) },
            { .what = "RAPL beats the battery when readable, psys not added",
                .machine = "intel-laptop",
                .between = edit({ { kRapl + "energy_uj", "30716595678" },
                    { "class/powercap/intel-rapl:1/energy_uj", "81244567890" } }),
                .expected = 4.25 },
            { .what = "without RAPL, the helper's",
                .machine = "intel-laptop",
                .before = noRapl,
                .helper = answers17,
                .expected = 17.0 },
            { .what = "a silent helper gives none within its bound",
                .machine = "intel-laptop",
                .before = noRapl,
                .helper = HelperAnswers {},
                .expected = 8.63 },
            { .what = "nor a garbled one",
                .machine = "intel-laptop",
                .before = noRapl,
                .helper = HelperAnswers { "17 W\n" },
                .expected = 8.63 },
            { .what = "an answer that outlasts a sample's bound is taken at the next",
                .machine = "intel-laptop",
                .before = noRapl,
                .helper = HelperAnswers { .answer = "17\n", .dribble = 60ms },
                .expected = 17.0 },
            { .what = "one that dribbles past the bound gives none and holds up no sample",
                .machine = "intel-laptop",
                .before = noRapl,
                .helper = HelperAnswers { .answer = "0000017\n", .dribble = 90ms },
                .expected = 8.63 },
            { .what = "the helper's last figure stands while it is late",
                .machine = "intel-laptop",
                .before = noRapl,
                .helper = HelperAnswers { .answer = "17\n", .answers = 1 },
                .expected = 17.0 },
            { .what = "but not for long",
                .machine = "intel-laptop",
                .before = noRapl,
                .gap = 4s,
                .helper = HelperAnswers { .answer = "17\n", .answers = 1 },
                .expected = 8.63 },
            { .what = "a helper's 0 W leaves the battery its turn",
                .machine = "intel-laptop",
                .before = noRapl,
                .helper = HelperAnswers { "0\n" },
                .expected = 8.63 },
            { .what = "an impossible battery draw",
                .machine = "intel-laptop",
                .before = edit({ { kBattery + "power_now", "9223372036854775807" } }) },
            { .what = "nor does a full one",
                .machine = "intel-laptop",
                .before = edit({ { kBattery + "status", "Full" } }) },
            { .what = "nor one that is not charging",
                .machine = "intel-laptop",
                .before = edit({ { kBattery + "status", "Not charging" } }) },
            { .what = "a charging battery gives no discharge power",
                .machine = "intel-laptop",
                .before = edit({ { kBattery + "status", "Charging" } }) },
            { .what = "current times voltage without power_now",
                .machine = "intel-laptop",
                .before = edit({ { kBattery + "power_now", kGone }, { kBattery + "current_now", "700000" } }),
                .expected = 0.7 * 11.946 },
        });
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
