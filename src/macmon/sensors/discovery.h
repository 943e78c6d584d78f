// SPDX-License-Identifier: MIT
#pragma once

#include "sensors/reader.h"

#include <optional>
#include <string>
#include <vector>

namespace macmon {

// What feeds one GPU's readings; worked out on the first sample that finds the device awake.
struct GpuFiles
{
    std::string driver; // the DRM driver, e.g. "amdgpu"
    std::string temp; // the input that stands for the GPU's temperature
    std::string power; // amdgpu's board power
    bool integrated = false; // an APU's GPU
    std::string busy; // amdgpu's busy percent
    std::string levels; // amdgpu's clock levels (pp_dpm_sclk)
    std::string hertz; // amdgpu's clock in Hz, when it gives no levels
    std::string rc6; // i915's idle residency
    std::string mhz; // i915's actual clock
};

// A GPU on the PCI bus. Nothing below it but its runtime power state is read until that says "active".
struct GpuDevice
{
    std::string card; // e.g. "class/drm/card0"
    std::string device; // e.g. "class/drm/card0/device"
    std::vector<std::string> hwmons; // e.g. "class/hwmon/hwmon2"
    bool runtimePm = false; // whether the device has a runtime power state at all
    std::optional<GpuFiles> files;
};

// Which files feed which reading: found by listing the classes, kept until they change.
struct SensorMap
{
    std::vector<std::vector<std::string>> cpuGroups; // CPU temperature inputs, best group first
    std::vector<std::string> raplZones; // e.g. "class/powercap/intel-rapl:0"
    std::vector<std::string> packagePower; // hwmon inputs in microwatts that sum to the processors' power
    std::vector<std::string> batteries; // the system's own, e.g. "class/power_supply/BAT0"
    std::vector<bool> batteryPowerNow; // per battery: whether it gives power_now (else current x voltage)
    std::vector<GpuDevice> gpus;
    std::vector<std::vector<std::string>> listings; // what each class held when this was made
};

SensorMap discover(const SysfsReader &sys);
// The entries of every class the map depends on; a change means the map is out of date.
std::vector<std::vector<std::string>> classListings(const SysfsReader &sys);
// Reads the files that feed an awake GPU, never its values.
GpuFiles gpuFiles(const SysfsReader &sys, const GpuDevice &gpu);

// True for prefix + digits + suffix (e.g. "temp3_input"); the digits go to number.
bool numbered(const std::string &s, const std::string &prefix, const std::string &suffix,
    std::string *number = nullptr);
bool startsWith(const std::string &s, const std::string &prefix);

} // namespace macmon
