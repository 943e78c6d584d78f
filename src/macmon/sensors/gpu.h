// SPDX-License-Identifier: MIT
#pragma once

#include "common/clock.h"
#include "sensors/discovery.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace macmon {

struct GpuUsage
{
    double frequencyMhz = 0;
    double busy = 0; // fraction 0..1
    bool operator==(const GpuUsage &) const = default;
};

// The readings of one awake GPU, whatever its driver.
struct GpuReading
{
    std::optional<double> tempC;
    std::optional<GpuUsage> usage;
    std::optional<double> powerW; // amdgpu's board power, NVIDIA's through NVML
    bool integrated = false; // an APU's GPU, whose power figure covers the processor package
};

struct GpuSummary
{
    std::optional<double> tempC; // the average over the GPUs that gave one
    std::optional<GpuUsage> usage; // the busiest GPU that gave both clock and load
};

GpuSummary combineGpus(const std::vector<GpuReading> &gpus);

// The current level of amdgpu's pp_dpm_sclk ("1: 1800Mhz *"), within the plausible clock range.
std::optional<double> parseCurrentClock(const std::string &levels);

// Reads every awake GPU; keeps i915's idle residency between samples, as its load is a rate.
class GpuMeter
{
public:
    std::vector<GpuReading> sample(
        const SysfsReader &sys, std::vector<GpuDevice> &gpus, orvane::Clock::time_point now);
    // Forgets the baselines, e.g. after a sleep during which a device may have been reset.
    void reset() { residency_.clear(); }

private:
    std::optional<GpuUsage> intel(
        const SysfsReader &sys, const GpuDevice &gpu, orvane::Clock::time_point now);

    struct Residency
    {
        long long rc6Ms = 0;
        orvane::Clock::time_point time {};
    };
    std::map<std::string, Residency> residency_;
};

} // namespace macmon
