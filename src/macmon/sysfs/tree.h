// SPDX-License-Identifier: MIT
#pragma once

#include "sysfs/reader.h"

#include <string>
#include <vector>

namespace macmon {

// A hwmon folder that belongs to no GPU, with the name of its driver.
struct Chip
{
    std::string dir; // e.g. "class/hwmon/hwmon3"
    std::string name; // e.g. "coretemp"
};

// A GPU on the PCI bus. Nothing below it but its runtime power state is read until that says "active",
// so its driver is known only once it has been seen awake.
struct GpuDevice
{
    std::string card; // e.g. "class/drm/card0"
    std::string device; // e.g. "class/drm/card0/device"
    std::vector<std::string> hwmons; // e.g. "class/hwmon/hwmon2"
    bool runtimePm = false; // whether the device has a runtime power state at all
    bool identified = false; // seen awake, its driver read
    std::string driver; // the DRM driver, e.g. "amdgpu"
};

// The classes the sensors live in, each listed once: the families pick their own from here.
struct Tree
{
    std::vector<Chip> chips;
    std::vector<GpuDevice> gpus;
    std::vector<std::string> zones; // e.g. "class/thermal/thermal_zone0"
    std::vector<std::string> powercap; // e.g. "class/powercap/intel-rapl:0"
    std::vector<std::string> supplies; // e.g. "class/power_supply/BAT0"
    std::vector<std::string> pciDevices; // addresses under bus/pci/devices
    std::vector<std::vector<std::string>> listings; // what each class held when this was made
};

// The entries of every class the tree is made of; a change means the tree is out of date.
std::vector<std::vector<std::string>> classListings(const SysfsReader &sys);
Tree survey(const SysfsReader &sys);
// Only "active" lets a GPU's files be read: reading one resumes a suspended device on older kernels.
bool awake(const SysfsReader &sys, const GpuDevice &gpu);

} // namespace macmon
