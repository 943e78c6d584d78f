// SPDX-License-Identifier: MIT
#include "sensors/nvml_double.h"
#include "sensors/sampler.h"
#include "support/machine.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

namespace {

// Counts every path the sensors touch; while shut, a read of the stalling file waits (a hung driver).
struct Gate
{
    std::atomic<bool> open = true;
    std::atomic<int> reads = 0;

    void operator()(const std::string &path)
    {
        ++reads;
        while (!open && path == "class/thermal/thermal_zone0/temp")
            std::this_thread::sleep_for(1ms);
    }
};

// Polls for up to 5 s: the machine may be loaded.
bool eventually(const std::function<bool()> &condition)
{
    for (const auto deadline = orvane::Clock::now() + 5s; orvane::Clock::now() < deadline;
         std::this_thread::sleep_for(20ms))
        if (condition())
            return true;
    return false;
}

const Roots kBoard { fixture("arm-board") / "sys", fixture("arm-board") / "proc" };

} // namespace

TEST(Sampler, SleepsWhenNobodyAsksAndWakesWithAFreshSample)
{
    // A laptop whose NVIDIA GPU is awake: NVML is held while sampling, and let go for the sleep.
    ScratchDir scratch;
    const fs::path machine = copyMachine("hybrid-laptop", scratch.path() / "m");
    writeText(machine / "sys/bus/pci/devices/0000:01:00.0/power/runtime_status", "active\n");
    fakeNvml() = {};
    Gate gate;
    Sampler sampler({ machine / "sys", machine / "proc" }, { 20ms, 200ms, 150ms, 2s }, std::ref(gate));
    const auto before = sampler.document();
    // Asleep once nothing at all is read for 400 ms, where awake it would have sampled about 20 times.
    ASSERT_TRUE(eventually([&] {
        const int reads = gate.reads.load();
        std::this_thread::sleep_for(400ms);
        return gate.reads.load() == reads;
    }));
    EXPECT_TRUE(fakeNvml().log.starts_with("init ") && fakeNvml().log.ends_with(" shutdown "))
        << fakeNvml().log;
    const auto after = sampler.document();
    EXPECT_TRUE(before && after && after != before);
}

TEST(Sampler, AStalledReadIsNeverServedAsLive)
{
    Gate gate;
    gate.open = false;
    const auto start = orvane::Clock::now();
    Sampler sampler(kBoard, { 20ms, 10s, 300ms, 100ms }, std::ref(gate));
    EXPECT_LT(orvane::Clock::now() - start, 2s) << "a stall on the first sample held up the start";
    EXPECT_FALSE(sampler.document());
    gate.open = true;
    EXPECT_TRUE(eventually([&] { return sampler.document() != nullptr; }));
    gate.open = false;
    EXPECT_TRUE(eventually([&] { return sampler.document() == nullptr; }));
    gate.open = true; // every check above is an EXPECT, so this is reached and the thread can end
}

TEST(Sampler, AsksAColdHelperAgainUntilItsFirstFigure)
{
    // One regular sample an hour: only the settling samples can bring the helper's figure.
    ScratchDir scratch;
    StandInHelper helper(scratch.path() / "helper.sock", { .answer = "23\n", .coldStart = 250ms });
    Sampler sampler({ kBoard.sysfs, kBoard.procfs, scratch.path() / "helper.sock" }, { 1h, 1h, 2h, 2s });
    EXPECT_TRUE(eventually([&] {
        const auto doc = sampler.document();
        return doc && doc->find("\"sys_power\":23") != std::string::npos;
    }));
}
