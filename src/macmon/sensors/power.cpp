// SPDX-License-Identifier: MIT
#include "sensors/power.h"

#include "common/rapl.h"

#include "sensors/plausible.h"

#include <cmath>
#include <utility>

namespace macmon {
namespace {

// A cold helper starts in about a quarter second and has its first figure a window of a second later.
constexpr auto kHelperSettleTime = std::chrono::seconds(3);
// How long the helper's last figure stands in while its next answer is late, as long as a document lives.
constexpr auto kHelperHold = std::chrono::seconds(3);

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

PowerMeter::PowerMeter(std::filesystem::path helperSocket)
    : helperSocket_(helperSocket)
    , helper_(std::move(helperSocket))
{ }

std::optional<double> PowerMeter::rapl(
    const SysfsReader &sys, const SensorMap &map, orvane::Clock::time_point now, bool &readable)
{
    readable = false;
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
    readable = !energy.empty();
    const auto previous = std::exchange(lastEnergyUj_, energy);
    const auto elapsed = std::chrono::duration<double>(now - std::exchange(lastTime_, now)).count();
    if (energy.empty() || previous.size() != energy.size() || elapsed <= 0)
        return std::nullopt;
    double joules = 0;
    for (const auto &[zone, uj] : energy) {
        const auto before = previous.find(zone);
        if (before == previous.end())
            return std::nullopt;
        // The range is read only when the counter went back, which it rarely does.
        const auto range = uj < before->second ? sys.integer(zone + "/max_energy_range_uj") : 0;
        const auto used = range && *range >= 0
            ? orvane::rapl::consumedUj(static_cast<std::uint64_t>(before->second),
                static_cast<std::uint64_t>(uj), static_cast<std::uint64_t>(*range))
            : std::nullopt;
        if (!used)
            return std::nullopt;
        joules += static_cast<double>(*used) / 1e6;
    }
    // A counter that stands still is not live (a recorded machine); plausibleWatts drops it with the rest.
    return plausibleWatts(joules / elapsed);
}

std::optional<double> PowerMeter::package(
    const SysfsReader &sys, const SensorMap &map, const GpuPower &gpus, orvane::Clock::time_point now)
{
    bool readable = false;
    if (auto w = rapl(sys, map, now, readable))
        return w;
    // The helper reads RAPL for those who may not; a service that can read it asks nobody.
    if (!readable && !helperSocket_.empty()) {
        const auto answer = helper_.ask();
        if (answer.watts && plausibleWatts(*answer.watts)) {
            helperMissSince_.reset();
            lastHelperW_ = answer.watts;
            lastHelperAt_ = now;
            return answer.watts;
        }
        if (!answer.reached)
            helperMissSince_.reset();
        else if (!helperMissSince_)
            helperMissSince_ = now;
        // A helper kept busy by other clients still owes an answer: its last figure stands for a while.
        if (answer.late && lastHelperW_ && now - lastHelperAt_ <= kHelperHold)
            return lastHelperW_;
    }
    if (auto w = hwmonWatts(sys, map.packagePower))
        return w;
    return gpus.integratedW;
}

bool PowerMeter::awaitingHelper(orvane::Clock::time_point now) const
{
    // A helper that never has a figure (a machine without package counters) is not waited for long.
    return helperMissSince_ && now - *helperMissSince_ < kHelperSettleTime;
}

std::optional<double> PowerMeter::sample(
    const SysfsReader &sys, const SensorMap &map, const GpuPower &gpus, orvane::Clock::time_point now)
{
    // A discrete GPU's figure only adds to a package's: alone it is not the processors' power.
    if (const auto w = package(sys, map, gpus, now))
        return plausibleWatts(*w + gpus.discreteW.value_or(0));
    return batteryDischargeW(sys, map);
}

} // namespace macmon
