// SPDX-License-Identifier: MIT
// The thermal zones that cover the CPU, as device-tree boards (ARM) and some firmware give them.
#include "common/text.h"
#include "sources/source.h"

#include <memory>

namespace macmon {
namespace {

bool isCpuZone(const std::string &type)
{
    const std::string t = orvane::lower(type);
    return t.find("cpu") != std::string::npos || t.find("bigcore") != std::string::npos
        || t.find("littlecore") != std::string::npos;
}

class ThermalZones final : public RankedCpuInputs
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        inputs_.clear();
        for (const auto &zone : tree.zones)
            if (isCpuZone(sys.text(zone + "/type").value_or("")) && sys.exists(zone + "/temp"))
                inputs_.emplace_back(CpuRank::Zones, zone + "/temp");
    }
};

} // namespace

std::unique_ptr<Source> makeThermalZones(const Roots &)
{
    return std::make_unique<ThermalZones>();
}

} // namespace macmon
