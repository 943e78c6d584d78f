// SPDX-License-Identifier: MIT
// GPUs that give a temperature and nothing else we read: radeon (before GCN) and nouveau.
#include "sources/gpufamily.h"
#include "sysfs/hwmon.h"

#include <memory>

namespace macmon {
namespace {

class GpuTemperature final : public GpuFamily<std::string>
{
    bool owns(const std::string &driver) const override { return driver == "radeon" || driver == "nouveau"; }

    std::string find(const SysfsReader &sys, const GpuDevice &gpu) const override
    {
        for (const auto &dir : gpu.hwmons) {
            const auto name = sys.text(dir + "/name");
            const auto inputs = labelledInputs(sys, dir, "temp");
            if ((name == "radeon" || name == "nouveau") && !inputs.empty())
                return inputs.front().file;
        }
        return {};
    }

    GpuReading read(
        const SysfsReader &sys, const Device &device, orvane::Clock::time_point, Sample &out) override
    {
        GpuReading r;
        if (!device.files.empty())
            r.tempC = celsiusAt(sys, device.files, out.outdated);
        return r;
    }
};

} // namespace

std::unique_ptr<Source> makeGpuTemperature(const Roots &)
{
    return std::make_unique<GpuTemperature>();
}

} // namespace macmon
