// SPDX-License-Identifier: MIT
#include "installer.h"
#include "net.h"
#include "support.h"

#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

namespace {

// Stands in for a user manager: records each call, runs the unit's ExecStart on start, kills it on stop.
constexpr char kFakeSystemctl[] = R"PY(#!/usr/bin/env python3
import os, shlex, signal, subprocess, sys, time
args = sys.argv[1:]
with open(os.environ["FAKE_SYSTEMCTL_LOG"], "a") as log:
    log.write(" ".join(args) + "\n")
verb = args[1] if len(args) > 1 else ""
if verb == os.environ.get("FAKE_SYSTEMCTL_FAIL"):
    print("Failed to %s unit: Unit file %s is masked." % (verb, args[-1]), file=sys.stderr)
    sys.exit(1)
pidfile = os.path.join(os.environ["XDG_RUNTIME_DIR"], "fake-manager.pid")
unit = os.path.join(os.environ["XDG_CONFIG_HOME"], "systemd", "user", args[-1])
def ended(pid):
    try:
        return open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True
def stop():
    if os.path.exists(pidfile):
        pid = int(open(pidfile).read())
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            if ended(pid):
                break
            time.sleep(0.05)
        os.remove(pidfile)
if verb == "is-system-running":
    print("degraded")
    sys.exit(1)
elif verb in ("restart", "start"):
    stop()
    line = [l for l in open(unit) if l.startswith("ExecStart=")][0][len("ExecStart="):]
    argv = [a.replace("%%", "%").replace("$$", "$") for a in shlex.split(line)]
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    open(pidfile, "w").write(str(proc.pid))
elif verb == "stop" or (verb == "disable" and "--now" in args):
    stop()
elif verb == "enable" and not os.path.exists(unit):
    print("Unit file %s does not exist." % args[-1], file=sys.stderr)
    sys.exit(1)
)PY";

// A scratch login: HOME and every XDG folder inside one temporary folder, fake tools first on PATH.
class Login
{
public:
    explicit Login(bool runtimeDir = true)
    {
        const fs::path root = scratch_.path();
        for (const char *dir : { "home", "config", "runtime", "state", "data", "bin" })
            fs::create_directories(root / dir);
        fs::permissions(root / "runtime", fs::perms::owner_all);
        env_ = { { "HOME", (root / "home").string() }, { "XDG_CONFIG_HOME", (root / "config").string() },
            { "XDG_STATE_HOME", (root / "state").string() }, { "XDG_DATA_HOME", (root / "data").string() },
            { "PATH", (root / "bin").string() + ":/usr/local/bin:/usr/bin:/bin" },
            { "FAKE_SYSTEMCTL_LOG", (root / "systemctl.log").string() } };
        if (runtimeDir)
            env_["XDG_RUNTIME_DIR"] = (root / "runtime").string();
    }
    ~Login()
    {
        // Whatever a failed test left running goes with it.
        for (const auto &pidFile : { paths().pidFile, scratch_.path() / "runtime/fake-manager.pid" })
            killRecorded(pidFile);
    }

    const fs::path &root() const { return scratch_.path(); }
    Environment &env() { return env_; }
    InstallPaths paths() const { return InstallPaths::forEnvironment(env_); }

    void fakeTool(const std::string &name, const std::string &script)
    {
        const fs::path tool = root() / "bin" / name;
        writeText(tool, script);
        fs::permissions(tool, fs::perms::owner_all);
    }

    CommandResult macmon(std::vector<std::string> args, const fs::path &binary = MACMON_BINARY)
    {
        args.insert(args.begin(), binary.string());
        return runCommand(args, env_, 60s);
    }

    // Every regular file left in the login's folders, the fakes' own aside.
    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> files;
        for (const char *dir : { "home", "config", "runtime", "state", "data" })
            for (const auto &entry : fs::recursive_directory_iterator(root() / dir))
                if (!entry.is_directory() && entry.path().filename() != "fake-manager.pid")
                    files.push_back(entry.path().string());
        return files;
    }

private:
    ScratchDir scratch_;
    Environment env_;
};

std::vector<std::string> serveArgs(std::uint16_t port, const std::string &machine)
{
    return { "serve", "--port", std::to_string(port), "--sysfs-root", (fixture(machine) / "sys").string(),
        "--procfs-root", (fixture(machine) / "proc").string(), "--install" };
}

std::optional<pid_t> recordedPid(const fs::path &pidFile)
{
    const auto text = readFile(pidFile);
    const auto pid = text ? parseInteger(*text) : std::nullopt;
    return pid ? std::optional(static_cast<pid_t>(*pid)) : std::nullopt;
}

bool running(pid_t pid)
{
    const auto stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    return stat && stat->find(") Z ") == std::string::npos;
}

} // namespace

TEST(Install, WithoutServiceManagerUsesAutostartAndADetachedDaemon)
{
    // With a runtime folder the pid file lives there; without one, in a private state folder.
    for (const bool runtimeDir : { true, false }) {
        SCOPED_TRACE(runtimeDir ? "runtime folder" : "no runtime folder");
        Login login(runtimeDir);
        const auto paths = login.paths();
        EXPECT_EQ(paths.pidFile,
            runtimeDir ? login.root() / "runtime/orvane-macmon.pid"
                       : login.root() / "state/orvane-companion/macmon.pid");
        const std::uint16_t port = freePort();

        auto result = login.macmon(serveArgs(port, "intel-laptop"));
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(get(port).status, 200);
        const std::string entry = readText(paths.autostartFile);
        EXPECT_NE(entry.find("Exec=\"" MACMON_BINARY "\" serve --port " + std::to_string(port)
                      + " --sysfs-root \"" + (fixture("intel-laptop") / "sys").string() + "\""),
            std::string::npos)
            << entry;
        EXPECT_FALSE(fs::exists(paths.unitFile));
        const auto first = recordedPid(paths.pidFile);
        ASSERT_TRUE(first && running(*first));
        if (!runtimeDir) {
            EXPECT_EQ(fs::status(paths.pidFile.parent_path()).permissions(), fs::perms::owner_all);
        }

        // Again: the old daemon makes way for one new one, the entry is replaced, not doubled.
        result = login.macmon(serveArgs(port, "amd-desktop"));
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const auto second = recordedPid(paths.pidFile);
        ASSERT_TRUE(second && running(*second));
        EXPECT_NE(*first, *second);
        EXPECT_FALSE(running(*first));
        EXPECT_EQ(
            nlohmann::json::parse(get(port).body)["soc"]["chip_name"], "AMD Ryzen 9 5900X 12-Core Processor");
        EXPECT_EQ(std::distance(fs::directory_iterator(paths.autostartFile.parent_path()), {}), 1);

        for (int round = 0; round < 2; ++round) {
            result = login.macmon({ "serve", "--uninstall" });
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(result.err, "");
        }
        EXPECT_FALSE(portOpen(port));
        EXPECT_FALSE(running(*second));
        EXPECT_EQ(login.leftovers(), std::vector<std::string> {});
    }
}

TEST(Install, FailsWithOneLineAndLeavesNothing)
{
    struct Case
    {
        const char *what;
        const char *machine;
        const char *failingVerb; // of the fake manager; empty: no manager at all
        bool portTaken;
        std::string message;
    };
    const std::vector<Case> cases {
        { "port taken", "intel-laptop", "", true, "port {P} on 127.0.0.1 is taken by another program" },
        { "no sensors", "virtual-machine", "", false, "no readable sensors on this machine" },
        { "manager refuses", "amd-desktop", "enable", false,
            "the service manager refused: Failed to enable unit: Unit file orvane-macmon.service is "
            "masked." },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Login login;
        if (*c.failingVerb) {
            login.fakeTool("systemctl", kFakeSystemctl);
            login.env()["FAKE_SYSTEMCTL_FAIL"] = c.failingVerb;
        }
        const int holder = c.portTaken ? listenLoopback(0) : -1;
        const std::uint16_t port = holder >= 0 ? boundPort(holder) : freePort();
        std::string message = c.message;
        if (const auto at = message.find("{P}"); at != std::string::npos)
            message.replace(at, 3, std::to_string(port));

        const auto result = login.macmon(serveArgs(port, c.machine));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err.rfind("macmon: " + message, 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(login.leftovers(), std::vector<std::string> {});
        if (holder >= 0) {
            ::close(holder);
        } else {
            EXPECT_FALSE(portOpen(port));
        }
    }
}

TEST(Install, WithServiceManagerWritesEnablesAndStartsAUserUnit)
{
    Login login;
    login.fakeTool("systemctl", kFakeSystemctl);
    // Spaces, a dollar and a percent in the paths must survive the unit's quoting.
    const fs::path tools = login.root() / "my tools $HOME 100%";
    fs::create_directories(tools);
    fs::copy_file(MACMON_BINARY, tools / "macmon");
    fs::permissions(tools / "macmon", fs::perms::owner_all);
    const fs::path machine = copyMachine("intel-laptop", login.root() / "recorded machine");
    const std::uint16_t port = freePort();
    const auto paths = login.paths();

    const auto result
        = login.macmon({ "serve", "--port", std::to_string(port), "--sysfs-root", (machine / "sys").string(),
                           "--procfs-root", (machine / "proc").string(), "--install" },
            tools / "macmon");
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const auto answer = get(port);
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(nlohmann::json::parse(answer.body)["sys_power"], 8.63);

    const std::string unit = readText(paths.unitFile);
    for (const std::string &line :
        { "ExecStart=\"" + (tools / "macmon").string() + "\" serve --port " + std::to_string(port),
            std::string("WantedBy=default.target"), std::string("Restart=on-failure"),
            std::string("StartLimitBurst="), std::string("NoNewPrivileges=yes") }) {
        std::string escaped = line;
        for (std::size_t at = 0; (at = escaped.find_first_of("$%", at)) != std::string::npos; at += 2)
            escaped.insert(at, 1, escaped[at]);
        EXPECT_NE(unit.find(escaped), std::string::npos) << escaped << "\n" << unit;
    }
    EXPECT_FALSE(fs::exists(paths.autostartFile));
    EXPECT_FALSE(fs::exists(paths.pidFile));

    ASSERT_EQ(login.macmon({ "serve", "--uninstall" }).exitCode, 0);
    EXPECT_FALSE(portOpen(port));
    EXPECT_FALSE(fs::exists(paths.unitFile));
    EXPECT_EQ(readText(login.root() / "systemctl.log"),
        "--user is-system-running\n"
        "--user daemon-reload\n"
        "--user enable orvane-macmon.service\n"
        "--user restart orvane-macmon.service\n"
        "--user is-system-running\n"
        "--user disable --now orvane-macmon.service\n"
        "--user daemon-reload\n");
    EXPECT_EQ(login.leftovers(), std::vector<std::string> {});
}

TEST(Install, AsksTheManagerWhetherItIsThere)
{
    const std::vector<std::tuple<std::string, int, bool>> cases {
        { "echo running", 0, true },
        { "echo degraded", 1, true },
        { "echo starting", 1, true },
        { "echo offline", 1, false },
        { "echo 'Failed to connect to bus: No medium found' >&2", 1, false },
    };
    for (const auto &[answer, code, present] : cases) {
        SCOPED_TRACE(answer);
        Login login;
        login.fakeTool("systemctl", "#!/bin/sh\n" + answer + "\nexit " + std::to_string(code) + "\n");
        EXPECT_EQ(userManagerRunning(login.env()), present);
    }
    Login withoutAny;
    withoutAny.env()["PATH"] = (withoutAny.root() / "bin").string();
    EXPECT_FALSE(userManagerRunning(withoutAny.env()));
}

TEST(Install, QuotesExecLinesForEachFormat)
{
    const std::vector<std::tuple<std::string, std::string, std::string>> cases {
        { "/opt/app/macmon", "\"/opt/app/macmon\"", "\"/opt/app/macmon\"" },
        { "/a b/c", "\"/a b/c\"", "\"/a b/c\"" },
        { "/x\"y", "\"/x\\\"y\"", "\"/x\\\"y\"" },
        { "/x\\y", "\"/x\\\\y\"", "\"/x\\\\\\\\y\"" },
        { "/100%/$HOME", "\"/100%%/$$HOME\"", "\"/100%%/\\$HOME\"" },
        { "/`id`", "\"/`id`\"", "\"/\\`id\\`\"" },
    };
    for (const auto &[raw, systemd, desktop] : cases) {
        SCOPED_TRACE(raw);
        EXPECT_EQ(systemdQuote(raw), systemd);
        EXPECT_EQ(desktopExecQuote(raw), desktop);
    }
}
