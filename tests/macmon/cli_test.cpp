// SPDX-License-Identifier: MIT
#include "cli.h"
#include "http/loopback.h"
#include "service/process.h"
#include "support/machine.h"
#include "support/peer.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/times.h>
#include <thread>
#include <unistd.h>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// What parsing gave: the action, then for serving the port and roots ("helper": the default helper socket).
std::string outcome(const orvane::Result<Options> &parsed)
{
    if (!parsed)
        return parsed.message().empty() ? "error without a message" : "usage error";
    const Options &o = *parsed;
    const char *actions[] = { "serve", "install", "uninstall", "help", "version" };
    std::string line = actions[static_cast<int>(o.action)];
    if (o.action == Options::Action::Help || o.action == Options::Action::Version)
        return line;
    const std::string socket
        = o.roots.powerSocket == "/run/orvane-power.sock" ? "helper" : o.roots.powerSocket.string();
    return line + " " + std::to_string(o.port) + " " + o.roots.sysfs.string() + " " + o.roots.procfs.string()
        + " " + socket;
}

} // namespace

TEST(Arguments, Parse)
{
    const Environment roots { { "MACMON_SYSFS_ROOT", "/env/sys" }, { "MACMON_PROCFS_ROOT", "/env/proc" },
        { "MACMON_POWER_SOCKET", "/env/sock" } };
    const std::vector<std::tuple<std::vector<std::string>, Environment, std::string>> cases {
        { { "serve", "--port=1" }, {}, "serve 1 /sys /proc helper" },
        { { "serve", "--port", "65535", "--uninstall" }, {}, "uninstall 65535 /sys /proc helper" },
        // A flag wins over the variable; an empty variable is unset, leaving the default.
        { { "serve", "--sysfs-root", "/flag/sys" }, roots, "serve 9090 /flag/sys /env/proc /env/sock" },
        { { "serve", "--power-socket=/flag/sock" }, roots, "serve 9090 /env/sys /env/proc /flag/sock" },
        { { "serve" }, { { "MACMON_SYSFS_ROOT", "" } }, "serve 9090 /sys /proc helper" },
        { {}, {}, "usage error" },
        { { "serve", "--bogus" }, {}, "usage error" },
        { { "serve", "--port" }, {}, "usage error" },
        { { "serve", "--port", "65536" }, {}, "usage error" },
        { { "serve", "--port", "90x" }, {}, "usage error" },
        { { "serve", "--port", " 90" }, {}, "usage error" },
        { { "serve", "--install", "--uninstall" }, {}, "usage error" },
        { { "serve", "--install", "--detach" }, {}, "usage error" },
        { { "serve", "--install=yes" }, {}, "usage error" },
        { { "serve", "--sysfs-root", "" }, {}, "usage error" },
    };
    for (const auto &[args, env, expected] : cases)
        EXPECT_EQ(outcome(parseArguments(args, env)), expected) << testing::PrintToString(args);
}

TEST(Arguments, ExitCodesAndStreams)
{
    // args, exit code, the start of standard output, what standard error holds
    const std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>> cases {
        { { "--help" }, 0, "usage: macmon serve", "" },
        { { "--frobnicate" }, 2, "", "macmon: unknown command: --frobnicate\nusage: macmon serve" },
        { { "serve", "--port", "0" }, 2, "", "macmon: --port needs a number" },
    };
    for (const auto &[args, exitCode, out, err] : cases) {
        SCOPED_TRACE(args.front());
        std::vector<std::string> argv { MACMON_BINARY };
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = runCommand(argv, { { "PATH", "/usr/bin:/bin" } }, std::chrono::seconds(10));
        EXPECT_EQ(result.exitCode, exitCode);
        EXPECT_EQ(result.out.rfind(out, 0), 0u) << result.out;
        EXPECT_EQ(exitCode == 0 ? result.err == "" : result.err.rfind(err, 0) == 0, true) << result.err;
    }
}

// Round two: 64 descriptors, 80 clients; some stay free, for the pipe UBSan's vptr check probes memory with.
TEST(ServeCommand, QuietUntilStoppedThenExitsCleanly)
{
    ScratchDir scratch;
    const std::uint16_t port = freePort();
    const Environment env { { "PATH", "/usr/bin:/bin" }, { "HOME", scratch.path().string() },
        { "MACMON_SYSFS_ROOT", (fixture("intel-laptop") / "sys").string() },
        { "MACMON_PROCFS_ROOT", (fixture("intel-laptop") / "proc").string() } };
    for (const int signal : { SIGTERM, SIGINT }) {
        SCOPED_TRACE(signal);
        tms before {}, after {};
        ::times(&before);
        Child serve(
            { "/bin/sh", "-c", signal == SIGINT ? "ulimit -n 64 && exec \"$0\" \"$@\"" : "exec \"$0\" \"$@\"",
                MACMON_BINARY, "serve", "--port", std::to_string(port) },
            env, scratch.path() / "out");
        for (const auto deadline = Clock::now() + 10s; !answersJson(port, 1s) && Clock::now() < deadline;)
            std::this_thread::sleep_for(50ms);
        EXPECT_EQ(nlohmann::json::parse(get(port).body)["sys_power"], 8.63);
        // A second service on the same port says why it cannot start.
        const auto second = runCommand({ MACMON_BINARY, "serve", "--port", std::to_string(port) }, env, 10s);
        EXPECT_EQ(second.exitCode, 1);
        EXPECT_EQ(second.err, withPort("macmon: port {P} on 127.0.0.1 is taken by another program\n", port));
        std::atomic<int> answered = 0;
        std::vector<std::thread> clients;
        for (int c = 0; c < (signal == SIGINT ? 80 : 0); ++c)
            clients.emplace_back([&] {
                for (int i = 0; i < 25; ++i)
                    answered += get(port).body.find("cpu_temp_avg") != std::string::npos;
            });
        for (auto &client : clients)
            client.join();
        // Silent clients cannot lock out others, the connections kept below the descriptor limit.
        std::vector<int> silent(signal == SIGINT ? 60 : 0);
        for (int &fd : silent)
            fd = connectLoopback(port).release();
        const auto asked = Clock::now();
        EXPECT_TRUE(get(port).status == 200 && Clock::now() - asked < 1s);
        for (int fd : silent)
            ::close(fd);
        // Then a second without clients, in which a spinning loop would take all the CPU time it could.
        std::this_thread::sleep_for(1s);
        ::kill(serve.pid(), signal);
        EXPECT_EQ(serve.wait(10000), 0);
        EXPECT_FALSE(portOpen(port));
        EXPECT_EQ(readText(scratch.path() / "out"), "");
        EXPECT_GE(answered, clients.size() * 25 * 99 / 100);
        ::times(&after);
        EXPECT_LT((after.tms_cutime + after.tms_cstime - before.tms_cutime - before.tms_cstime) * 1000
                / ::sysconf(_SC_CLK_TCK),
            700);
    }
}
