// SPDX-License-Identifier: MIT
#include "sources/source.h"

#include "sysfs/hwmon.h"

namespace macmon {

void RankedCpuInputs::sample(const SysfsReader &sys, orvane::Clock::time_point, Sample &out)
{
    for (const auto &[rank, file] : inputs_)
        if (const auto c = celsiusAt(sys, file, out.outdated))
            out.cpuC.emplace_back(rank, *c);
}

void addGpuAverage(const SysfsReader &sys, const std::vector<std::string> &files, Sample &out)
{
    double sum = 0;
    int count = 0;
    for (const auto &file : files)
        if (const auto c = celsiusAt(sys, file, out.outdated)) {
            sum += *c;
            ++count;
        }
    if (count > 0)
        out.gpus.push_back({ sum / count, std::nullopt, std::nullopt });
}

} // namespace macmon
