// SPDX-License-Identifier: MIT
#include "sysfs/tree.h"

#include "common/text.h"
#include "sysfs/hwmon.h"

#include <algorithm>
#include <array>
#include <filesystem>

namespace macmon {
namespace {

constexpr std::array kClasses { "class/hwmon", "class/thermal", "class/powercap", "class/drm",
    "class/power_supply", "bus/pci/devices" };
enum Class
{
    Hwmon,
    Thermal,
    Powercap,
    Drm,
    PowerSupply,
    Pci
};

std::vector<std::string> under(
    const std::string &dir, const std::vector<std::string> &entries, const std::string &prefix = "")
{
    std::vector<std::string> paths;
    for (const auto &entry : entries)
        if (startsWith(entry, prefix))
            paths.push_back(dir + "/" + entry);
    return paths;
}

std::vector<GpuDevice> findGpus(const SysfsReader &sys, const std::vector<std::string> &drmEntries)
{
    std::vector<GpuDevice> gpus;
    for (const auto &entry : drmEntries) {
        const std::string card = "class/drm/" + entry;
        if (!numbered(entry, "card", "") || sys.canonical(card + "/device").empty())
            continue;
        GpuDevice gpu { card, card + "/device", {}, sys.exists(card + "/device/power/runtime_status"), false,
            {} };
        if (awake(sys, gpu)) {
            gpu.identified = true;
            gpu.driver
                = orvane::lineValue(sys.raw(gpu.device + "/uevent").value_or(""), "DRIVER", '=').value_or("");
        }
        gpus.push_back(std::move(gpu));
    }
    return gpus;
}

// The PCI device a hwmon folder belongs to, e.g. ".../0000:0c:00.0" for ".../0000:0c:00.0/hwmon/hwmon2".
std::filesystem::path owner(const SysfsReader &sys, const std::string &hwmon)
{
    const auto resolved = sys.canonical(hwmon);
    return resolved.empty() ? resolved : resolved.parent_path().parent_path();
}

// A GPU's own chips go to its device, read once it is awake: even a chip's name is a file of the device.
void findChips(const SysfsReader &sys, const std::vector<std::string> &hwmonEntries, Tree &tree)
{
    std::vector<std::filesystem::path> gpuIds;
    for (const auto &gpu : tree.gpus)
        gpuIds.push_back(sys.canonical(gpu.device));
    for (const auto &entry : hwmonEntries) {
        const std::string dir = "class/hwmon/" + entry;
        const auto gpu
            = gpuIds.empty() ? gpuIds.end() : std::find(gpuIds.begin(), gpuIds.end(), owner(sys, dir));
        if (gpu != gpuIds.end())
            tree.gpus[static_cast<std::size_t>(gpu - gpuIds.begin())].hwmons.push_back(dir);
        else
            tree.chips.push_back({ dir, sys.text(dir + "/name").value_or("") });
    }
}

} // namespace

std::vector<std::vector<std::string>> classListings(const SysfsReader &sys)
{
    std::vector<std::vector<std::string>> listings;
    for (const char *c : kClasses)
        listings.push_back(sys.list(c));
    return listings;
}

Tree survey(const SysfsReader &sys)
{
    Tree tree;
    tree.listings = classListings(sys);
    tree.gpus = findGpus(sys, tree.listings[Drm]);
    findChips(sys, tree.listings[Hwmon], tree);
    tree.zones = under("class/thermal", tree.listings[Thermal], "thermal_zone");
    tree.powercap = under("class/powercap", tree.listings[Powercap]);
    tree.supplies = under("class/power_supply", tree.listings[PowerSupply]);
    tree.pciDevices = tree.listings[Pci];
    return tree;
}

bool awake(const SysfsReader &sys, const GpuDevice &gpu)
{
    if (!gpu.runtimePm)
        return true;
    // An unreadable state (EPERM, EBUSY) counts as asleep too.
    return sys.text(gpu.device + "/power/runtime_status") == "active";
}

} // namespace macmon
