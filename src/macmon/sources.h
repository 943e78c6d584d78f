// SPDX-License-Identifier: MIT
#pragma once

#include "reader.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace macmon {

using Clock = std::chrono::steady_clock;

struct GpuUsage
{
    double frequencyMhz = 0;
    double busy = 0; // fraction 0..1
};

// One sample of the machine; an empty member is a reading this machine did not give.
struct Readings
{
    std::optional<std::string> chipName;
    std::optional<double> cpuTempC;
    std::optional<double> gpuTempC;
    std::optional<double> powerW;
    std::optional<GpuUsage> gpuUsage;

    bool hasNumericReading() const { return cpuTempC || gpuTempC || powerW || gpuUsage; }
};

struct Roots
{
    std::filesystem::path sysfs = "/sys";
    std::filesystem::path procfs = "/proc";
};

std::optional<double> cpuTemperature(const SysfsReader &sys);
std::optional<double> gpuTemperature(const SysfsReader &sys);
std::optional<std::string> chipName(const SysfsReader &sys, const SysfsReader &proc);

// Power needs two samples: RAPL counts energy, so the first call only primes it.
class PowerMeter
{
public:
    std::optional<double> sample(const SysfsReader &sys, Clock::time_point now);

private:
    std::optional<double> rapl(const SysfsReader &sys, Clock::time_point now);

    std::map<std::string, long long> lastEnergyUj_;
    Clock::time_point lastTime_ {};
};

// i915 busy time is the change in RC6 (idle) residency, so it too needs two samples.
class GpuUsageMeter
{
public:
    std::optional<GpuUsage> sample(const SysfsReader &sys, Clock::time_point now);

private:
    std::optional<GpuUsage> intel(const SysfsReader &sys, const std::string &card, Clock::time_point now);

    struct Residency
    {
        long long rc6Ms = 0;
        Clock::time_point time {};
    };
    std::map<std::string, Residency> lastResidency_;
};

class Sensors
{
public:
    explicit Sensors(Roots roots);
    Readings sample(Clock::time_point now = Clock::now());

private:
    SysfsReader sys_;
    SysfsReader proc_;
    PowerMeter power_;
    GpuUsageMeter gpu_;
    std::optional<std::string> chip_;
};

} // namespace macmon
