// SPDX-License-Identifier: MIT
#pragma once

#include "base/environment.h"
#include "common/clock.h"
#include "sensors/discovery.h"
#include "sensors/gpu.h"
#include "sensors/nvidia.h"
#include "sensors/power.h"
#include "sensors/reader.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace macmon {

// One sample of the machine; an empty member is a reading this machine did not give.
struct Readings
{
    std::optional<std::string> chipName;
    std::optional<double> cpuTempC;
    std::optional<double> gpuTempC;
    std::optional<double> socPowerW; // the processors' package, "sys_power" on the wire
    std::optional<GpuUsage> gpuUsage;

    bool hasNumericReading() const { return cpuTempC || gpuTempC || socPowerW || gpuUsage; }
};

// The average of the plausible inputs of the first group that gives any.
std::optional<double> cpuTemperature(
    const SysfsReader &sys, const std::vector<std::vector<std::string>> &groups);
std::optional<std::string> chipName(const SysfsReader &sys, const SysfsReader &proc);

class Sensors
{
public:
    explicit Sensors(Roots roots, SysfsReader::Observer observer = {});
    Readings sample(orvane::Clock::time_point now = orvane::Clock::now());
    // Lets go of what is held between samples; called before a sleep of unknown length.
    void release();
    // A source is about to have its first figure (a power helper starting): worth sampling again soon.
    bool settling(orvane::Clock::time_point now) const { return power_.awaitingHelper(now); }

private:
    Readings read(orvane::Clock::time_point now);

    SysfsReader sys_;
    SysfsReader proc_;
    std::optional<SensorMap> map_;
    orvane::Clock::time_point checked_ {};
    PowerMeter power_;
    GpuMeter gpu_;
    NvidiaGpus nvidia_;
    std::optional<std::string> chip_;
};

} // namespace macmon
