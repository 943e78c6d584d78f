// SPDX-License-Identifier: MIT
#pragma once

#include "sources/source.h"
#include "sysfs/reader.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace macmon {

// PCI addresses (e.g. "0000:01:00.0") of the NVIDIA display devices under bus/pci/devices.
std::vector<std::string> nvidiaDevices(const SysfsReader &sys);

// NVIDIA GPUs through NVML, loaded at run time; a device that is not awake is never touched.
class NvidiaGpus
{
public:
    static constexpr const char *kLibrary = "libnvidia-ml.so.1";
    // How long a sample waits for NVML; a slower answer is left out, never waited for.
    static constexpr std::chrono::milliseconds kCallBudget { 150 };

    explicit NvidiaGpus(std::string library = kLibrary, std::chrono::milliseconds budget = kCallBudget);
    ~NvidiaGpus();
    NvidiaGpus(const NvidiaGpus &) = delete;
    NvidiaGpus &operator=(const NvidiaGpus &) = delete;

    // Lists the NVIDIA display devices again; called when the PCI devices change.
    void discover(const SysfsReader &sys);
    // Reads the awake devices of the last discovery.
    std::vector<GpuReading> sample(const SysfsReader &sys);
    // Shuts NVML down and unloads it; the next sample that needs it loads it again.
    void release();

private:
    class Worker;

    std::string library_;
    std::chrono::milliseconds budget_;
    std::vector<std::string> devices_;
    bool mayHold_ = false; // NVML may still be initialised
    std::unique_ptr<Worker> worker_;
};

} // namespace macmon
