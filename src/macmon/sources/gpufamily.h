// SPDX-License-Identifier: MIT
#pragma once

#include "sources/source.h"

#include <string>
#include <vector>

namespace macmon {

// A GPU family: the devices of its drivers, whose files it looks up while they are awake at discovery and
// reads only while they are awake.
template<class Files> class GpuFamily : public Source
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) final
    {
        devices_.clear();
        for (const auto &gpu : tree.gpus)
            if (gpu.identified && owns(gpu.driver))
                devices_.push_back({ gpu, find(sys, gpu) });
    }

    void sample(const SysfsReader &sys, orvane::Clock::time_point now, Sample &out) final
    {
        for (const auto &device : devices_) {
            if (awake(sys, device.gpu))
                out.gpus.push_back(read(sys, device, now, out));
            else
                asleep(device);
        }
    }

protected:
    struct Device
    {
        GpuDevice gpu;
        Files files;
    };

    virtual bool owns(const std::string &driver) const = 0;
    virtual Files find(const SysfsReader &sys, const GpuDevice &gpu) const = 0;
    virtual GpuReading read(
        const SysfsReader &sys, const Device &device, orvane::Clock::time_point now, Sample &out)
        = 0;
    virtual void asleep(const Device &) { }

private:
    std::vector<Device> devices_;
};

} // namespace macmon
