// SPDX-License-Identifier: MIT
#include "sensors/readings.h"

#include "common/text.h"
#include "sources/families.h"
#include "sysfs/plausible.h"

#include <algorithm>
#include <utility>

namespace macmon {
namespace {

constexpr std::size_t kCpuinfoBytes = 64 * 1024;
// New chips are looked for this often; a vanished file makes the same sample look again at once.
constexpr std::chrono::seconds kRecheck { 30 };

// A reader that fails in a way nobody foresaw loses its reading, not the service.
template<class F> auto guarded(F read) -> decltype(read())
{
    try {
        return read();
    } catch (const std::exception &) {
        return {};
    }
}

// The sum, or the average, of the figures of the best rank that gives any.
template<class Rank>
std::optional<double> best(const std::vector<std::pair<Rank, double>> &figures, bool average)
{
    if (figures.empty())
        return std::nullopt;
    const Rank rank = std::min_element(figures.begin(), figures.end())->first;
    double sum = 0;
    int count = 0;
    for (const auto &[r, value] : figures)
        if (r == rank) {
            sum += value;
            ++count;
        }
    return average ? sum / count : sum;
}

} // namespace

Readings combine(const Sample &sample)
{
    Readings r;
    r.cpuTempC = best(sample.cpuC, true);
    double gpuSum = 0;
    int gpuCount = 0;
    std::optional<double> cardsW;
    for (const auto &g : sample.gpus) {
        if (g.tempC) {
            gpuSum += *g.tempC;
            ++gpuCount;
        }
        // The busiest GPU is the one the user is waiting on; an idle iGPU beside it says nothing.
        if (g.usage && (!r.gpuUsage || g.usage->busy > r.gpuUsage->busy))
            r.gpuUsage = g.usage;
        if (g.powerW)
            cardsW = cardsW.value_or(0) + *g.powerW;
    }
    if (gpuCount > 0)
        r.gpuTempC = gpuSum / gpuCount;
    // A card's figure only adds to a package's: alone it is not the processors' power.
    if (const auto package = best(sample.packageW, false))
        r.socPowerW = plausibleWatts(*package + cardsW.value_or(0));
    else
        r.socPowerW = sample.machineW;
    return r;
}

std::optional<std::string> chipName(const SysfsReader &sys, const SysfsReader &proc)
{
    // Device-tree boards (ARM) name the board there; cpuinfo's "model name" is only the core type.
    for (const auto &[reader, file] :
        { std::pair { &sys, "firmware/devicetree/base/model" }, std::pair { &proc, "device-tree/model" } }) {
        if (auto model = reader->raw(file)) {
            const std::string name = orvane::trim(*model);
            if (!name.empty())
                return name;
        }
    }
    const auto cpuinfo = proc.raw("cpuinfo", kCpuinfoBytes);
    if (!cpuinfo)
        return std::nullopt;
    const auto name = orvane::lineValue(*cpuinfo, "model name", ':');
    return name && !name->empty() ? name : std::nullopt;
}

Sensors::Sensors(Roots roots, SysfsReader::Observer observer)
    : sys_(roots.sysfs, std::move(observer))
    , proc_(roots.procfs)
    , families_(makeFamilies(roots))
{ }

void Sensors::release()
{
    // A rate across a sleep of unknown length would be an average over the sleep, not a reading.
    for (auto &family : families_)
        family->release();
}

bool Sensors::settling(orvane::Clock::time_point now) const
{
    return std::any_of(families_.begin(), families_.end(), [&](const auto &f) { return f->settling(now); });
}

void Sensors::discover()
{
    tree_ = guarded([&] { return survey(sys_); });
    for (auto &family : families_)
        guarded([&] { return family->discover(sys_, *tree_), true; });
}

Sample Sensors::collect(orvane::Clock::time_point now)
{
    Sample sample;
    for (auto &family : families_)
        guarded([&] { return family->sample(sys_, now, sample), true; });
    // A GPU asleep at the survey was not looked into: awake now, it is.
    for (const auto &gpu : tree_->gpus)
        if (!gpu.identified && awake(sys_, gpu))
            sample.outdated = true;
    return sample;
}

Readings Sensors::sample(orvane::Clock::time_point now)
{
    // Reading cpuinfo makes the kernel query every core's clock, so the name is read until found, then kept.
    if (!chip_)
        chip_ = guarded([&] { return chipName(sys_, proc_); });
    bool fresh = false;
    if (!tree_ || now - checked_ >= kRecheck) {
        if (!tree_ || guarded([&] { return classListings(sys_); }) != tree_->listings) {
            discover();
            fresh = true;
        }
        checked_ = now;
    }
    Sample s = collect(now);
    // What the families know is out of date: survey again and read again at once.
    if (s.outdated && !fresh) {
        discover();
        checked_ = now;
        s = collect(now);
    }
    Readings r = combine(s);
    r.chipName = chip_;
    return r;
}

} // namespace macmon
