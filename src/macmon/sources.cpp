// SPDX-License-Identifier: MIT
#include "sources.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numeric>
#include <regex>
#include <utility>
#include <vector>

namespace macmon {
namespace {

constexpr double kMinPlausibleC = -40.0;
constexpr double kMaxPlausibleC = 150.0;
constexpr std::size_t kCpuinfoBytes = 64 * 1024;

bool startsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// True for prefix + digits + suffix (e.g. "temp3_input"); the digits go to number.
bool numbered(
    const std::string &s, const std::string &prefix, const std::string &suffix, std::string *number = nullptr)
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

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::optional<double> average(const std::vector<double> &values)
{
    if (values.empty())
        return std::nullopt;
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

std::optional<double> celsius(const SysfsReader &sys, const std::string &file)
{
    const auto milli = sys.integer(file);
    if (!milli)
        return std::nullopt;
    const double c = static_cast<double>(*milli) / 1000.0;
    if (c < kMinPlausibleC || c > kMaxPlausibleC)
        return std::nullopt;
    return c;
}

struct Temp
{
    std::string label; // empty when the chip gives none
    double celsius = 0;
};

// The readable, plausible temperature inputs of one hwmon folder.
std::vector<Temp> hwmonTemps(const SysfsReader &sys, const std::string &dir)
{
    std::vector<Temp> temps;
    for (const auto &entry : sys.list(dir)) {
        std::string n;
        if (!numbered(entry, "temp", "_input", &n))
            continue;
        if (auto c = celsius(sys, dir + "/" + entry))
            temps.push_back({ sys.text(dir + "/temp" + n + "_label").value_or(""), *c });
    }
    return temps;
}

// Every hwmon folder with its driver name, e.g. {"class/hwmon/hwmon3", "coretemp"}.
std::vector<std::pair<std::string, std::string>> hwmons(const SysfsReader &sys)
{
    std::vector<std::pair<std::string, std::string>> result;
    for (const auto &entry : sys.list("class/hwmon")) {
        const std::string dir = "class/hwmon/" + entry;
        if (auto name = sys.text(dir + "/name"))
            result.emplace_back(dir, *name);
    }
    return result;
}

// The value of the first "key<sep>value" line, e.g. "DRIVER=i915" or "model name\t: ...".
std::optional<std::string> lineValue(const std::string &text, const std::string &key, char sep)
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const auto at = line.find(sep);
        if (at != std::string::npos && trim(line.substr(0, at)) == key)
            return trim(line.substr(at + 1));
        start = end + 1;
    }
    return std::nullopt;
}

std::vector<std::string> drmCards(const SysfsReader &sys)
{
    std::vector<std::string> cards;
    for (const auto &entry : sys.list("class/drm"))
        if (numbered(entry, "card", ""))
            cards.push_back("class/drm/" + entry);
    return cards;
}

std::string drmDriver(const SysfsReader &sys, const std::string &card)
{
    const auto uevent = sys.raw(card + "/device/uevent");
    if (!uevent)
        return {};
    return lineValue(*uevent, "DRIVER", '=').value_or("");
}

std::optional<double> firstOf(const SysfsReader &sys, std::initializer_list<std::string> files)
{
    for (const auto &f : files)
        if (auto v = sys.integer(f))
            return static_cast<double>(*v);
    return std::nullopt;
}

bool isCpuZone(const std::string &type)
{
    const std::string t = lower(type);
    return t.find("cpu") != std::string::npos || t.find("bigcore") != std::string::npos
        || t.find("littlecore") != std::string::npos;
}

std::optional<double> thermalZoneCpu(const SysfsReader &sys)
{
    std::vector<double> cpu;
    for (const auto &entry : sys.list("class/thermal")) {
        if (!startsWith(entry, "thermal_zone"))
            continue;
        const std::string dir = "class/thermal/" + entry;
        const auto type = sys.text(dir + "/type");
        if (!type || !isCpuZone(*type))
            continue;
        if (auto c = celsius(sys, dir + "/temp"))
            cpu.push_back(*c);
    }
    return average(cpu);
}

std::optional<double> amdgpuPowerW(const SysfsReader &sys)
{
    std::optional<double> total;
    for (const auto &[dir, name] : hwmons(sys)) {
        if (name != "amdgpu")
            continue;
        // Newer kernels give power1_input on some boards instead of the average.
        if (auto uw = firstOf(sys, { dir + "/power1_average", dir + "/power1_input" }))
            total = total.value_or(0) + *uw / 1e6;
    }
    return total;
}

std::optional<double> batteryDischargeW(const SysfsReader &sys)
{
    std::optional<double> total;
    for (const auto &entry : sys.list("class/power_supply")) {
        const std::string dir = "class/power_supply/" + entry;
        // A wireless mouse's battery has scope "Device"; only the system's own counts.
        if (sys.text(dir + "/type") != "Battery" || sys.text(dir + "/scope") == "Device"
            || sys.text(dir + "/status") != "Discharging")
            continue;
        std::optional<double> watts;
        if (auto uw = sys.integer(dir + "/power_now")) {
            watts = std::abs(static_cast<double>(*uw)) / 1e6;
        } else {
            const auto ua = sys.integer(dir + "/current_now");
            const auto uv = sys.integer(dir + "/voltage_now");
            if (ua && uv)
                watts = std::abs(static_cast<double>(*ua) * static_cast<double>(*uv)) / 1e12;
        }
        if (watts && *watts > 0)
            total = total.value_or(0) + *watts;
    }
    return total;
}

std::optional<double> amdgpuClockMhz(const SysfsReader &sys, const std::string &device)
{
    // pp_dpm_sclk lists the clock levels, e.g. "1: 1800Mhz *"; the star marks the current one.
    if (auto levels = sys.raw(device + "/pp_dpm_sclk")) {
        static const std::regex current("[0-9]+:\\s*([0-9]+)\\s*[Mm][Hh]z\\s*\\*");
        std::smatch m;
        if (std::regex_search(*levels, m, current))
            return std::stod(m[1].str());
    }
    for (const auto &hw : sys.list(device + "/hwmon"))
        if (auto hz = sys.integer(device + "/hwmon/" + hw + "/freq1_input"))
            return static_cast<double>(*hz) / 1e6;
    return std::nullopt;
}

std::optional<GpuUsage> amdgpuUsage(const SysfsReader &sys, const std::string &card)
{
    const std::string device = card + "/device";
    const auto percent = sys.integer(device + "/gpu_busy_percent");
    if (!percent || *percent < 0 || *percent > 100)
        return std::nullopt;
    const auto mhz = amdgpuClockMhz(sys, device);
    if (!mhz)
        return std::nullopt;
    return GpuUsage { *mhz, static_cast<double>(*percent) / 100.0 };
}

} // namespace

std::optional<double> cpuTemperature(const SysfsReader &sys)
{
    std::vector<double> cores, packages, ccds, tdie, tctl;
    for (const auto &[dir, name] : hwmons(sys)) {
        if (name == "coretemp") {
            for (const auto &t : hwmonTemps(sys, dir)) {
                if (startsWith(t.label, "Core "))
                    cores.push_back(t.celsius);
                else if (startsWith(t.label, "Package id"))
                    packages.push_back(t.celsius);
            }
        } else if (name == "k10temp" || name == "zenpower") {
            for (const auto &t : hwmonTemps(sys, dir)) {
                if (startsWith(t.label, "Tccd"))
                    ccds.push_back(t.celsius);
                else if (t.label == "Tdie")
                    tdie.push_back(t.celsius);
                else if (t.label == "Tctl")
                    tctl.push_back(t.celsius);
            }
        }
    }
    // Tctl carries a fan-curve offset on some Ryzen parts, so it is the last resort.
    for (const auto *group : { &cores, &ccds, &tdie, &tctl, &packages })
        if (!group->empty())
            return average(*group);
    return thermalZoneCpu(sys);
}

std::optional<double> gpuTemperature(const SysfsReader &sys)
{
    std::vector<double> gpus;
    for (const auto &[dir, name] : hwmons(sys)) {
        // Other chips' inputs are not read at all: on real hardware a read can mean a bus transaction.
        if (name != "amdgpu" && name != "nouveau" && name != "i915" && name != "xe")
            continue;
        const auto temps = hwmonTemps(sys, dir);
        if (temps.empty())
            continue;
        if (name == "amdgpu") {
            for (const auto &t : temps)
                if (t.label == "edge")
                    gpus.push_back(t.celsius);
        } else if (name == "nouveau") {
            gpus.push_back(temps.front().celsius);
        } else if (name == "i915" || name == "xe") {
            const auto pkg
                = std::find_if(temps.begin(), temps.end(), [](const Temp &t) { return t.label == "pkg"; });
            gpus.push_back(pkg != temps.end() ? pkg->celsius : temps.front().celsius);
        }
    }
    return average(gpus);
}

std::optional<std::string> chipName(const SysfsReader &sys, const SysfsReader &proc)
{
    // Device-tree boards (ARM) name the board there; cpuinfo's "model name" is only the core type.
    for (const auto &[reader, file] :
        { std::pair { &sys, "firmware/devicetree/base/model" }, std::pair { &proc, "device-tree/model" } }) {
        if (auto model = reader->raw(file)) {
            const std::string name = trim(*model);
            if (!name.empty())
                return name;
        }
    }
    const auto cpuinfo = proc.raw("cpuinfo", kCpuinfoBytes);
    if (!cpuinfo)
        return std::nullopt;
    const auto name = lineValue(*cpuinfo, "model name", ':');
    return name && !name->empty() ? name : std::nullopt;
}

std::optional<double> PowerMeter::rapl(const SysfsReader &sys, Clock::time_point now)
{
    std::map<std::string, long long> energy;
    for (const auto &entry : sys.list("class/powercap")) {
        // Package zones only: not their sub-zones ("intel-rapl:0:0") nor psys, which would count twice.
        if (!numbered(entry, "intel-rapl:", "")
            || !startsWith(sys.text("class/powercap/" + entry + "/name").value_or(""), "package"))
            continue;
        const auto uj = sys.integer("class/powercap/" + entry + "/energy_uj");
        if (!uj || *uj < 0) {
            // Root-only on current kernels: an unreadable counter is no reading, not an error.
            lastEnergyUj_.clear();
            return std::nullopt;
        }
        energy[entry] = *uj;
    }
    const auto previous = std::exchange(lastEnergyUj_, energy);
    const auto elapsed = std::chrono::duration<double>(now - std::exchange(lastTime_, now)).count();
    if (energy.empty() || previous.size() != energy.size() || elapsed <= 0)
        return std::nullopt;
    double joules = 0;
    for (const auto &[zone, uj] : energy) {
        const auto before = previous.find(zone);
        if (before == previous.end())
            return std::nullopt;
        long long delta = uj - before->second;
        if (delta < 0) {
            const auto range = sys.integer("class/powercap/" + zone + "/max_energy_range_uj");
            if (!range || *range < before->second)
                return std::nullopt;
            delta = *range - before->second + uj;
        }
        joules += static_cast<double>(delta) / 1e6;
    }
    // A package always draws something: a counter that stands still is not live (a recorded machine).
    if (joules <= 0)
        return std::nullopt;
    return joules / elapsed;
}

std::optional<double> PowerMeter::sample(const SysfsReader &sys, Clock::time_point now)
{
    if (auto w = rapl(sys, now))
        return w;
    if (auto w = amdgpuPowerW(sys))
        return w;
    return batteryDischargeW(sys);
}

std::optional<GpuUsage> GpuUsageMeter::intel(
    const SysfsReader &sys, const std::string &card, Clock::time_point now)
{
    std::optional<long long> rc6 = sys.integer(card + "/gt/gt0/rc6_residency_ms");
    if (!rc6)
        rc6 = sys.integer(card + "/power/rc6_residency_ms");
    const auto mhz = firstOf(sys, { card + "/gt_act_freq_mhz", card + "/gt/gt0/rps_act_freq_mhz" });
    if (!rc6 || !mhz) {
        lastResidency_.erase(card);
        return std::nullopt;
    }
    const auto previous = lastResidency_.find(card);
    const Residency current { *rc6, now };
    if (previous == lastResidency_.end()) {
        lastResidency_[card] = current;
        return std::nullopt;
    }
    const Residency before = std::exchange(previous->second, current);
    const double wallMs = std::chrono::duration<double, std::milli>(now - before.time).count();
    // A counter that went backwards was reset (resume from suspend): start again from here.
    if (wallMs <= 0 || *rc6 < before.rc6Ms)
        return std::nullopt;
    const double idle = static_cast<double>(*rc6 - before.rc6Ms) / wallMs;
    return GpuUsage { *mhz, std::clamp(1.0 - idle, 0.0, 1.0) };
}

std::optional<GpuUsage> GpuUsageMeter::sample(const SysfsReader &sys, Clock::time_point now)
{
    std::optional<GpuUsage> found;
    // Every i915 card is sampled each time, so its residency baseline stays current.
    for (const auto &card : drmCards(sys)) {
        const std::string driver = drmDriver(sys, card);
        std::optional<GpuUsage> usage;
        if (driver == "amdgpu")
            usage = amdgpuUsage(sys, card);
        else if (driver == "i915")
            usage = intel(sys, card, now);
        if (usage && !found)
            found = usage;
    }
    return found;
}

Sensors::Sensors(Roots roots)
    : sys_(std::move(roots.sysfs))
    , proc_(std::move(roots.procfs))
{ }

Readings Sensors::sample(Clock::time_point now)
{
    // Reading cpuinfo makes the kernel query every core's clock, so the name is read until found, then kept.
    if (!chip_)
        chip_ = chipName(sys_, proc_);
    Readings r;
    r.chipName = chip_;
    r.cpuTempC = cpuTemperature(sys_);
    r.gpuTempC = gpuTemperature(sys_);
    r.powerW = power_.sample(sys_, now);
    r.gpuUsage = gpu_.sample(sys_, now);
    return r;
}

} // namespace macmon
