// SPDX-License-Identifier: MIT
// The system's batteries: while discharging, their draw is the whole machine's power, served where the
// processors give no figure of their own.
#include "sources/source.h"
#include "sysfs/plausible.h"

#include <cmath>
#include <memory>

namespace macmon {
namespace {

class Battery final : public Source
{
public:
    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        batteries_.clear();
        for (const auto &dir : tree.supplies) {
            // A wireless mouse's battery has scope "Device"; only the system's own counts.
            if (sys.text(dir + "/type") != "Battery" || sys.text(dir + "/scope") == "Device"
                || !sys.exists(dir + "/status"))
                continue;
            const bool powerNow = sys.exists(dir + "/power_now");
            if (powerNow || (sys.exists(dir + "/current_now") && sys.exists(dir + "/voltage_now")))
                batteries_.push_back({ dir, powerNow });
        }
    }

    void sample(const SysfsReader &sys, orvane::Clock::time_point, Sample &out) override
    {
        for (const auto &[dir, powerNow] : batteries_) {
            if (sys.text(dir + "/status") != "Discharging")
                continue;
            std::optional<double> watts;
            if (powerNow) {
                if (auto uw = sys.integer(dir + "/power_now"))
                    watts = std::abs(static_cast<double>(*uw)) / 1e6;
            } else {
                const auto ua = sys.integer(dir + "/current_now");
                const auto uv = sys.integer(dir + "/voltage_now");
                if (ua && uv)
                    watts = std::abs(static_cast<double>(*ua) * static_cast<double>(*uv)) / 1e12;
            }
            if (watts && plausibleWatts(*watts))
                out.machineW = out.machineW.value_or(0) + *watts;
        }
    }

private:
    struct Supply
    {
        std::string dir; // e.g. "class/power_supply/BAT0"
        bool powerNow = false; // it gives power_now, else current times voltage
    };
    std::vector<Supply> batteries_;
};

} // namespace

std::unique_ptr<Source> makeBattery(const Roots &)
{
    return std::make_unique<Battery>();
}

} // namespace macmon
