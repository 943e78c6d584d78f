// SPDX-License-Identifier: MIT
#include "sources/source.h"

#include "sysfs/hwmon.h"

#include <algorithm>

namespace macmon {

void readRanked(const SysfsReader &sys, std::vector<std::pair<CpuRank, std::string>> &inputs, Sample &out)
{
    const auto byRank = [](const auto &a, const auto &b) {
        return a.first < b.first;
    };
    if (!std::is_sorted(inputs.begin(), inputs.end(), byRank))
        std::stable_sort(inputs.begin(), inputs.end(), byRank);
    // Only the best rank that gives any counts: a worse one is not read at all (a big server's many chips).
    std::optional<CpuRank> best;
    for (const auto &[rank, c] : out.cpuC)
        best = std::min(best.value_or(rank), rank);
    for (const auto &[rank, file] : inputs) {
        if (best && rank > *best)
            break;
        if (const auto c = celsiusAt(sys, file, out.outdated)) {
            out.cpuC.emplace_back(rank, *c);
            best = std::min(best.value_or(rank), rank);
        }
    }
}

void RankedCpuInputs::sample(const SysfsReader &sys, orvane::Clock::time_point, Sample &out)
{
    readRanked(sys, inputs_, out);
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
