// SPDX-License-Identifier: MIT
// Hwmon chips of SoCs that name what they measure: SCMI firmware's sensors and ESWIN's PVT label the CPU's
// and GPU's inputs ("CPU_B0", "GPU_top", "CPU Core Temperature"); StarFive's sfctemp, Amlogic's SCPI sensors,
// an ADC's iio_hwmon and Ampere's X-Gene "SoC Temperature" measure the whole SoC.
#include "common/text.h"
#include "sources/source.h"
#include "sysfs/hwmon.h"

#include <memory>

namespace macmon {
namespace {

bool isOneOf(const std::string &name, std::initializer_list<const char *> names)
{
    for (const char *n : names)
        if (name == n)
            return true;
    return false;
}

class SocChips final : public RankedCpuInputs
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        inputs_.clear();
        gpu_.clear();
        for (const auto &chip : tree.chips) {
            const bool labelling = isOneOf(chip.name, { "scmi_sensors", "pvt" });
            const bool socWide = isOneOf(chip.name, { "sfctemp", "scpi_sensors", "iio_hwmon" });
            if (!labelling && !socWide && chip.name != "apm_xgene")
                continue;
            for (const auto &t : labelledInputs(sys, chip.dir, "temp")) {
                const std::string label = orvane::lower(t.label);
                if (labelling && label.starts_with("cpu"))
                    inputs_.emplace_back(CpuRank::Labelled, t.file);
                else if (labelling && label.starts_with("gpu"))
                    gpu_.push_back(t.file);
                else if (socWide || (chip.name == "apm_xgene" && label == "soc temperature"))
                    inputs_.emplace_back(CpuRank::SocWide, t.file);
            }
        }
    }

    void sample(const SysfsReader &sys, orvane::Clock::time_point now, Sample &out) override
    {
        RankedCpuInputs::sample(sys, now, out);
        addGpuAverage(sys, gpu_, out);
    }

private:
    std::vector<std::string> gpu_; // one GPU's inputs, averaged
};

} // namespace

std::unique_ptr<Source> makeSocChips(const Roots &)
{
    return std::make_unique<SocChips>();
}

} // namespace macmon
