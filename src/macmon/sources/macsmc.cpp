// SPDX-License-Identifier: MIT
// Apple Silicon Macs: macsmc_hwmon gives the SMC keys each machine's device tree lists, by their labels. The
// SoC's power is "Heatpipe Power" (PHPC, the SMC's estimate of the heat the SoC gives off), which laptops
// have; else "Total System Power" (PSTR), the whole machine's, used as a battery's draw is elsewhere. The
// lists name no CPU or GPU die temperature today, and a board's (NAND, battery, charger, Wi-Fi) is never
// passed off as one.
#include "sources/source.h"
#include "sysfs/hwmon.h"
#include "sysfs/plausible.h"

#include <memory>

namespace macmon {
namespace {

class Macsmc final : public Source
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        soc_.clear();
        machine_.clear();
        for (const auto &chip : tree.chips) {
            if (chip.name != "macsmc_hwmon")
                continue;
            const auto inputs = labelledInputs(sys, chip.dir, "power");
            soc_ = labelled(inputs, "Heatpipe Power");
            machine_ = labelled(inputs, "Total System Power");
        }
    }

    void sample(const SysfsReader &sys, orvane::Clock::time_point, Sample &out) override
    {
        const std::string &file = soc_.empty() ? machine_ : soc_;
        const auto uw = file.empty() ? std::nullopt : integerAt(sys, file, out.outdated);
        const auto watts = uw ? plausibleWatts(static_cast<double>(*uw) / 1e6) : std::nullopt;
        if (watts && !soc_.empty())
            out.packageW.emplace_back(PowerRank::HwmonRails, *watts);
        else if (watts)
            out.machineW = out.machineW.value_or(0) + *watts;
    }

private:
    std::string soc_, machine_; // the power inputs
};

} // namespace

std::unique_ptr<Source> makeMacsmc(const Roots &)
{
    return std::make_unique<Macsmc>();
}

} // namespace macmon
