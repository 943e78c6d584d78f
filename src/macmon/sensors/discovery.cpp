// SPDX-License-Identifier: MIT
#include "sensors/discovery.h"

#include "common/rapl.h"
#include "common/text.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace macmon {
namespace {

constexpr std::array kClasses { "class/hwmon", "class/thermal", "class/powercap", "class/drm",
    "class/power_supply" };

bool isCpuZone(const std::string &type)
{
    const std::string t = orvane::lower(type);
    return t.find("cpu") != std::string::npos || t.find("bigcore") != std::string::npos
        || t.find("littlecore") != std::string::npos;
}

struct Input
{
    std::string label; // empty when the chip gives none
    std::string file;
};

// The inputs of one kind ("temp", "power") in a hwmon folder, with their labels.
std::vector<Input> labelledInputs(const SysfsReader &sys, const std::string &dir, const std::string &kind)
{
    std::vector<Input> inputs;
    for (const auto &entry : sys.list(dir)) {
        std::string n;
        if (numbered(entry, kind, "_input", &n))
            inputs.push_back({ sys.text(dir + "/" + kind + n + "_label").value_or(""), dir + "/" + entry });
    }
    return inputs;
}

std::string firstThere(const SysfsReader &sys, std::initializer_list<std::string> files)
{
    for (const auto &f : files)
        if (sys.exists(f))
            return f;
    return {};
}

// The PCI device a hwmon folder belongs to, e.g. ".../0000:0c:00.0" for ".../0000:0c:00.0/hwmon/hwmon2".
std::filesystem::path owner(const SysfsReader &sys, const std::string &hwmon)
{
    const auto resolved = sys.canonical(hwmon);
    return resolved.empty() ? resolved : resolved.parent_path().parent_path();
}

} // namespace

bool startsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool numbered(const std::string &s, const std::string &prefix, const std::string &suffix, std::string *number)
{
    if (s.size() <= prefix.size() + suffix.size() || !startsWith(s, prefix)
        || s.compare(s.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string digits = s.substr(prefix.size(), s.size() - prefix.size() - suffix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    if (number)
        *number = digits;
    return true;
}

std::vector<std::vector<std::string>> classListings(const SysfsReader &sys)
{
    std::vector<std::vector<std::string>> listings;
    for (const char *c : kClasses)
        listings.push_back(sys.list(c));
    return listings;
}

namespace {

// The processors' temperature inputs, by family; ranked() puts the best first.
struct CpuInputs
{
    std::vector<std::string> cores, tdie, ccds, tctl, unlabelled, packages, zones;

    // Tdie is given only where Tctl carries an offset; Tccd is per die, so Tctl comes last of Zen's sensors.
    std::vector<std::vector<std::string>> ranked()
    {
        std::vector<std::vector<std::string>> groups;
        for (auto *group : { &cores, &tdie, &ccds, &tctl, &unlabelled, &packages, &zones })
            if (!group->empty())
                groups.push_back(std::move(*group));
        return groups;
    }
};

std::vector<GpuDevice> findGpus(const SysfsReader &sys, const std::vector<std::string> &drmEntries)
{
    std::vector<GpuDevice> gpus;
    for (const auto &entry : drmEntries) {
        const std::string card = "class/drm/" + entry;
        if (numbered(entry, "card", "") && !sys.canonical(card + "/device").empty())
            gpus.push_back(
                { card, card + "/device", {}, sys.exists(card + "/device/power/runtime_status"), {} });
    }
    return gpus;
}

void coretempInputs(const SysfsReader &sys, const std::string &dir, CpuInputs &cpu)
{
    for (const auto &t : labelledInputs(sys, dir, "temp")) {
        if (startsWith(t.label, "Core "))
            cpu.cores.push_back(t.file);
        else if (startsWith(t.label, "Package id"))
            cpu.packages.push_back(t.file);
    }
}

void amdInputs(const SysfsReader &sys, const std::string &dir, CpuInputs &cpu)
{
    for (const auto &t : labelledInputs(sys, dir, "temp")) {
        if (t.label == "Tdie")
            cpu.tdie.push_back(t.file);
        else if (startsWith(t.label, "Tccd"))
            cpu.ccds.push_back(t.file);
        else if (t.label == "Tctl")
            cpu.tctl.push_back(t.file);
        else if (t.label.empty()) // k10temp before Zen, and k8temp: the core sensors, unlabelled
            cpu.unlabelled.push_back(t.file);
    }
}

// The processors' chips among the hwmon folders; a GPU's own goes to its device, read once it is awake.
void chipInputs(
    const SysfsReader &sys, const std::vector<std::string> &hwmonEntries, SensorMap &map, CpuInputs &cpu)
{
    std::vector<std::filesystem::path> gpuIds;
    for (const auto &gpu : map.gpus)
        gpuIds.push_back(sys.canonical(gpu.device));
    for (const auto &entry : hwmonEntries) {
        const std::string dir = "class/hwmon/" + entry;
        // Even a GPU chip's name is a file of the device, which reading would wake.
        const auto gpu
            = gpuIds.empty() ? gpuIds.end() : std::find(gpuIds.begin(), gpuIds.end(), owner(sys, dir));
        if (gpu != gpuIds.end()) {
            map.gpus[static_cast<std::size_t>(gpu - gpuIds.begin())].hwmons.push_back(dir);
            continue;
        }
        const std::string name = sys.text(dir + "/name").value_or("");
        if (name == "coretemp")
            coretempInputs(sys, dir, cpu);
        else if (name == "k10temp" || name == "zenpower" || name == "k8temp")
            amdInputs(sys, dir, cpu);
        // Processor power: fam15h_power's input per package (its average sleeps through its interval when
        // read), zenpower's core and SoC rails.
        if (name == "fam15h_power" || name == "zenpower") {
            for (const auto &p : labelledInputs(sys, dir, "power"))
                if (name == "fam15h_power" || p.label == "SVI2_P_Core" || p.label == "SVI2_P_SoC")
                    map.packagePower.push_back(p.file);
        }
    }
}

std::vector<std::string> cpuZones(const SysfsReader &sys, const std::vector<std::string> &thermalEntries)
{
    std::vector<std::string> zones;
    for (const auto &entry : thermalEntries) {
        const std::string dir = "class/thermal/" + entry;
        if (startsWith(entry, "thermal_zone") && isCpuZone(sys.text(dir + "/type").value_or(""))
            && sys.exists(dir + "/temp"))
            zones.push_back(dir + "/temp");
    }
    return zones;
}

std::vector<std::string> raplZones(const SysfsReader &sys, const std::vector<std::string> &powercapEntries)
{
    std::vector<std::string> zones;
    for (const auto &entry : powercapEntries) {
        const std::string dir = "class/powercap/" + entry;
        if (orvane::rapl::domainNumber(entry) && orvane::rapl::isPackage(sys.text(dir + "/name").value_or(""))
            && sys.exists(dir + "/energy_uj"))
            zones.push_back(dir);
    }
    return zones;
}

void batteries(const SysfsReader &sys, const std::vector<std::string> &supplyEntries, SensorMap &map)
{
    for (const auto &entry : supplyEntries) {
        const std::string dir = "class/power_supply/" + entry;
        // A wireless mouse's battery has scope "Device"; only the system's own counts.
        if (sys.text(dir + "/type") != "Battery" || sys.text(dir + "/scope") == "Device"
            || !sys.exists(dir + "/status"))
            continue;
        const bool powerNow = sys.exists(dir + "/power_now");
        if (powerNow || (sys.exists(dir + "/current_now") && sys.exists(dir + "/voltage_now"))) {
            map.batteries.push_back(dir);
            map.batteryPowerNow.push_back(powerNow);
        }
    }
}

} // namespace

SensorMap discover(const SysfsReader &sys)
{
    SensorMap map;
    map.listings = classListings(sys);
    map.gpus = findGpus(sys, map.listings[3]);
    CpuInputs cpu;
    chipInputs(sys, map.listings[0], map, cpu);
    cpu.zones = cpuZones(sys, map.listings[1]);
    map.cpuGroups = cpu.ranked();
    map.raplZones = raplZones(sys, map.listings[2]);
    batteries(sys, map.listings[4], map);
    return map;
}

GpuFiles gpuFiles(const SysfsReader &sys, const GpuDevice &gpu)
{
    GpuFiles files;
    files.driver
        = orvane::lineValue(sys.raw(gpu.device + "/uevent").value_or(""), "DRIVER", '=').value_or("");
    for (const auto &dir : gpu.hwmons) {
        const std::string name = sys.text(dir + "/name").value_or("");
        const auto inputs = labelledInputs(sys, dir, "temp");
        const auto labelled = [&](const char *label) {
            const auto it = std::find_if(
                inputs.begin(), inputs.end(), [&](const Input &i) { return i.label == label; });
            return it != inputs.end() ? it->file : std::string();
        };
        if (name == "amdgpu") {
            files.temp = labelled("edge");
            // Newer kernels give power1_input on some boards instead of the average.
            files.power = firstThere(sys, { dir + "/power1_average", dir + "/power1_input" });
            files.hertz = firstThere(sys, { dir + "/freq1_input" });
            // The kernel shows the northbridge voltage (in1, "vddnb") on APUs only, never on a card.
            files.integrated = sys.exists(dir + "/in1_input");
        } else if ((name == "nouveau" || name == "radeon") && !inputs.empty()) {
            files.temp = inputs.front().file;
        } else if ((name == "i915" || name == "xe") && !inputs.empty()) {
            files.temp = labelled("pkg");
            if (files.temp.empty())
                files.temp = inputs.front().file;
        }
    }
    if (files.driver == "amdgpu") {
        files.busy = firstThere(sys, { gpu.device + "/gpu_busy_percent" });
        files.levels = firstThere(sys, { gpu.device + "/pp_dpm_sclk" });
    } else if (files.driver == "i915") {
        files.rc6 = firstThere(
            sys, { gpu.card + "/gt/gt0/rc6_residency_ms", gpu.card + "/power/rc6_residency_ms" });
        files.mhz = firstThere(sys, { gpu.card + "/gt_act_freq_mhz", gpu.card + "/gt/gt0/rps_act_freq_mhz" });
    }
    return files;
}

} // namespace macmon
