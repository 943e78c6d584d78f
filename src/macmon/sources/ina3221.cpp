// SPDX-License-Identifier: MIT
// NVIDIA Jetson modules' INA3221 power monitors: three channels, each a rail the device tree labels, its bus
// voltage (mV) and current (mA). The SoC's rails (CPU, GPU, SoC, CV) add up to the processors' power; without
// them, the module's input (VDD_IN) is the whole module's, used as a battery's draw is elsewhere.
#include "common/text.h"
#include "sources/source.h"
#include "sysfs/hwmon.h"
#include "sysfs/plausible.h"

#include <array>
#include <memory>
#include <string_view>

namespace macmon {
namespace {

enum class Rail
{
    Soc,
    Input,
    Other
};

Rail railOf(const std::string &label)
{
    const std::string l = orvane::lower(label);
    if (l.ends_with("_in") || l == "in")
        return Rail::Input;
    constexpr std::array soc { "cpu", "gpu", "soc", "cv" };
    for (std::string_view part : soc)
        if (l.find(part) != std::string::npos)
            return Rail::Soc;
    return Rail::Other;
}

class Ina3221 final : public Source
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        soc_.clear();
        input_.clear();
        for (const auto &chip : tree.chips) {
            if (chip.name != "ina3221")
                continue;
            for (int n = 1; n <= 3; ++n) {
                const std::string channel = std::to_string(n);
                const Channel c { chip.dir + "/in" + channel + "_input",
                    chip.dir + "/curr" + channel + "_input" };
                const Rail rail = railOf(sys.text(chip.dir + "/in" + channel + "_label").value_or(""));
                if (rail != Rail::Other && sys.exists(c.millivolts) && sys.exists(c.milliamps))
                    (rail == Rail::Soc ? soc_ : input_).push_back(c);
            }
        }
    }

    void sample(const SysfsReader &sys, orvane::Clock::time_point, Sample &out) override
    {
        if (!soc_.empty()) {
            if (const auto w = sum(sys, soc_, out))
                out.packageW.emplace_back(PowerRank::HwmonRails, *w);
        } else if (const auto w = sum(sys, input_, out)) {
            out.machineW = out.machineW.value_or(0) + *w;
        }
    }

private:
    struct Channel
    {
        std::string millivolts, milliamps;
    };

    // Every channel's volts times amps; one that cannot be read makes no sum.
    static std::optional<double> sum(
        const SysfsReader &sys, const std::vector<Channel> &channels, Sample &out)
    {
        if (channels.empty())
            return std::nullopt;
        double watts = 0;
        for (const auto &c : channels) {
            const auto mv = integerAt(sys, c.millivolts, out.outdated);
            const auto ma = integerAt(sys, c.milliamps, out.outdated);
            if (!mv || !ma || *mv < 0 || *ma < 0)
                return std::nullopt;
            watts += static_cast<double>(*mv) * static_cast<double>(*ma) / 1e6;
        }
        return plausibleWatts(watts);
    }

    std::vector<Channel> soc_, input_;
};

} // namespace

std::unique_ptr<Source> makeIna3221(const Roots &)
{
    return std::make_unique<Ina3221>();
}

} // namespace macmon
