// SPDX-License-Identifier: MIT
// Prints the CPU time of one sensor sample (all sources plus the document) on a machine tree, as the
// service takes them a second apart (so the 30 s re-check is in the average), then that of the first
// sample, which finds the sensors, then the wall time of one sample (which includes waiting for a power
// helper listening at the optional socket).
#include "sensors/document.h"
#include "sensors/readings.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

double cpuSeconds()
{
    timespec t {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: macmon_sample_bench SYSFS_ROOT PROCFS_ROOT [POWER_HELPER_SOCKET]\n");
        return 2;
    }
    constexpr int kSamples = 2000;
    macmon::Sensors sensors({ argv[1], argv[2], argc == 4 ? argv[3] : "" });
    auto now = orvane::Clock::now();
    const double first = cpuSeconds();
    sensors.sample(now); // the first one also reads the chip name, once for the service's life
    const double discovery = cpuSeconds() - first;
    std::size_t bytes = 0;
    const double start = cpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    for (int i = 0; i < kSamples; ++i) {
        now += std::chrono::seconds(1);
        bytes += macmon::renderDocument(sensors.sample(now)).size();
    }
    const double perSample = (cpuSeconds() - start) / kSamples;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart;
    std::printf("%.1f %.1f %.1f\n", perSample * 1e6, discovery * 1e6, wall.count() / kSamples * 1e6);
    return bytes == 0 ? 1 : 0;
}
