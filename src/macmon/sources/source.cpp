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

} // namespace macmon
