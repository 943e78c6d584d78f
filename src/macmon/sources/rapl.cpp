// SPDX-License-Identifier: MIT
// The processors' package energy counters (RAPL), read directly where the service may, else through the
// system power helper, which reads them for every user.
#include "common/rapl.h"
#include "sources/powerhelper.h"
#include "sources/source.h"
#include "sysfs/plausible.h"

#include <filesystem>
#include <map>
#include <memory>
#include <utility>

namespace macmon {
namespace {

// A cold helper starts in about a quarter second and has its first figure a window of a second later.
constexpr auto kHelperSettleTime = std::chrono::seconds(3);
// How long the helper's last figure stands in while its next answer is late, as long as a document lives.
constexpr auto kHelperHold = std::chrono::seconds(3);

class Rapl final : public Source
{
public:
    explicit Rapl(const Roots &roots)
        : asksHelper_(!roots.powerSocket.empty())
        , helper_(roots.powerSocket)
    { }

    void discover(const SysfsReader &sys, const Tree &tree) override
    {
        zones_.clear();
        for (const auto &dir : tree.powercap) {
            const auto entry = std::filesystem::path(dir).filename().string();
            if (orvane::rapl::domainNumber(entry)
                && orvane::rapl::isPackage(sys.text(dir + "/name").value_or(""))
                && sys.exists(dir + "/energy_uj"))
                zones_.push_back(dir);
        }
    }

    void sample(const SysfsReader &sys, orvane::Clock::time_point now, Sample &out) override
    {
        bool readable = false;
        if (const auto w = counted(sys, now, readable))
            out.packageW.emplace_back(PowerRank::Rapl, *w);
        // The helper reads RAPL for those who may not; a service that can read it asks nobody.
        else if (!readable && asksHelper_)
            if (const auto w = asked(now))
                out.packageW.emplace_back(PowerRank::Helper, *w);
    }

    void release() override
    {
        lastEnergyUj_.clear();
        helperMissSince_.reset();
        helper_.forget();
        lastHelperW_.reset();
    }

    // A helper that never has a figure (a machine without package counters) is not waited for long.
    bool settling(orvane::Clock::time_point now) const override
    {
        return helperMissSince_ && now - *helperMissSince_ < kHelperSettleTime;
    }

private:
    // readable tells whether every counter could be read, even when it gives no figure yet.
    std::optional<double> counted(const SysfsReader &sys, orvane::Clock::time_point now, bool &readable)
    {
        readable = false;
        std::map<std::string, long long> energy;
        for (const auto &zone : zones_) {
            const auto uj = sys.integer(zone + "/energy_uj");
            if (!uj || *uj < 0) {
                // Root-only on current kernels: an unreadable counter is no reading, not an error.
                lastEnergyUj_.clear();
                return std::nullopt;
            }
            energy[zone] = *uj;
        }
        readable = !energy.empty();
        const auto previous = std::exchange(lastEnergyUj_, energy);
        const auto elapsed = std::chrono::duration<double>(now - std::exchange(lastTime_, now)).count();
        if (energy.empty() || previous.size() != energy.size() || elapsed <= 0)
            return std::nullopt;
        double joules = 0;
        for (const auto &[zone, uj] : energy) {
            const auto before = previous.find(zone);
            if (before == previous.end())
                return std::nullopt;
            // The range is read only when the counter went back, which it rarely does.
            const auto range = uj < before->second ? sys.integer(zone + "/max_energy_range_uj") : 0;
            const auto used = range && *range >= 0
                ? orvane::rapl::consumedUj(static_cast<std::uint64_t>(before->second),
                    static_cast<std::uint64_t>(uj), static_cast<std::uint64_t>(*range))
                : std::nullopt;
            if (!used)
                return std::nullopt;
            joules += static_cast<double>(*used) / 1e6;
        }
        // A counter that stands still is not live (a recorded machine); plausibleWatts drops it with the
        // rest.
        return plausibleWatts(joules / elapsed);
    }

    std::optional<double> asked(orvane::Clock::time_point now)
    {
        const auto answer = helper_.ask();
        if (answer.watts && plausibleWatts(*answer.watts)) {
            helperMissSince_.reset();
            lastHelperW_ = answer.watts;
            lastHelperAt_ = now;
            return answer.watts;
        }
        if (!answer.reached)
            helperMissSince_.reset();
        else if (!helperMissSince_)
            helperMissSince_ = now;
        // A helper kept busy by other clients still owes an answer: its last figure stands for a while.
        if (answer.late && lastHelperW_ && now - lastHelperAt_ <= kHelperHold)
            return lastHelperW_;
        return std::nullopt;
    }

    std::vector<std::string> zones_; // e.g. "class/powercap/intel-rapl:0"
    std::map<std::string, long long> lastEnergyUj_;
    orvane::Clock::time_point lastTime_ {};
    const bool asksHelper_;
    PowerHelperClient helper_;
    std::optional<orvane::Clock::time_point> helperMissSince_;
    std::optional<double> lastHelperW_;
    orvane::Clock::time_point lastHelperAt_ {};
};

} // namespace

std::unique_ptr<Source> makeRapl(const Roots &roots)
{
    return std::make_unique<Rapl>(roots);
}

} // namespace macmon
