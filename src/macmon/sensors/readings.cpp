// SPDX-License-Identifier: MIT
#include "sensors/readings.h"

#include "common/text.h"
#include "sensors/plausible.h"

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
            const std::string name = orvane::trim(*model);
            if (!name.empty())
                return name;
        }
    }
    const auto cpuinfo = proc.raw("cpuinfo", kCpuinfoBytes);
    if (!cpuinfo)
        return std::nullopt;
    const auto name = orvane::lineValue(*cpuinfo, "model name", ':');
    return name && !name->empty() ? name : std::nullopt;
}

Sensors::Sensors(Roots roots, SysfsReader::Observer observer)
    : sys_(std::move(roots.sysfs), std::move(observer))
    , proc_(std::move(roots.procfs))
    , power_(std::move(roots.powerSocket))
    , nvidia_(sys_)
{ }

void Sensors::release()
{
    // A rate across a sleep of unknown length would be an average over the sleep, not a reading.
    power_.reset();
    gpu_.reset();
    nvidia_.release();
}

Readings Sensors::sample(orvane::Clock::time_point now)
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

Readings Sensors::read(orvane::Clock::time_point now)
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
    GpuPower gpuPower;
    for (const auto &g : gpus) {
        auto &sum = g.integrated ? gpuPower.integratedW : gpuPower.discreteW;
        if (g.powerW)
            sum = sum.value_or(0) + *g.powerW;
    }
    r.socPowerW = guarded([&] { return power_.sample(sys_, *map_, gpuPower, now); });
    return r;
}

} // namespace macmon
