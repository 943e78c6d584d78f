// SPDX-License-Identifier: MIT
// Intel's GPUs: i915 and xe give a temperature; i915's load is a rate of its idle (RC6) residency.
#include "sources/gpufamily.h"
#include "sysfs/hwmon.h"
#include "sysfs/plausible.h"

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

namespace macmon {
namespace {

struct IntelFiles
{
    std::string temp; // the package input, else the first
    std::string rc6; // i915's idle residency in ms
    std::string mhz; // i915's actual clock
};

class IntelGpu final : public GpuFamily<IntelFiles>
{
public:
    // Forgets the baselines: a device may have been reset during a sleep.
    void release() override { residency_.clear(); }

private:
    struct Residency
    {
        long long rc6Ms = 0;
        orvane::Clock::time_point time {};
    };

    bool owns(const std::string &driver) const override { return driver == "i915" || driver == "xe"; }

    IntelFiles find(const SysfsReader &sys, const GpuDevice &gpu) const override
    {
        IntelFiles files;
        for (const auto &dir : gpu.hwmons) {
            const auto name = sys.text(dir + "/name");
            const auto inputs = labelledInputs(sys, dir, "temp");
            if ((name == "i915" || name == "xe") && !inputs.empty()) {
                files.temp = labelled(inputs, "pkg");
                if (files.temp.empty())
                    files.temp = inputs.front().file;
            }
        }
        if (gpu.driver == "i915") {
            files.rc6 = firstThere(
                sys, { gpu.card + "/gt/gt0/rc6_residency_ms", gpu.card + "/power/rc6_residency_ms" });
            files.mhz
                = firstThere(sys, { gpu.card + "/gt_act_freq_mhz", gpu.card + "/gt/gt0/rps_act_freq_mhz" });
        }
        return files;
    }

    GpuReading read(
        const SysfsReader &sys, const Device &device, orvane::Clock::time_point now, Sample &out) override
    {
        GpuReading r;
        if (!device.files.temp.empty())
            r.tempC = celsiusAt(sys, device.files.temp, out.outdated);
        r.usage = usage(sys, device, now);
        return r;
    }

    // Its residency counter may restart while it sleeps: the next rate starts from scratch.
    void asleep(const Device &device) override { residency_.erase(device.gpu.card); }

    std::optional<GpuUsage> usage(const SysfsReader &sys, const Device &device, orvane::Clock::time_point now)
    {
        const IntelFiles &files = device.files;
        const std::string &card = device.gpu.card;
        std::optional<long long> rc6, mhz;
        if (!files.rc6.empty() && !files.mhz.empty()) {
            rc6 = sys.integer(files.rc6);
            mhz = sys.integer(files.mhz);
        }
        if (!rc6 || !mhz || !plausibleClock(static_cast<double>(*mhz))) {
            residency_.erase(card);
            return std::nullopt;
        }
        const Residency current { *rc6, now };
        const auto previous = residency_.find(card);
        if (previous == residency_.end()) {
            residency_[card] = current;
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

    std::map<std::string, Residency> residency_;
};

} // namespace

std::unique_ptr<Source> makeIntelGpu(const Roots &)
{
    return std::make_unique<IntelGpu>();
}

} // namespace macmon
