// SPDX-License-Identifier: MIT
// The processors' own power from hwmon: fam15h_power's per package (its input on the models that have one,
// else its average, whose read sleeps through one averaging interval: read here, on the sampler's thread),
// zenpower's core and SoC rails, and Ampere's X-Gene "CPU power".
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
        for (const auto &chip : tree.chips) {
            if (chip.name == "fam15h_power") {
                const auto file
                    = firstThere(sys, { chip.dir + "/power1_input", chip.dir + "/power1_average" });
                if (!file.empty())
                    inputs_.push_back(file);
            }
            if (chip.name != "zenpower" && chip.name != "apm_xgene")
                continue;
            for (const auto &p : labelledInputs(sys, chip.dir, "power"))
                if ((chip.name == "zenpower" && (p.label == "SVI2_P_Core" || p.label == "SVI2_P_SoC"))
                    || (chip.name == "apm_xgene" && p.label == "CPU power"))
                    inputs_.push_back(p.file);
        }
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
