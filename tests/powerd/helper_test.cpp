// SPDX-License-Identifier: MIT
// The helper as systemd runs it, on a listening socket, over a recorded powercap tree the test advances.
#include "common/clock.h"
#include "common/text.h"
#include "support/machine.h"
#include "support/peer.h"

#include <cmath>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

namespace {

constexpr int kAnswerMs = 2000;
using Seconds = std::chrono::duration<double>;

// A helper started as systemd would on the first connection to its socket, over a scratch copy of a machine.
struct Helper
{
    explicit Helper(const std::string &machine)
        : rapl(copyMachine(machine, dir.path() / "m") / "sys/devices/virtual/powercap/intel-rapl")
    { }

    void start(const std::vector<std::string> &asUser, const std::string &idleMs)
    {
        std::vector<std::string> argv { "/usr/bin/systemd-socket-activate", "-l", socket.string() };
        argv.insert(argv.end(), asUser.begin(), asUser.end());
        argv.insert(argv.end(),
            { POWERD_BINARY, "--sysfs-root", (dir.path() / "m/sys").string(), "--idle-ms", idleMs });
        child.emplace(argv, currentEnvironment(), dir.path() / "log");
    }

    // A connected client, or -1; refused until the activator listens, however long a loaded machine takes.
    int connect() const
    {
        sockaddr_un addr { AF_UNIX, {} };
        socket.string().copy(addr.sun_path, sizeof addr.sun_path - 1);
        for (const auto end = orvane::Clock::now() + 60s; orvane::Clock::now() < end;
             std::this_thread::sleep_for(10ms)) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
                return fd;
            ::close(fd);
        }
        return -1;
    }

    // All the helper wrote before closing; a helper that never closes takes the whole time-out.
    std::string ask() const { return receive(connect(), kAnswerMs); }

    std::string status(const std::string &key) const
    {
        return orvane::lineValue(readText("/proc/" + std::to_string(child->pid()) + "/status"), key, ':')
            .value_or("");
    }

    ScratchDir dir;
    fs::path socket = dir.path() / "power.sock", rapl; // rapl: the powercap tree, to change before the start
    std::optional<Child> child;
};

// Adds uj to a domain's counter, wrapping at its range as the kernel's does.
void advance(const fs::path &domain, long long uj)
{
    const auto range = *orvane::parseInteger(readText(domain / "max_energy_range_uj"));
    const auto now = *orvane::parseInteger(readText(domain / "energy_uj")) + uj;
    writeText(domain / "energy_uj", std::to_string(now > range ? now - range : now) + "\n");
}

struct Figure
{
    const char *name;
    bool asNobody; // counters root-only (0400), read as nobody with CAP_DAC_READ_SEARCH alone
    std::vector<std::pair<const char *, const char *>> writes; // before start, under intel-rapl/
    std::vector<std::pair<const char *, long long>> used; // µJ per domain during the window
    double joules; // what the packages used
};

} // namespace

TEST(Helper, AnswersThePackagesPowerOverTheLastSecond)
{
    const std::vector<Figure> cases {
        { "two packages summed, one wrapping", false,
            { { "intel-rapl:1/name", "package-1\n" }, { "intel-rapl:0/energy_uj", "262133328850\n" } },
            { { "intel-rapl:0", 30'000'000 }, { "intel-rapl:1", 30'000'000 } }, 60 },
        { "as nobody: root-only counters, no psys or sub-zones", true, {},
            { { "intel-rapl:0", 30'000'000 }, { "intel-rapl:1", 300'000'000 },
                { "intel-rapl:0/intel-rapl:0:0", 300'000'000 } },
            30 },
    };
    const std::vector<std::string> nobody { "/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
        "--clear-groups", "--inh-caps=+dac_read_search", "--ambient-caps=+dac_read_search" };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.asNobody && ::geteuid() != 0) {
            std::cout << "skipped (needs root to start the helper as another user): " << c.name << '\n';
            continue;
        }
        Helper helper("intel-laptop");
        for (const auto &[file, text] : c.writes)
            writeText(helper.rapl / file, text);
        if (c.asNobody)
            ::chmod((helper.rapl / "intel-rapl:0/energy_uj").c_str(), 0400);
        helper.start(c.asNobody ? nobody : std::vector<std::string> {}, "60000");
        const auto t0 = orvane::Clock::now();
        EXPECT_EQ(helper.ask(), "\n") << "no window before the first second";
        const auto t1 = orvane::Clock::now();
        for (const auto &[domain, uj] : c.used)
            advance(helper.rapl / domain, uj);
        std::this_thread::sleep_for(1100ms);
        const auto t2 = orvane::Clock::now();
        const std::string figure = helper.ask();
        const auto t3 = orvane::Clock::now();
        // The window spans at least from the first answer to the second question, at most both exchanges.
        const long long watts = orvane::parseInteger(figure).value_or(-1);
        EXPECT_GE(watts, std::llround(c.joules / Seconds(t3 - t0).count())) << figure;
        EXPECT_LE(watts, std::llround(c.joules / Seconds(t2 - t1).count())) << figure;
        advance(helper.rapl / "intel-rapl:0", 1'000'000'000);
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(helper.ask(), figure) << "a new figure within a second";
        EXPECT_LT(orvane::Clock::now() - t2, 1s) << "too slow to tell";
        for (const char *key : { "CapEff", "CapPrm", "CapInh", "CapAmb" })
            EXPECT_EQ(helper.status(key), "0000000000000000") << key;
        EXPECT_EQ(helper.status("NoNewPrivs"), "1");
    }
}

TEST(Helper, DropsSilentClientsAndExitsWhenNoOneAsks)
{
    Helper helper("virtual-machine");
    helper.start({}, "400");
    const int silent = helper.connect();
    ASSERT_GE(silent, 0);
    // Longer than the idle time in all: each connection starts it anew.
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(helper.ask(), "\n") << "no package: an empty line, at any time";
    }
    const auto lastAsked = orvane::Clock::now();
    pollfd p { silent, POLLIN, 0 };
    EXPECT_EQ(::poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLHUP) << "a client that never reads is not held";
    ::close(silent);
    EXPECT_EQ(helper.child->wait(3000), 0);
    EXPECT_GE(orvane::Clock::now() - lastAsked, 350ms);
}
