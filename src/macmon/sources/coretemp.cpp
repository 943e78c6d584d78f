// SPDX-License-Identifier: MIT
// Intel's coretemp: one input per core, and the package's.
#include "sources/source.h"
#include "sysfs/hwmon.h"

#include <memory>

namespace macmon {
namespace {

class Coretemp final : public RankedCpuInputs
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        inputs_.clear();
        for (const auto &chip : tree.chips) {
            if (chip.name != "coretemp")
                continue;
            for (const auto &t : labelledInputs(sys, chip.dir, "temp")) {
                if (startsWith(t.label, "Core "))
                    inputs_.emplace_back(CpuRank::Cores, t.file);
                else if (startsWith(t.label, "Package id"))
                    inputs_.emplace_back(CpuRank::Packages, t.file);
            }
        }
    }
};

} // namespace

std::unique_ptr<Source> makeCoretemp(const Roots &)
{
    return std::make_unique<Coretemp>();
}

} // namespace macmon
