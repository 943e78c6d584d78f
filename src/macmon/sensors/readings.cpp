// SPDX-License-Identifier: MIT
#include "sensors/readings.h"

#include "common/text.h"
#include "sensors/plausible.h"

#include <cmath>
#include <utility>

namespace macmon {
namespace {

constexpr std::size_t kCpuinfoBytes = 64 * 1024;
// New chips are looked for this often; a vanished file makes the same sample look again at once.
constexpr std::chrono::seconds kRecheck { 30 };

// A reader that fails in a way nobody foresaw loses its reading, not the service.
template<class F> auto guarded(F read) -> decltype(read())
{
    try {
        return read();
    } catch (const std::exception &) {
        return {};
    }
}

std::optional<double> batteryDischargeW(const SysfsReader &sys, const SensorMap &map)
{
    std::optional<double> total;
    for (std::size_t i = 0; i < map.batteries.size(); ++i) {
        const std::string &dir = map.batteries[i];
        if (sys.text(dir + "/status") != "Discharging")
            continue;
        std::optional<double> watts;
        if (map.batteryPowerNow[i]) {
            if (auto uw = sys.integer(dir + "/power_now"))
                watts = std::abs(static_cast<double>(*uw)) / 1e6;
        } else {
            const auto ua = sys.integer(dir + "/current_now");
            const auto uv = sys.integer(dir + "/voltage_now");
            if (ua && uv)
                watts = std::abs(static_cast<double>(*ua) * static_cast<double>(*uv)) / 1e12;
        }
        if (watts && plausibleWatts(*watts))
            total = total.value_or(0) + *watts;
    }
    return total;
}

// The sum of hwmon power inputs (microwatts); one that cannot be read makes the sum no reading.
std::optional<double> hwmonWatts(const SysfsReader &sys, const std::vector<std::string> &files)
{
    if (files.empty())
        return std::nullopt;
    double watts = 0;
    for (const auto &file : files) {
        const auto uw = sys.integer(file);
        if (!uw || *uw < 0)
            return std::nullopt;
        watts += static_cast<double>(*uw) / 1e6;
    }
    return plausibleWatts(watts);
}

} // namespace

std::optional<double> cpuTemperature(
    const SysfsReader &sys, const std::vector<std::vector<std::string>> &groups)
{
    for (const auto &group : groups) {
        double sum = 0;
        int count = 0;
        for (const auto &file : group) {
            const auto milli = sys.integer(file);
            if (const auto c
                = milli ? plausibleCelsius(static_cast<double>(*milli) / 1000.0) : std::nullopt) {
                sum += *c;
                ++count;
            }
        }
        if (count > 0)
            return sum / count;
    }
    return std::nullopt;
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

std::optional<double> PowerMeter::rapl(const SysfsReader &sys, const SensorMap &map, Clock::time_point now)
{
    std::map<std::string, long long> energy;
    for (const auto &zone : map.raplZones) {
        const auto uj = sys.integer(zone + "/energy_uj");
        if (!uj || *uj < 0) {
            // Root-only on current kernels: an unreadable counter is no reading, not an error.
            lastEnergyUj_.clear();
            return std::nullopt;
        }
        energy[zone] = *uj;
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
            const auto range = sys.integer(zone + "/max_energy_range_uj");
            if (!range || *range < before->second)
                return std::nullopt;
            delta = *range - before->second + uj;
        }
        joules += static_cast<double>(delta) / 1e6;
    }
    // A counter that stands still is not live (a recorded machine); plausibleWatts drops it with the rest.
    return plausibleWatts(joules / elapsed);
}

std::optional<double> PowerMeter::sample(
    const SysfsReader &sys, const SensorMap &map, std::optional<double> gpuW, Clock::time_point now)
{
    if (auto w = rapl(sys, map, now))
        return w;
    if (auto w = hwmonWatts(sys, map.packagePower))
        return w;
    if (gpuW)
        return gpuW;
    return batteryDischargeW(sys, map);
}

Sensors::Sensors(Roots roots, SysfsReader::Observer observer)
    : sys_(std::move(roots.sysfs), std::move(observer))
    , proc_(std::move(roots.procfs))
    , nvidia_(sys_)
{ }

void Sensors::release()
{
    // A rate across a sleep of unknown length would be an average over the sleep, not a reading.
    power_.reset();
    gpu_.reset();
    nvidia_.release();
}

Readings Sensors::sample(Clock::time_point now)
{
    // Reading cpuinfo makes the kernel query every core's clock, so the name is read until found, then kept.
    if (!chip_)
        chip_ = guarded([&] { return chipName(sys_, proc_); });
    bool found = false;
    if (!map_ || now - checked_ >= kRecheck) {
        if (!map_ || guarded([&] { return classListings(sys_); }) != map_->listings) {
            map_ = guarded([&] { return discover(sys_); });
            found = true;
        }
        checked_ = now;
    }
    Readings r = read(now);
    // A known file gone means the map is out of date: find the sensors again and read them again at once.
    if (sys_.vanished() && !found) {
        map_ = guarded([&] { return discover(sys_); });
        checked_ = now;
        r = read(now);
    }
    return r;
}

Readings Sensors::read(Clock::time_point now)
{
    sys_.clearVanished();
    Readings r;
    r.chipName = chip_;
    r.cpuTempC = guarded([&] { return cpuTemperature(sys_, map_->cpuGroups); });
    // Their awake rules differ on purpose: a device with no runtime power state cannot sleep, but NVML
    // keeps a GPU awake, so an NVIDIA device that shows no state is left alone.
    auto gpus = guarded([&] { return gpu_.sample(sys_, map_->gpus, now); });
    for (auto &g : guarded([&] { return nvidia_.sample(now); }))
        gpus.push_back(std::move(g));
    const auto combined = combineGpus(gpus);
    r.gpuTempC = combined.tempC;
    r.gpuUsage = combined.usage;
    std::optional<double> gpuW;
    for (const auto &g : gpus)
        if (g.powerW)
            gpuW = gpuW.value_or(0) + *g.powerW;
    r.powerW = guarded([&] { return power_.sample(sys_, *map_, gpuW, now); });
    return r;
}

} // namespace macmon
