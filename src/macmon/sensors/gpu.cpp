// SPDX-License-Identifier: MIT
#include "sensors/gpu.h"

#include "common/text.h"
#include "sensors/plausible.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

namespace macmon {
namespace {

// Only "active" lets a GPU's files be read: reading one resumes a suspended device on older kernels.
bool awake(const SysfsReader &sys, const GpuDevice &gpu)
{
    if (!gpu.runtimePm)
        return true;
    // An unreadable state (EPERM, EBUSY) counts as asleep too.
    return sys.text(gpu.device + "/power/runtime_status") == "active";
}

std::optional<GpuUsage> amdgpuUsage(const SysfsReader &sys, const GpuFiles &files)
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

std::optional<double> celsiusOf(const SysfsReader &sys, const std::string &file)
{
    if (file.empty())
        return std::nullopt;
    const auto milli = sys.integer(file);
    return milli ? plausibleCelsius(static_cast<double>(*milli) / 1000.0) : std::nullopt;
}

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

GpuSummary combineGpus(const std::vector<GpuReading> &gpus)
{
    GpuSummary summary;
    double sum = 0;
    int count = 0;
    for (const auto &g : gpus) {
        if (g.tempC) {
            sum += *g.tempC;
            ++count;
        }
        // The busiest GPU is the one the user is waiting on; an idle iGPU beside it says nothing.
        if (g.usage && (!summary.usage || g.usage->busy > summary.usage->busy))
            summary.usage = g.usage;
    }
    if (count > 0)
        summary.tempC = sum / count;
    return summary;
}

std::optional<GpuUsage> GpuMeter::intel(
    const SysfsReader &sys, const GpuDevice &gpu, orvane::Clock::time_point now)
{
    const GpuFiles &files = *gpu.files;
    std::optional<long long> rc6, mhz;
    if (!files.rc6.empty() && !files.mhz.empty()) {
        rc6 = sys.integer(files.rc6);
        mhz = sys.integer(files.mhz);
    }
    if (!rc6 || !mhz || !plausibleClock(static_cast<double>(*mhz))) {
        residency_.erase(gpu.card);
        return std::nullopt;
    }
    const Residency current { *rc6, now };
    const auto previous = residency_.find(gpu.card);
    if (previous == residency_.end()) {
        residency_[gpu.card] = current;
        return std::nullopt;
    }
    const Residency before = std::exchange(previous->second, current);
    const double wallMs = std::chrono::duration<double, std::milli>(now - before.time).count();
    // A counter that went backwards was reset (resume from suspend): start again from here.
    if (wallMs <= 0 || *rc6 < before.rc6Ms)
        return std::nullopt;
    const double idle = static_cast<double>(*rc6 - before.rc6Ms) / wallMs;
    return GpuUsage { static_cast<double>(*mhz), std::clamp(1.0 - idle, 0.0, 1.0) };
}

std::vector<GpuReading> GpuMeter::sample(
    const SysfsReader &sys, std::vector<GpuDevice> &gpus, orvane::Clock::time_point now)
{
    std::vector<GpuReading> readings;
    for (auto &gpu : gpus) {
        if (!awake(sys, gpu)) {
            // Its residency counter may restart while it sleeps: the next rate starts from scratch.
            residency_.erase(gpu.card);
            continue;
        }
        if (!gpu.files) {
            // Optional files looked for once are not files that went away.
            const bool vanished = sys.vanished();
            gpu.files = gpuFiles(sys, gpu);
            if (!vanished)
                sys.clearVanished();
        }
        GpuReading r;
        r.integrated = gpu.files->integrated;
        r.tempC = celsiusOf(sys, gpu.files->temp);
        if (!gpu.files->power.empty())
            if (auto uw = sys.integer(gpu.files->power))
                r.powerW = plausibleWatts(static_cast<double>(*uw) / 1e6);
        if (gpu.files->driver == "amdgpu")
            r.usage = amdgpuUsage(sys, *gpu.files);
        else if (gpu.files->driver == "i915")
            r.usage = intel(sys, gpu, now);
        readings.push_back(r);
    }
    return readings;
}

} // namespace macmon
