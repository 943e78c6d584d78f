// SPDX-License-Identifier: MIT
// AMD's package power from hwmon: fam15h_power's input per package (its average sleeps through its
// interval when read), zenpower's core and SoC rails.
#include "sources/source.h"
#include "sysfs/hwmon.h"
#include "sysfs/plausible.h"

#include <memory>

namespace macmon {
namespace {

class HwmonPower final : public Source
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        inputs_.clear();
        for (const auto &chip : tree.chips)
            if (chip.name == "fam15h_power" || chip.name == "zenpower")
                for (const auto &p : labelledInputs(sys, chip.dir, "power"))
                    if (chip.name == "fam15h_power" || p.label == "SVI2_P_Core" || p.label == "SVI2_P_SoC")
                        inputs_.push_back(p.file);
    }

    // The sum of the inputs (microwatts); one that cannot be read makes the sum no reading.
    void sample(const SysfsReader &sys, orvane::Clock::time_point, Sample &out) override
    {
        if (inputs_.empty())
            return;
        double watts = 0;
        for (const auto &file : inputs_) {
            const auto uw = integerAt(sys, file, out.outdated);
            if (!uw || *uw < 0)
                return;
            watts += static_cast<double>(*uw) / 1e6;
        }
        if (const auto w = plausibleWatts(watts))
            out.packageW.emplace_back(PowerRank::HwmonRails, *w);
    }

private:
    std::vector<std::string> inputs_;
};

} // namespace

std::unique_ptr<Source> makeHwmonPower(const Roots &)
{
    return std::make_unique<HwmonPower>();
}

} // namespace macmon
