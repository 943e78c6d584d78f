// SPDX-License-Identifier: MIT
// VIA's and Zhaoxin's processors: via_cputemp gives one chip per core, its input labelled "Core N".
#include "sources/source.h"
#include "sysfs/hwmon.h"

#include <memory>

namespace macmon {
namespace {

class ViaCputemp final : public RankedCpuInputs
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        inputs_.clear();
        for (const auto &chip : tree.chips)
            if (chip.name == "via_cputemp")
                for (const auto &t : labelledInputs(sys, chip.dir, "temp"))
                    if (startsWith(t.label, "Core "))
                        inputs_.emplace_back(CpuRank::Cores, t.file);
    }
};

} // namespace

std::unique_ptr<Source> makeViaCputemp(const Roots &)
{
    return std::make_unique<ViaCputemp>();
}

} // namespace macmon
