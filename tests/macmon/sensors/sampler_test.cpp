// SPDX-License-Identifier: MIT
#include "sensors/nvml_double.h"
#include "sensors/sampler.h"
#include "support/machine.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

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
    for (const auto deadline = Clock::now() + 5s; Clock::now() < deadline; std::this_thread::sleep_for(20ms))
        if (condition())
            return true;
    return false;
}

// A socket-activated power helper: connections queue until it has started, then it answers an empty line
// until its first one-second window closes.
class ColdHelper
{
public:
    explicit ColdHelper(const fs::path &socket)
    {
        sockaddr_un address { AF_UNIX, {} };
        socket.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        EXPECT_EQ(::listen(fd_, 8), 0);
        thread_ = std::thread([this] {
            std::this_thread::sleep_for(250ms);
            const auto window = Clock::now() + 1s;
            for (int client; (client = ::accept(fd_, nullptr, nullptr)) >= 0; ::close(client))
                ::send(client, Clock::now() < window ? "\n" : "23\n", Clock::now() < window ? 1 : 3,
                    MSG_NOSIGNAL);
        });
    }
    ~ColdHelper()
    {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }

private:
    const int fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::thread thread_;
};

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
    const auto start = Clock::now();
    Sampler sampler(kBoard, { 20ms, 10s, 300ms, 100ms }, std::ref(gate));
    EXPECT_LT(Clock::now() - start, 2s) << "a stall on the first sample held up the start";
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
    ColdHelper helper(scratch.path() / "helper.sock");
    Sampler sampler({ kBoard.sysfs, kBoard.procfs, scratch.path() / "helper.sock" }, { 1h, 1h, 2h, 2s });
    EXPECT_TRUE(eventually([&] {
        const auto doc = sampler.document();
        return doc && doc->find("\"sys_power\":23") != std::string::npos;
    }));
}
