// SPDX-License-Identifier: MIT
// AMD's GPUs from GCN on: temperature, board power, load and clock. An APU's power covers the package.
#include "sources/amdgpu.h"

#include "common/text.h"
#include "sources/gpufamily.h"
#include "sysfs/hwmon.h"
#include "sysfs/plausible.h"

#include <algorithm>
#include <charconv>
#include <memory>

namespace macmon {
namespace {

struct AmdgpuFiles
{
    std::string temp; // the edge input
    std::string power; // the board's power
    bool integrated = false; // an APU's GPU
    std::string busy; // busy percent
    std::string levels; // clock levels (pp_dpm_sclk)
    std::string hertz; // the clock in Hz, when it gives no levels
};

std::optional<GpuUsage> amdgpuUsage(const SysfsReader &sys, const AmdgpuFiles &files)
{
    if (files.busy.empty())
        return std::nullopt;
    const auto percent = sys.integer(files.busy);
    if (!percent || *percent < 0 || *percent > 100)
        return std::nullopt;
    std::optional<double> mhz;
    if (!files.levels.empty()) {
        if (auto levels = sys.raw(files.levels))
            mhz = parseCurrentClock(*levels);
    } else if (!files.hertz.empty()) {
        if (auto hz = sys.integer(files.hertz))
            mhz = static_cast<double>(*hz) / 1e6;
    }
    if (!mhz || !plausibleClock(*mhz))
        return std::nullopt;
    return GpuUsage { *mhz, static_cast<double>(*percent) / 100.0 };
}

class Amdgpu final : public GpuFamily<AmdgpuFiles>
{
    bool owns(const std::string &driver) const override { return driver == "amdgpu"; }

    AmdgpuFiles find(const SysfsReader &sys, const GpuDevice &gpu) const override
    {
        AmdgpuFiles files;
        for (const auto &dir : gpu.hwmons) {
            if (sys.text(dir + "/name") != "amdgpu")
                continue;
            files.temp = labelled(labelledInputs(sys, dir, "temp"), "edge");
            // Newer kernels give power1_input on some boards instead of the average.
            files.power = firstThere(sys, { dir + "/power1_average", dir + "/power1_input" });
            files.hertz = firstThere(sys, { dir + "/freq1_input" });
            // The kernel shows the northbridge voltage (in1, "vddnb") on APUs only, never on a card.
            files.integrated = sys.exists(dir + "/in1_input");
        }
        files.busy = firstThere(sys, { gpu.device + "/gpu_busy_percent" });
        files.levels = firstThere(sys, { gpu.device + "/pp_dpm_sclk" });
        return files;
    }

    GpuReading read(
        const SysfsReader &sys, const Device &device, orvane::Clock::time_point, Sample &out) override
    {
        const AmdgpuFiles &files = device.files;
        GpuReading r;
        if (!files.temp.empty())
            r.tempC = celsiusAt(sys, files.temp, out.outdated);
        if (!files.power.empty())
            if (const auto uw = sys.integer(files.power))
                if (const auto w = plausibleWatts(static_cast<double>(*uw) / 1e6)) {
                    if (files.integrated)
                        out.packageW.emplace_back(PowerRank::ApuGpu, *w);
                    else
                        r.powerW = w;
                }
        r.usage = amdgpuUsage(sys, files);
        return r;
    }
};

} // namespace

std::optional<double> parseCurrentClock(const std::string &levels)
{
    std::size_t start = 0;
    while (start < levels.size()) {
        std::size_t end = levels.find('\n', start);
        if (end == std::string::npos)
            end = levels.size();
        const std::string line = orvane::trim(levels.substr(start, end - start));
        start = end + 1;
        if (!line.ends_with('*'))
            continue;
        // The first line marked current decides: "1: 1800Mhz *", or "S: 19Mhz *" in deep sleep; a malformed
        // one gives no clock rather than a guess.
        const auto colon = line.find(':');
        const std::string index = line.substr(0, colon);
        if (colon == std::string::npos || index.empty()
            || (index != "S"
                && !std::all_of(index.begin(), index.end(), [](char c) { return c >= '0' && c <= '9'; })))
            return std::nullopt;
        const std::string level = line.substr(colon + 1, line.size() - colon - 2);
        const auto from = level.find_first_not_of(" \t"), to = level.find_last_not_of(" \t") + 1;
        long long mhz = 0;
        const auto [rest, ec] = std::from_chars(level.data() + std::min(from, to), level.data() + to, mhz);
        if (ec != std::errc()
            || orvane::lower(std::string_view(rest, static_cast<std::size_t>(level.data() + to - rest)))
                != "mhz")
            return std::nullopt;
        const auto value = static_cast<double>(mhz);
        return plausibleClock(value) ? std::optional(value) : std::nullopt;
    }
    return std::nullopt;
}

std::unique_ptr<Source> makeAmdgpu(const Roots &)
{
    return std::make_unique<Amdgpu>();
}

} // namespace macmon
