// SPDX-License-Identifier: MIT
#include "sensors/readings.h"
#include "support/machine.h"

#include <gtest/gtest.h>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

namespace {

// What a real machine's `sensors` text shows, as macmon must read it from the tree that text stands for.
struct Machine
{
    const char *probe;
    std::optional<double> cpu, gpu, power;
    const char *source = ""; // where the reading comes from, when that is not plain
};

const std::vector<Machine> kMachines {
    { "01319AC289", 61.25, {}, {} },
    { "0410F7CDCF", 42.0, 47.0, {}, "Tdie: Tctl is offset by 10 °C" },
    { "060A5573FD", 39.4, 37.0, {}, "the APU's 1000 uW is no figure" },
    { "0676DAA5B0", 37.15, {}, {}, "Tdie of four dies; not Tccd, nor asus_wmi's CPU" },
    { "06F5FEBDA2", 53.2, {}, {}, "not the EC's CPU value" },
    { "0C9232361D", 30.0, {}, {}, "nouveau N/A" },
    { "0F1564BB4A", 55.0, {}, {} },
    { "0F2CDE73BB", 56.0, {}, {} },
    { "1121F10A96", 60.5, {}, {} },
    { "11DDC3D97B", 18.0, {}, {} },
    { "137EC871E7", 44.5, {}, {} },
    { "142D89A9C0", 46.0, {}, {} },
    { "1A61029965", {}, {}, {}, "no CPU sensor shown" },
    { "1C536042D4", 37.875, 34.0, {}, "radeon" },
    { "1FBAA02605", 46.75, {}, {} },
    { "203D5736D7", 34.833, 31.0, {} },
    { "243FCCB6FA", 34.7, {}, {}, "Tdie of two dies, not Tccd1" },
    { "25BA18F752", 38.8, 35.0, 14.0, "an APU's GPU figure" },
    { "28D623103E", 55.0, {}, {}, "not dell_smm's CPU value" },
    { "2908B05B92", 43.5, 42.0, {} },
    { "2A5B05500A", 54.0, {}, {} },
    { "2DFD532279", 20.25, {}, {} },
    { "30B9A925DE", 52.0, {}, {} },
    { "33DC68FE04", 51.1, 51.0, {} },
    { "37F7936CD9", 54.5, {}, {} },
    { "40BA0A0B07", 39.5, 37.0, {} },
    { "4393041949", 47.8, 41.0, {}, "Tccd1, not the board's CPUTIN; a card's power alone" },
    { "439EC3A470", 62.0, {}, {} },
    { "45A7D95010", 54.8, 38.0, {}, "the APU's 0 W is no figure" },
    { "45F78C29CB", 56.167, {}, {} },
    { "49F47896E6", 42.5, {}, {} },
    { "4BAE364A79", 56.4, 53.0, 8.21 },
    { "56E06DEEA2", 56.0, {}, {} },
    { "5B204EADE4", 49.75, {}, {} },
    { "5E6192ED2B", 73.1, 38.0, {}, "Tdie: Tctl is offset by 10 °C; a card's power alone" },
    { "60053B5D4B", 74.9, 57.0, {}, "two GPUs; the APU's 2 mW is no figure, the card's alone none" },
    { "62BDD854B4", 47.5, {}, {} },
    { "63B5C2F7FB", 52.75, {}, {} },
    { "64CF410189", 38.5, {}, {} },
    { "65AE23140E", 81.9, 82.0, {}, "k10temp before Zen: its unlabelled input; radeon" },
    { "698093BBC6", 43.688, {}, {} },
    { "6BB3ED04F9", 45.5, {}, {} },
    { "6CBBC0B707", 48.9, 54.0, {}, "Tdie: Tctl is offset by 10 °C; a card's power alone" },
    { "6EA4F3E080", 48.0, {}, {}, "Tdie of two dies, not Tccd1" },
    { "70BDC97D85", 55.5, {}, {} },
    { "746232AA34", 50.833, {}, {} },
    { "75CBD49C72", 38.1, 38.0, {}, "k10temp before Zen; radeon" },
    { "76550F7AEF", 43.5, {}, {} },
    { "7850A16A1B", 59.0, {}, {} },
    { "78D5B26183", 48.5, {}, {}, "Tdie before Tccd" },
    { "7A2C8B647D", 49.0, 39.0, {}, "the APU's 1000 uW is no figure" },
    { "7A5742D1F4", 43.5, {}, {} },
    { "7F27062E48", 26.0, 35.0, 265.79, "four k10temp nodes; fam15h_power of two packages + the card" },
    { "827696B95A", 37.0, {}, {} },
    { "86B4D71BC0", 79.9, 80.0, {}, "k10temp before Zen; radeon" },
    { "88B290F249", 64.6, {}, 48.34, "zenpower: Tdie; core + SoC rails" },
    { "8BBC53C60C", 60.0, {}, {} },
    { "8CA3BFDE82", 62.2, 62.0, {} },
    { "8E23FA0DA2", 61.8, 60.0, 10.66, "k10temp before Zen; fam15h_power; radeon" },
    { "8EB4E40BF5", 33.85, {}, {} },
    { "9210981559", 78.0, {}, {} },
    { "92172385EF", 59.0, 58.0, {}, "fam15h_power N/A gives none" },
    { "921783A9BE", 42.5, {}, {} },
    { "922A46C59E", 39.5, 42.0, {}, "a card's power alone" },
    { "93020DD688", 52.75, {}, {} },
    { "949CC3D3C4", 48.5, {}, {} },
    { "9B53E39BAD", 74.0, {}, {} },
    { "A155BC9FC3", 43.833, {}, {} },
    { "AA8AC065A7", 58.5, {}, {} },
    { "AC1EE4AAB2", 52.5, {}, {} },
    { "B315E85BDA", 36.8, 36.0, {} },
    { "B4AA454D9A", 46.5, {}, {} },
    { "B5CD12BC15", 55.5, {}, {} },
    { "B67D126993", 36.8, 34.0, {}, "a card's power alone" },
    { "B8747A97B7", 35.75, {}, {} },
    { "C65E5F04D0", 58.5, 41.0, {}, "not atk0110's 153.8 °C CPU value" },
    { "C7E2652542", 83.0, {}, {} },
    { "C81D067D76", 30.0, {}, {} },
    { "C88027A227", 81.2, 58.0, 14.16 },
    { "CB70181C3A", 41.15, 31.0, {} },
    { "CD7597D02C", 41.5, {}, {} },
    { "D2C01D70DF", 31.0, 36.5, {}, "two radeon cards" },
    { "D4A7DBD124", 36.0, {}, {} },
    { "D8472DA434", 51.0, {}, {} },
    { "D8AE46AD2B", 44.05, 25.0, {}, "Tdie of two dies, not Tccd1" },
    { "D971CD0912", 44.5, 44.0, {} },
    { "DBB7472E3E", 83.4, 55.5, {}, "two GPUs; the APU's 5 mW is no figure, the card's alone none" },
    { "DBCDE72217", 55.0, {}, {} },
    { "DE7BEE1CD6", 39.8, 39.0, {} },
    { "E134D7A317", 19.375, {}, {} },
    { "E673BAB21F", 5.3, {}, 221.12, "eight k10temp nodes; fam15h_power of four packages" },
    { "EC8717BC3F", 49.5, {}, {}, "k8temp: its core inputs" },
    { "F0DEB8E1AB", 35.667, {}, {} },
    { "F151955E44", 43.0, {}, {} },
    { "F2B2DF8E8C", 54.5, 47.0, 12.1 },
    { "F3BF9850DD", 49.0, {}, {} },
    { "F3CBAC183E", 46.5, {}, {}, "Tdie before Tccd" },
    { "F69852B39C", 46.0, {}, {} },
    { "FB12FE29DD", 29.0, 24.0, {}, "the APU's 3 mW is no figure" },
    { "FCDDF8CDA4", 51.75, 44.0, {} },
};

} // namespace

TEST(RealMachines, EachReadsWhatItsSensorsShow)
{
    const auto trees = std::distance(fs::directory_iterator(MACMON_PROBE_TREES), fs::directory_iterator());
    EXPECT_EQ(static_cast<std::size_t>(trees), kMachines.size()) << "every machine has its row";
    for (const auto &m : kMachines) {
        SCOPED_TRACE(std::string(m.probe) + " " + m.source);
        const fs::path machine = fs::path(MACMON_PROBE_TREES) / m.probe;
        Sensors sensors({ machine / "sys", machine / "proc" });
        const auto t0 = orvane::Clock::now();
        sensors.sample(t0);
        const Readings r = sensors.sample(t0 + 1s);
        expectNear(r.cpuTempC, m.cpu, "cpu", 0.5);
        expectNear(r.gpuTempC, m.gpu, "gpu", 0.5);
        expectNear(r.socPowerW, m.power, "power");
        EXPECT_EQ(r.chipName, std::nullopt) << "a tree without /proc and a device tree names no chip";
        // The install's check refuses a machine without any reading.
        EXPECT_EQ(r.hasNumericReading(), m.cpu || m.gpu || m.power);
    }
}
