// SPDX-License-Identifier: MIT
#pragma once

#include "common/clock.h"
#include "sensors/discovery.h"
#include "sensors/powerhelper.h"
#include "sensors/reader.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace macmon {

// The awake GPUs' power figures, by what they cover.
struct GpuPower
{
    std::optional<double> integratedW; // an APU's GPU sensor, which covers the processor package
    std::optional<double> discreteW; // the cards beside the processors
};

// The power of the machine's processors: the package, plus every awake discrete GPU; without a package
// figure, the battery's discharge (the whole machine). RAPL counts energy, so its first call only primes it.
class PowerMeter
{
public:
    // helperSocket: where the system power helper listens; empty asks none.
    explicit PowerMeter(std::filesystem::path helperSocket);
    std::optional<double> sample(
        const SysfsReader &sys, const SensorMap &map, const GpuPower &gpus, orvane::Clock::time_point now);
    void reset()
    {
        lastEnergyUj_.clear();
        helperMissSince_.reset();
        helper_.forget();
        lastHelperW_.reset();
    }
    // A helper listens but has no figure yet: a sample soon will likely get one.
    bool awaitingHelper(orvane::Clock::time_point now) const;

private:
    std::optional<double> package(
        const SysfsReader &sys, const SensorMap &map, const GpuPower &gpus, orvane::Clock::time_point now);
    // readable tells whether every RAPL counter could be read, even when it gives no figure yet.
    std::optional<double> rapl(
        const SysfsReader &sys, const SensorMap &map, orvane::Clock::time_point now, bool &readable);

    std::filesystem::path helperSocket_;
    std::map<std::string, long long> lastEnergyUj_;
    orvane::Clock::time_point lastTime_ {};
    std::optional<orvane::Clock::time_point> helperMissSince_;
    PowerHelperClient helper_;
    std::optional<double> lastHelperW_;
    orvane::Clock::time_point lastHelperAt_ {};
};

} // namespace macmon
