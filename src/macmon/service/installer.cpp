// SPDX-License-Identifier: MIT
#include "service/installer.h"

#include "base/program.h"
#include "common/text.h"
#include "http/loopback.h"
#include "sensors/readings.h"
#include "service/daemon.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace macmon {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kSystemctlTimeout = 20s;
constexpr auto kStartTimeout = 15s;
constexpr auto kManagerCheckTime = 5s;
// Of an install's run, these last seconds are kept for undoing what it did when it fails.
constexpr auto kCleanupReserve = 3s;
constexpr auto kSensorCheckTime = 4s;
// Within the check's time: a socket-activated helper's start and its first one-second window, with room.
constexpr auto kSensorSettleTime = 2500ms;
constexpr auto kPoll = 100ms;
constexpr std::size_t kEntryBytes = 64 * 1024;
constexpr char kExecKey[] = "Exec=";

// Exit codes of the sensor check's child.
enum SensorCheck : int
{
    kReadings = 0,
    kNoReadings = 3,
    kCheckFailed = 4
};

bool waitUntil(std::chrono::milliseconds limit, const std::function<bool()> &done)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

// The port our own service line names ("... --port N ..."); the default when it names none.
std::uint16_t portNamedIn(const std::string &text)
{
    const auto at = text.find("--port ");
    if (at == std::string::npos)
        return kDefaultPort;
    const auto n
        = orvane::parseInteger(text.substr(at + 7, text.find_first_not_of("0123456789", at + 7) - at - 7));
    return n && *n > 0 && *n < 65536 ? static_cast<std::uint16_t>(*n) : kDefaultPort;
}

std::string execValue(const std::string &entry)
{
    const auto at = entry.find(std::string("\n") + kExecKey);
    if (at == std::string::npos)
        return {};
    const auto from = at + 1 + std::strlen(kExecKey);
    return entry.substr(from, entry.find('\n', from) - from);
}

// A child's failure line already carries our prefix; ours is added once, when it is printed.
std::string withoutPrefix(std::string line)
{
    while (line.starts_with(kErrorPrefix))
        line.erase(0, std::strlen(kErrorPrefix));
    return line;
}

orvane::Status lockFailure(const orvane::FileLock &lock)
{
    if (lock.held())
        return {};
    return orvane::Failed {
        lock.error().empty() ? "another install or uninstall of the service is still running" : lock.error()
    };
}

bool hasControlCharacter(const std::string &s)
{
    return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

} // namespace

bool userManagerRunning(const Environment &env, std::chrono::milliseconds timeout)
{
    const auto answer = runCommand({ "systemctl", "--user", "is-system-running" }, env, timeout);
    // The exit status is non-zero for "degraded" too, so the answer itself decides.
    const std::string state = orvane::firstLine(answer.out);
    for (const char *present : { "running", "degraded", "starting", "initializing", "maintenance" })
        if (state == present)
            return true;
    return false;
}

Installer::Installer(Environment env, std::chrono::milliseconds wait, std::chrono::milliseconds runTime)
    : env_(std::move(env))
    , paths_(InstallPaths::forEnvironment(env_))
    , wait_(wait)
    , runTime_(runTime)
{ }

std::chrono::milliseconds Installer::budget(std::chrono::milliseconds cap) const
{
    const auto left
        = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
    return std::clamp(left, 1ms, std::max(cap, 1ms));
}

CommandResult Installer::systemctl(const std::vector<std::string> &args) const
{
    std::vector<std::string> argv { "systemctl", "--user" };
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, env_, budget(kSystemctlTimeout));
}

bool Installer::installed() const
{
    std::error_code ec;
    return fs::exists(paths_.unitFile, ec) || fs::exists(paths_.autostartFile, ec)
        || fs::exists(paths_.pidFile, ec);
}

orvane::Status Installer::install(const ServiceCommand &command)
{
    // One deadline for the whole run, the wait for the lock included; undoing a failure may use the rest.
    end_ = std::chrono::steady_clock::now() + runTime_;
    deadline_ = end_ - std::min<std::chrono::milliseconds>(kCleanupReserve, runTime_ / 4);
    // Two installs at once would each remove what the other wrote.
    orvane::FileLock lock(paths_.lockFile, budget(runTime_));
    if (auto status = lockFailure(lock); !status.ok())
        return status;
    return replace(command);
}

orvane::Status Installer::uninstall()
{
    end_ = deadline_ = std::chrono::steady_clock::now() + runTime_;
    orvane::FileLock lock(paths_.lockFile, budget(runTime_));
    if (auto status = lockFailure(lock); !status.ok())
        return status;
    return remove();
}

orvane::Status Installer::checkSensors(const Roots &roots) const
{
    // In a child, so a read that never returns costs a kill rather than the whole install.
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        return orvane::Failed { std::string("cannot check the sensors: ") + std::strerror(errno), errno };
    if (child == 0) {
        int code = kCheckFailed;
        try {
            // Power and GPU load are rates, so the check samples until one shows; a cold power helper
            // starts on the first question and has its first window a second later.
            Sensors sensors(roots);
            sensors.sample();
            const auto until = std::chrono::steady_clock::now() + kSensorSettleTime;
            code = kNoReadings;
            do {
                std::this_thread::sleep_for(kPoll);
                if (sensors.sample().hasNumericReading())
                    code = kReadings;
            } while (code != kReadings && std::chrono::steady_clock::now() < until);
        } catch (...) { }
        ::_exit(code);
    }
    int status = 0;
    const auto ended = [&] {
        return ::waitpid(child, &status, WNOHANG) == child;
    };
    if (!waitUntil(budget(kSensorCheckTime), ended)) {
        ::kill(child, SIGKILL);
        waitUntil(budget(1s), ended);
        return orvane::Failed { "reading the sensors below " + roots.sysfs.string()
            + " did not finish in time" };
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kReadings)
        return {};
    if (WIFEXITED(status) && WEXITSTATUS(status) == kNoReadings)
        return orvane::Failed { "no readable sensors on this machine (nothing below " + roots.sysfs.string()
            + " gives a temperature, power or GPU reading)" };
    return orvane::Failed { "cannot read the sensors below " + roots.sysfs.string() };
}

orvane::Status Installer::replace(const ServiceCommand &command)
{
    for (const auto &arg : command.arguments(false))
        if (hasControlCharacter(arg))
            return orvane::Failed { "cannot install: a path holds a control character: " + arg };
    if (auto status = checkSensors(command.roots); !status.ok())
        return status;
    const std::string where = "127.0.0.1:" + std::to_string(command.port);
    const orvane::Failed taken { portTakenMessage(command.port) };
    if (!portFree(command.port) && !installed())
        return taken;
    // Installing again replaces: the old service, by either mechanism, goes first.
    if (auto status = remove(); !status.ok())
        return status;
    if (!portFree(command.port))
        return taken;

    auto status = userManagerRunning(env_, budget(kManagerCheckTime)) ? installSystemd(command)
                                                                      : installAutostart(command);
    if (status.ok() && !waitUntil(budget(wait_), [&] { return answersJson(command.port, budget(1s)); }))
        status = orvane::Failed { "the service did not answer on " + where + " in time" };
    if (!status.ok()) {
        // What this install wrote and started goes, even when the manager will not let go of it.
        deadline_ = end_;
        (void)remove(); // best effort: the install's own failure is what the user hears of
        std::error_code ec;
        fs::remove(paths_.unitFile, ec);
        fs::remove(paths_.autostartFile, ec);
    }
    return status;
}

orvane::Status Installer::installSystemd(const ServiceCommand &command)
{
    if (auto status = orvane::writeFileAtomically(paths_.unitFile, systemdUnit(command)); !status.ok())
        return status;
    for (const auto &step : std::vector<std::vector<std::string>> {
             { "daemon-reload" }, { "enable", kUnitName }, { "restart", kUnitName } }) {
        const auto result = systemctl(step);
        if (result.exitCode != 0) {
            const std::string words = orvane::firstLine(result.err);
            return orvane::Failed { "the service manager refused: "
                + (words.empty() ? "systemctl " + step.front() + " failed" : words) };
        }
    }
    return {};
}

orvane::Status Installer::installAutostart(const ServiceCommand &command)
{
    if (auto status = orvane::writeFileAtomically(paths_.autostartFile, autostartEntry(command));
        !status.ok())
        return status;
    const auto result = runCommand(command.arguments(true), env_, budget(kStartTimeout));
    if (result.exitCode != 0) {
        const std::string words = withoutPrefix(orvane::firstLine(result.err));
        return orvane::Failed { words.empty() ? "the service could not start" : words };
    }
    return {};
}

orvane::Status Installer::removeSystemd(std::vector<std::uint16_t> &ports)
{
    const auto unit = orvane::readFile(paths_.unitFile, kEntryBytes);
    if (!unit)
        return {};
    ports.push_back(portNamedIn(*unit));
    // Without a reachable manager nothing runs it; removing the file is all there is to do.
    const bool manager = userManagerRunning(env_, budget(kManagerCheckTime));
    if (manager) {
        const auto result = systemctl({ "disable", "--now", kUnitName });
        if (result.exitCode != 0)
            return orvane::Failed { "the service manager refused: " + orvane::firstLine(result.err) };
    }
    std::error_code ec;
    fs::remove(paths_.unitFile, ec);
    if (manager)
        systemctl({ "daemon-reload" });
    return {};
}

orvane::Status Installer::stopDaemon(const orvane::Result<std::string> &entry)
{
    const auto recorded = [&]() -> std::optional<long long> {
        const auto text = orvane::readFile(paths_.pidFile);
        return text ? orvane::parseInteger(*text) : std::nullopt;
    };
    const auto number = recorded();
    const pid_t pid = number && *number > 1 && *number <= INT_MAX ? static_cast<pid_t>(*number) : 0;
    // A stale pid file may name any program by now, and a runtime folder is shared by every HOME.
    const bool ours
        = pid > 0 && entry && isOurDaemon(pid, { execValue(*entry), paths_.pidFile, paths_.autostartFile });
    if (ours) {
        ::kill(pid, SIGTERM);
        if (!waitUntil(budget(wait_), [&] { return processEnded(pid); })) {
            ::kill(pid, SIGKILL);
            if (!waitUntil(budget(1s), [&] { return processEnded(pid); }))
                return orvane::Failed { "the service (process " + std::to_string(pid) + ") does not stop" };
        }
    }
    // Only a pid file that still names the daemon stopped here, or nothing alive, goes.
    if (recorded() == number && (ours || pid == 0 || processEnded(pid))) {
        std::error_code ec;
        fs::remove(paths_.pidFile, ec);
    }
    return {};
}

orvane::Status Installer::remove()
{
    std::vector<std::uint16_t> ports;
    if (auto status = removeSystemd(ports); !status.ok())
        return status;
    // The daemon is checked against its entry, so the entry goes only once the daemon has.
    const auto entry = orvane::readFile(paths_.autostartFile, kEntryBytes);
    if (entry)
        ports.push_back(portNamedIn(*entry));
    if (auto status = stopDaemon(entry); !status.ok())
        return status;
    std::error_code ec;
    fs::remove(paths_.autostartFile, ec);
    for (const auto port : ports)
        if (!waitUntil(budget(wait_), [&] { return !portOpen(port); }))
            return orvane::Failed { "the service still answers on 127.0.0.1:" + std::to_string(port) };
    return {};
}

} // namespace macmon
