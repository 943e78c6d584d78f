// SPDX-License-Identifier: MIT
// AMD's own sensors: k10temp (and zenpower, which replaces it) from Zen on, k10temp and k8temp before.
#include "sources/source.h"
#include "sysfs/hwmon.h"

#include <memory>

namespace macmon {
namespace {

class K10temp final : public RankedCpuInputs
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        inputs_.clear();
        for (const auto &chip : tree.chips) {
            if (chip.name != "k10temp" && chip.name != "zenpower" && chip.name != "k8temp")
                continue;
            for (const auto &t : labelledInputs(sys, chip.dir, "temp")) {
                if (t.label == "Tdie")
                    inputs_.emplace_back(CpuRank::Tdie, t.file);
                else if (startsWith(t.label, "Tccd"))
                    inputs_.emplace_back(CpuRank::Ccds, t.file);
                else if (t.label == "Tctl")
                    inputs_.emplace_back(CpuRank::Tctl, t.file);
                else if (t.label.empty()) // k10temp before Zen, and k8temp: the core sensors, unlabelled
                    inputs_.emplace_back(CpuRank::Unlabelled, t.file);
            }
        }
    }
};

} // namespace

std::unique_ptr<Source> makeK10temp(const Roots &)
{
    return std::make_unique<K10temp>();
}

} // namespace macmon
