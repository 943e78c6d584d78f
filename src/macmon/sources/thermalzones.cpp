// SPDX-License-Identifier: MIT
// The thermal zones of device-tree boards (ARM, RISC-V) and some firmware: the CPU's, averaged over every
// one (clusters, big and little cores), the GPU's, and the SoC's as a whole. A zone is known by its type,
// which each SoC's device tree names ("cpu-thermal", "bigcore0_thermal", "gpuss1", "soc-thermal").
#include "common/text.h"
#include "sources/source.h"
#include "sysfs/hwmon.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

namespace macmon {
namespace {

enum class Covers
{
    Cpu,
    Gpu,
    Soc,
    Other
};

// Lower case without '-' and '_', so "little_core", "littlecore" and "CPU-therm" read alike.
std::string folded(const std::string &type)
{
    std::string t = orvane::lower(type);
    std::erase_if(t, [](char c) { return c == '-' || c == '_'; });
    return t;
}

Covers covers(const std::string &type)
{
    const std::string t = folded(type);
    // ARM's core names, as Amlogic's zones are typed ("a53_thermal").
    constexpr std::array cores { "a53", "a55", "a57", "a72", "a73", "a75", "a76", "a77", "a78" };
    if (t.find("cpu") != std::string::npos || t.starts_with("cluster")
        || t.find("bigcore") != std::string::npos || t.find("littlecore") != std::string::npos
        || std::any_of(cores.begin(), cores.end(), [&](std::string_view c) { return t.starts_with(c); }))
        return Covers::Cpu;
    if (t.starts_with("gpu"))
        return Covers::Gpu;
    return t.starts_with("soc") ? Covers::Soc : Covers::Other;
}

class ThermalZones final : public Source
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        cpu_.clear();
        gpu_.clear();
        for (const auto &zone : tree.zones) {
            const Covers what = covers(sys.text(zone + "/type").value_or(""));
            if (what == Covers::Other || !sys.exists(zone + "/temp"))
                continue;
            if (what == Covers::Gpu)
                gpu_.push_back(zone + "/temp");
            else
                cpu_.emplace_back(what == Covers::Cpu ? CpuRank::Zones : CpuRank::SocWide, zone + "/temp");
        }
    }

    void sample(const SysfsReader &sys, orvane::Clock::time_point, Sample &out) override
    {
        readRanked(sys, cpu_, out);
        // The GPU's zones are one GPU.
        addGpuAverage(sys, gpu_, out);
    }

private:
    std::vector<std::pair<CpuRank, std::string>> cpu_;
    std::vector<std::string> gpu_;
};

} // namespace

std::unique_ptr<Source> makeThermalZones(const Roots &)
{
    return std::make_unique<ThermalZones>();
}

} // namespace macmon
