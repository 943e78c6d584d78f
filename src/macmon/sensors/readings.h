// SPDX-License-Identifier: MIT
#pragma once

#include "base/environment.h"
#include "common/clock.h"
#include "sources/source.h"
#include "sysfs/reader.h"
#include "sysfs/tree.h"

#include <memory>
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

// The readings the families' figures make: the best-ranked CPU inputs averaged, the GPUs' temperatures
// averaged and the busiest one's usage, the best-ranked package power plus the cards', else the battery's.
Readings combine(const Sample &sample);
std::optional<std::string> chipName(const SysfsReader &sys, const SysfsReader &proc);

class Sensors
{
public:
    explicit Sensors(Roots roots, SysfsReader::Observer observer = {});
    Readings sample(orvane::Clock::time_point now = orvane::Clock::now());
    // Lets go of what is held between samples; called before a sleep of unknown length.
    void release();
    // A source is about to have its first figure (a power helper starting): worth sampling again soon.
    bool settling(orvane::Clock::time_point now) const;

private:
    void discover();
    Sample collect(orvane::Clock::time_point now);

    SysfsReader sys_;
    SysfsReader proc_;
    std::vector<std::unique_ptr<Source>> families_;
    std::optional<Tree> tree_;
    orvane::Clock::time_point checked_ {};
    std::optional<std::string> chip_;
};

} // namespace macmon
