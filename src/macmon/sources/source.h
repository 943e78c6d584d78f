// SPDX-License-Identifier: MIT
#pragma once

#include "base/environment.h"
#include "common/clock.h"
#include "sysfs/reader.h"
#include "sysfs/tree.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace macmon {

struct GpuUsage
{
    double frequencyMhz = 0;
    double busy = 0; // fraction 0..1
    bool operator==(const GpuUsage &) const = default;
};

// The readings of one awake GPU, whatever its driver.
struct GpuReading
{
    std::optional<double> tempC;
    std::optional<GpuUsage> usage;
    std::optional<double> powerW; // a card's own, beside the processors; an APU's goes to the package
};

// Which CPU temperature inputs win where several families give some, best first. Tdie is given only where
// Tctl carries an offset; Tccd is per die, so Tctl comes last of Zen's sensors. On boards (ARM, RISC-V): the
// CPU's thermal zones, else inputs a chip labels as the CPU's, else the one sensor of the whole SoC, which on
// such a chip is the processor's temperature.
enum class CpuRank
{
    Cores,
    Tdie,
    Ccds,
    Tctl,
    Unlabelled,
    Packages,
    Zones,
    Labelled,
    SocWide
};
// Which figure of the processors' package power wins, best first.
enum class PowerRank
{
    Rapl,
    Helper,
    HwmonRails,
    ApuGpu
};

// What the families found in one sample; the sensors make the readings of it.
struct Sample
{
    std::vector<std::pair<CpuRank, double>> cpuC; // each plausible input, by rank
    std::vector<GpuReading> gpus;
    std::vector<std::pair<PowerRank, double>> packageW; // by rank; a rank's figures add up
    std::optional<double> machineW; // the battery's discharge: the whole machine, when no package figure
    bool outdated = false; // a known file is gone, or a GPU found asleep is awake: survey again
};

// One family of drivers: it finds its own files in the tree and reads them. Discovery runs only when the
// tree changes, never from a sample.
class Source
{
public:
    virtual ~Source() = default;
    virtual void discover(const SysfsReader &sys, const Tree &tree) = 0;
    virtual void sample(const SysfsReader &sys, orvane::Clock::time_point now, Sample &out) = 0;
    // Lets go of what is held between samples (rates, libraries) before a sleep of unknown length.
    virtual void release() { }
    // About to have its first figure (a helper starting): worth sampling again soon.
    virtual bool settling(orvane::Clock::time_point) const { return false; }
};

// One GPU whose temperature inputs are averaged (a SoC's GPU zones, its labelled inputs); none if none reads.
void addGpuAverage(const SysfsReader &sys, const std::vector<std::string> &files, Sample &out);

// The plausible inputs of the best rank that gives any, this family's or one sampled before it (the families
// are listed best first); the inputs are put in rank order on the way.
void readRanked(const SysfsReader &sys, std::vector<std::pair<CpuRank, std::string>> &inputs, Sample &out);

// A CPU family's sampling: readRanked over the inputs it found.
class RankedCpuInputs : public Source
{
public:
    void sample(const SysfsReader &sys, orvane::Clock::time_point now, Sample &out) override;

protected:
    std::vector<std::pair<CpuRank, std::string>> inputs_;
};

} // namespace macmon
