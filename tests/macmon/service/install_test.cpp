// SPDX-License-Identifier: MIT
#include "http/loopback.h"
#include "service/daemon.h"
#include "service/installer.h"
#include "support/machine.h"
#include "support/peer.h"

#include <gtest/gtest.h>
#include <thread>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

namespace {

// A user manager that runs ExecStart on restart, kills it on stop. FAKE_SYSTEMCTL_FAIL: a
// verb that fails; _SILENT: restart runs a mute program; _STATE: the manager's state (degraded unless told).
constexpr char kFakeSystemctl[] = R"PY(#!/usr/bin/env python3
import os, shlex, signal, subprocess, sys, time
args, env = sys.argv[1:], os.environ
verb = (args + [""])[1]
if verb == env.get("FAKE_SYSTEMCTL_FAIL"):
    sys.exit("Failed to %s unit: Unit file %s is masked." % (verb, args[-1]))
pidfile = os.path.join(env["XDG_RUNTIME_DIR"], "fake-manager.pid")
unit = os.path.join(env["XDG_CONFIG_HOME"], "systemd", "user", args[-1])
def alive(pid):
    try:
        return ") Z " not in open("/proc/%d/stat" % pid).read()
    except OSError:
        return False
if verb in ("restart", "disable") and os.path.exists(pidfile):
    pid = int(open(pidfile).read())
    os.kill(pid, signal.SIGTERM)
    for _ in range(100):
        time.sleep(0.05 if alive(pid) else 0)
    os.remove(pidfile)
if verb == "is-system-running":
    state = env.get("FAKE_SYSTEMCTL_STATE", "degraded")
    sys.exit(print(state) or state != "running")
elif verb == "restart":
    line = [l for l in open(unit) if l.startswith("ExecStart=")][0][len("ExecStart="):]
    argv = [a.replace("%%", "%").replace("$$", "$") for a in shlex.split(line)]
    if env.get("FAKE_SYSTEMCTL_SILENT"):
        argv = ["sleep", "60"]
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    open(pidfile, "w").write(str(proc.pid))
elif verb == "enable" and not os.path.exists(unit):
    sys.exit("Unit file %s does not exist." % args[-1])
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
            { "MACMON_POWER_SOCKET", (root / "helper.sock").string() } };
        if (runtimeDir)
            env_["XDG_RUNTIME_DIR"] = (root / "runtime").string();
    }
    ~Login()
    {
        // Whatever a failed test left running goes with it, a daemon no pid file names (a race's) too.
        for (const auto &pidFile : { paths().pidFile, scratch_.path() / "runtime/fake-manager.pid" })
            killRecorded(pidFile);
        const std::string home = std::string(1, '\0') + "HOME=" + env_.at("HOME") + '\0';
        for (const auto &process : fs::directory_iterator("/proc"))
            if (('\0' + readText(process.path() / "environ")).find(home) != std::string::npos)
                ::kill(std::stoi(process.path().filename()), SIGKILL);
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

    // Every regular file left in the login's folders, the fakes' own and the installer's lock aside.
    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> files;
        for (const char *dir : { "home", "config", "runtime", "state", "data" })
            for (const auto &entry : fs::recursive_directory_iterator(root() / dir))
                if (!entry.is_directory() && entry.path() != paths().lockFile
                    && entry.path().filename() != "fake-manager.pid")
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
        // A link planted at the temporary name is replaced, never written through.
        writeText(login.root() / "victim", "precious");
        fs::create_directories(paths.autostartFile.parent_path());
        fs::create_symlink(login.root() / "victim", paths.autostartFile.string() + ".partial");

        auto result = login.macmon(serveArgs(port, "intel-laptop"));
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(readText(login.root() / "victim"), "precious");
        const std::string exec = "Exec=\"" MACMON_BINARY "\" serve --port " + std::to_string(port) + " ";
        EXPECT_NE(readText(paths.autostartFile).find(exec), std::string::npos);
        EXPECT_NE(
            readText(paths.autostartFile).find("--power-socket \"" + login.env().at("MACMON_POWER_SOCKET")),
            std::string::npos);
        EXPECT_FALSE(fs::exists(paths.unitFile));
        const auto first = recordedPid(paths.pidFile);
        ASSERT_TRUE(first && !processEnded(*first));
        EXPECT_NE(readText("/proc/" + std::to_string(*first) + "/status").find("NoNewPrivs:\t1"),
            std::string::npos);
        if (!runtimeDir) {
            EXPECT_EQ(fs::status(paths.pidFile.parent_path()).permissions(), fs::perms::owner_all);
        }

        // Two more at once, on two ports: they take turns, and exactly one service with its entry is left.
        const std::uint16_t other = freePort();
        std::vector<std::unique_ptr<Child>> racers;
        for (const auto p : { port, other }) {
            auto args = serveArgs(p, "amd-desktop");
            args.insert(args.begin(), MACMON_BINARY);
            racers.push_back(std::make_unique<Child>(args, login.env(), login.root() / std::to_string(p)));
        }
        for (auto &racer : racers)
            EXPECT_EQ(racer->wait(40000), 0);
        const std::uint16_t winner = portOpen(port) ? port : other;
        EXPECT_FALSE(portOpen(winner == port ? other : port));
        EXPECT_NE(
            readText(paths.autostartFile).find("--port " + std::to_string(winner) + " "), std::string::npos);
        const auto second = recordedPid(paths.pidFile);
        ASSERT_TRUE(second && !processEnded(*second));
        EXPECT_TRUE(processEnded(*first));
        EXPECT_EQ(std::distance(fs::directory_iterator(paths.autostartFile.parent_path()), {}), 1);

        for (int round = 0; round < 2; ++round) {
            result = login.macmon({ "serve", "--uninstall" });
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(result.err, "");
        }
        EXPECT_FALSE(portOpen(winner));
        EXPECT_TRUE(processEnded(*second));
        EXPECT_EQ(login.leftovers(), std::vector<std::string> {});
    }
}

TEST(Install, FailsWithOneLineAndLeavesNothing)
{
    // what, machine, the fake manager's settings (none: no manager at all), message
    const std::vector<std::tuple<std::string, std::string, Environment, std::string>> cases {
        { "no sensors", "virtual-machine", {}, "no readable sensors on this machine" },
        { "manager refuses", "amd-desktop",
            { { "FAKE_SYSTEMCTL_FAIL", "enable" }, { "FAKE_SYSTEMCTL_STATE", "running" } },
            "the service manager refused: Failed to enable unit: Unit file orvane-macmon.service is "
            "masked." },
        { "started but silent", "amd-desktop", { { "FAKE_SYSTEMCTL_SILENT", "1" } },
            "the service did not answer on 127.0.0.1:{P} in time" },
        { "entry cannot be written", "amd-desktop", {}, "cannot write " },
    };
    for (const auto &[what, machine, fake, message] : cases) {
        SCOPED_TRACE(what);
        Login login;
        if (!fake.empty()) {
            login.fakeTool("systemctl", kFakeSystemctl);
            login.env().insert(fake.begin(), fake.end());
        }
        // A folder where the entry goes makes the final rename fail, after its temporary file was written.
        fs::create_directories(login.paths().autostartFile / "x");
        const std::uint16_t port = freePort();

        const auto result = login.macmon(serveArgs(port, machine));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err.rfind("macmon: " + withPort(message, port), 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_EQ(login.leftovers(), std::vector<std::string> {});
        EXPECT_FALSE(portOpen(port));
        // What the manager started was stopped through it again.
        EXPECT_FALSE(fs::exists(login.root() / "runtime/fake-manager.pid"));
    }
}

TEST(Install, UninstallStopsOnlyTheDaemonItInstalled)
{
    // what; another program started under the installed one's name and arguments; another HOME; machine
    const std::vector<std::tuple<std::string, bool, bool, const char *>> cases {
        { "a look-alike", true, false, "intel-laptop" },
        { "the same program for another HOME", false, true, "intel-laptop" },
        { "the same program serving other roots", false, false, "arm-board" },
    };
    for (const auto &[what, lookAlike, otherHome, machine] : cases) {
        SCOPED_TRACE(what);
        Login login;
        const auto paths = login.paths();
        const std::uint16_t port = freePort();
        const auto roots = [](const char *machine) {
            return Roots { fixture(machine) / "sys", fixture(machine) / "proc" };
        };
        writeText(paths.autostartFile, autostartEntry({ MACMON_BINARY, port, roots("intel-laptop") }));
        auto argv = ServiceCommand { MACMON_BINARY, port, roots(machine) }.arguments(true);
        if (lookAlike) {
            fs::copy_file(MACMON_BINARY, login.root() / "macmonitor");
            argv.insert(argv.begin(),
                { "/bin/bash", "-c",
                    "exec -a \"$0\" " + (login.root() / "macmonitor").string() + " \"$@\"" });
        }
        Environment env = login.env();
        if (otherHome)
            env["HOME"] = env["XDG_CONFIG_HOME"] = (login.root() / "other").string();
        ASSERT_EQ(runCommand(argv, env, 10s).exitCode, 0);
        const auto pid = recordedPid(paths.pidFile);
        ASSERT_TRUE(pid);

        // Left running, so it still answers; and the pid file that names it is not ours to remove.
        EXPECT_EQ(Installer(login.env(), 300ms).uninstall().message(),
            "the service still answers on 127.0.0.1:" + std::to_string(port));
        EXPECT_FALSE(processEnded(*pid));
        EXPECT_EQ(recordedPid(paths.pidFile), pid);
        EXPECT_FALSE(fs::exists(paths.autostartFile));
    }
}

TEST(Install, EndsWithinItsDeadlineWhateverHoldsItUp)
{
    // what; how long the lock stays held (the deadline is at 2.25 s, the end at 3 s); the user manager; the
    // failure it must give; a call the manager must have had, in the time kept back for undoing a failed
    // install
    const std::vector<std::tuple<std::string, int, std::string, std::string, std::string>> cases {
        { "a lock released only after the deadline", 2700, "",
            "another install or uninstall of the service is still running", "" },
        { "a manager that never answers, its output closed", 0, "exec >&- 2>&-; exec sleep 30", "", "" },
        { "a manager that hangs on reloads and will not disable", 0,
            "echo \"$*\" >>\"$HOME/../calls\"; case \"$*\" in *is-system*) echo running;; *reload) exec "
            "sleep 30;; *disable*) exit 1;; esac",
            "", "--user disable --now orvane-macmon.service" },
    };
    for (const auto &[what, heldMs, manager, failure, undoneBy] : cases) {
        SCOPED_TRACE(what);
        Login login;
        login.fakeTool("systemctl", "#!/bin/sh\n" + (manager.empty() ? "exit 1" : manager) + "\n");
        auto lock = std::make_unique<orvane::FileLock>(login.paths().lockFile, 0ms);
        std::thread release([&lock, ms = heldMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            lock.reset();
        });
        const auto start = std::chrono::steady_clock::now();
        const auto machine = fixture("amd-desktop");
        const auto result
            = Installer(login.env(), 5s, 3s)
                  .install({ MACMON_BINARY, freePort(), { machine / "sys", machine / "proc" } });
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3500ms);
        EXPECT_EQ(result.message(), failure.empty() ? result.message() : failure);
        EXPECT_EQ(result.message().find('\n'), std::string::npos);
        // A daemon started as the time ran out, its starter given up on, goes by itself with its pid file.
        for (const auto until = std::chrono::steady_clock::now() + 5s;
             !login.leftovers().empty() && std::chrono::steady_clock::now() < until;)
            std::this_thread::sleep_for(50ms);
        EXPECT_EQ(login.leftovers(), std::vector<std::string> {});
        EXPECT_TRUE(undoneBy.empty() || readText(login.root() / "calls").find(undoneBy) != std::string::npos);
        release.join();
    }
}

TEST(Install, QuotesExecLinesForEachFormat)
{
    const std::string raw = R"(/100%/$HOME"`id`\y)";
    EXPECT_EQ(systemdQuote(raw), R"("/100%%/$$HOME\"`id`\\y")");
    EXPECT_EQ(desktopExecQuote(raw), R"("/100%%/\$HOME\"\`id\`\\\\y")");
}
