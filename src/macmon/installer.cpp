// SPDX-License-Identifier: MIT
#include "installer.h"

#include "net.h"
#include "reader.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace macmon {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr auto kSystemctlTimeout = 20s;
constexpr auto kPoll = 100ms;
constexpr char kAutostartName[] = "orvane-macmon.desktop";

fs::path absoluteDir(const Environment &env, const char *variable, const fs::path &fallback)
{
    // The XDG rules ignore relative values.
    const fs::path value = lookup(env, variable);
    return value.is_absolute() ? value : fallback;
}

fs::path home(const Environment &env)
{
    const std::string value = lookup(env, "HOME");
    if (!value.empty())
        return value;
    const passwd *pw = ::getpwuid(::getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "/";
}

Failure writeFile(const fs::path &file, const std::string &text)
{
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    // Written beside and renamed, so a reader never sees half a file.
    const fs::path partial = file.string() + ".partial";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << text;
        if (!out.flush())
            return "cannot write " + file.string();
    }
    fs::rename(partial, file, ec);
    if (ec) {
        fs::remove(partial, ec);
        return "cannot write " + file.string() + ": " + ec.message();
    }
    return std::nullopt;
}

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
        return 9090;
    const auto n = parseInteger(text.substr(at + 7, text.find_first_not_of("0123456789", at + 7) - at - 7));
    return n && *n > 0 && *n < 65536 ? static_cast<std::uint16_t>(*n) : 9090;
}

std::vector<std::string> splitNul(const std::string &data)
{
    std::vector<std::string> parts;
    std::string part;
    std::stringstream in(data);
    while (std::getline(in, part, '\0'))
        parts.push_back(part);
    return parts;
}

// Only a process that runs a macmon binary as a detached service is ours to stop;
// a stale pid file may name any program by now.
std::optional<std::uint16_t> ourDaemonPort(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    const std::string exe = fs::read_symlink(proc + "/exe", ec).filename().string();
    if (ec || exe.rfind("macmon", 0) != 0)
        return std::nullopt;
    const auto cmdline = SysfsReader("/proc").raw(std::to_string(pid) + "/cmdline", 64 * 1024);
    if (!cmdline)
        return std::nullopt;
    const auto args = splitNul(*cmdline);
    if (std::find(args.begin(), args.end(), "serve") == args.end()
        || std::find(args.begin(), args.end(), "--detach") == args.end())
        return std::nullopt;
    const auto port = std::find(args.begin(), args.end(), "--port");
    if (port == args.end() || port + 1 == args.end())
        return 9090;
    const auto n = parseInteger(*(port + 1));
    return n && *n > 0 && *n < 65536 ? static_cast<std::uint16_t>(*n) : 9090;
}

// Gone, or a zombie nobody has reaped yet: either way its sockets are closed.
bool processEnded(pid_t pid)
{
    const auto stat = SysfsReader("/proc").text(std::to_string(pid) + "/stat");
    if (!stat)
        return true;
    const auto close = stat->rfind(')');
    return close != std::string::npos && close + 2 < stat->size() && (*stat)[close + 2] == 'Z';
}

bool hasControlCharacter(const std::string &s)
{
    return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

} // namespace

InstallPaths InstallPaths::forEnvironment(const Environment &env)
{
    const fs::path h = home(env);
    const fs::path config = absoluteDir(env, "XDG_CONFIG_HOME", h / ".config");
    const fs::path runtime = absoluteDir(env, "XDG_RUNTIME_DIR", {});
    const fs::path state = absoluteDir(env, "XDG_STATE_HOME", h / ".local/state");
    return { config / "systemd/user" / kUnitName, config / "autostart" / kAutostartName,
        runtime.empty() ? state / "orvane-companion/macmon.pid" : runtime / "orvane-macmon.pid" };
}

std::vector<std::string> ServiceCommand::arguments(bool detach) const
{
    std::vector<std::string> args { executable.string(), "serve", "--port", std::to_string(port),
        "--sysfs-root", roots.sysfs.string(), "--procfs-root", roots.procfs.string() };
    if (detach)
        args.push_back("--detach");
    return args;
}

std::string systemdQuote(const std::string &arg)
{
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        else if (c == '%' || c == '$') // specifier and variable expansion
            quoted += c;
        quoted += c;
    }
    return quoted + "\"";
}

std::string desktopExecQuote(const std::string &arg)
{
    // Quoting rules of the Exec key, then the escaping of a string value (a backslash doubles again).
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$')
            quoted += "\\";
        else if (c == '\\')
            quoted += "\\\\\\";
        else if (c == '%')
            quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

namespace {

std::string commandLine(const ServiceCommand &command, bool detach, std::string (*quote)(const std::string &))
{
    std::string line;
    for (const auto &arg : command.arguments(detach)) {
        const bool plain = arg.rfind("--", 0) == 0 || arg == "serve"
            || std::all_of(arg.begin(), arg.end(), [](unsigned char c) { return std::isdigit(c); });
        line += (line.empty() ? "" : " ") + (plain ? arg : quote(arg));
    }
    return line;
}

} // namespace

std::string systemdUnit(const ServiceCommand &command)
{
    return "# Written by \"macmon serve --install\"; \"macmon serve --uninstall\" removes it.\n"
           "[Unit]\n"
           "Description=Orvane sensor service (macmon)\n"
           "StartLimitIntervalSec=60\n"
           "StartLimitBurst=5\n"
           "\n"
           "[Service]\n"
           "Type=exec\n"
           "ExecStart="
        + commandLine(command, false, systemdQuote)
        + "\n"
          "Restart=on-failure\n"
          "RestartSec=2\n"
          "UMask=0077\n"
          "NoNewPrivileges=yes\n"
          "LockPersonality=yes\n"
          "MemoryDenyWriteExecute=yes\n"
          "RestrictRealtime=yes\n"
          "RestrictSUIDSGID=yes\n"
          "RestrictNamespaces=yes\n"
          "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
          "SystemCallArchitectures=native\n"
          "SystemCallFilter=@system-service\n"
          "SystemCallErrorNumber=EPERM\n"
          "\n"
          "[Install]\n"
          "WantedBy=default.target\n";
}

std::string autostartEntry(const ServiceCommand &command)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Orvane sensor service\n"
           "Comment=Serves this machine's sensor readings to Orvane on 127.0.0.1\n"
           "Exec="
        + commandLine(command, true, desktopExecQuote)
        + "\n"
          "Terminal=false\n"
          "NoDisplay=true\n"
          "X-GNOME-Autostart-enabled=true\n";
}

bool userManagerRunning(const Environment &env)
{
    const auto answer = runCommand({ "systemctl", "--user", "is-system-running" }, env, 5s);
    // The exit status is non-zero for "degraded" too, so the answer itself decides.
    const std::string state = firstLine(answer.out);
    for (const char *present : { "running", "degraded", "starting", "initializing", "maintenance" })
        if (state == present)
            return true;
    return false;
}

Installer::Installer(Environment env, std::chrono::milliseconds wait)
    : env_(std::move(env))
    , paths_(InstallPaths::forEnvironment(env_))
    , wait_(wait)
{ }

CommandResult Installer::systemctl(const std::vector<std::string> &args) const
{
    std::vector<std::string> argv { "systemctl", "--user" };
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, env_, kSystemctlTimeout);
}

bool Installer::installed() const
{
    std::error_code ec;
    return fs::exists(paths_.unitFile, ec) || fs::exists(paths_.autostartFile, ec)
        || fs::exists(paths_.pidFile, ec);
}

Failure Installer::install(const ServiceCommand &command)
{
    for (const auto &arg : command.arguments(false))
        if (hasControlCharacter(arg))
            return "cannot install: a path holds a control character: " + arg;
    {
        // Power and GPU load are rates, so the check takes two samples a moment apart.
        Sensors sensors(command.roots);
        sensors.sample();
        std::this_thread::sleep_for(kPoll);
        if (!sensors.sample().hasNumericReading())
            return "no readable sensors on this machine (nothing below " + command.roots.sysfs.string()
                + " gives a temperature, power or GPU reading)";
    }
    const std::string where = "127.0.0.1:" + std::to_string(command.port);
    const std::string taken
        = "port " + std::to_string(command.port) + " on 127.0.0.1 is taken by another program";
    if (!portFree(command.port) && !installed())
        return taken;
    // Installing again replaces: the old service, by either mechanism, goes first.
    if (auto failure = uninstall())
        return failure;
    if (!portFree(command.port))
        return taken;

    if (auto failure = userManagerRunning(env_) ? installSystemd(command) : installAutostart(command))
        return failure;
    if (!waitUntil(wait_, [&] { return answersJson(command.port, 1s); })) {
        uninstall();
        return "the service did not answer on " + where + " in time";
    }
    return std::nullopt;
}

Failure Installer::installSystemd(const ServiceCommand &command)
{
    if (auto failure = writeFile(paths_.unitFile, systemdUnit(command)))
        return failure;
    for (const auto &step : std::vector<std::vector<std::string>> {
             { "daemon-reload" }, { "enable", kUnitName }, { "restart", kUnitName } }) {
        const auto result = systemctl(step);
        if (result.exitCode != 0) {
            std::vector<std::uint16_t> ignored;
            removeSystemd(ignored);
            const std::string words = firstLine(result.err);
            return "the service manager refused: "
                + (words.empty() ? "systemctl " + step.front() + " failed" : words);
        }
    }
    return std::nullopt;
}

Failure Installer::installAutostart(const ServiceCommand &command)
{
    if (auto failure = writeFile(paths_.autostartFile, autostartEntry(command)))
        return failure;
    const auto result = runCommand(command.arguments(true), env_, 15s);
    if (result.exitCode != 0) {
        std::error_code ec;
        fs::remove(paths_.autostartFile, ec);
        const std::string words = firstLine(result.err);
        return words.empty() ? "the service could not start" : words;
    }
    return std::nullopt;
}

Failure Installer::removeSystemd(std::vector<std::uint16_t> &ports)
{
    const auto unit = readFile(paths_.unitFile, 64 * 1024);
    if (!unit)
        return std::nullopt;
    ports.push_back(portNamedIn(*unit));
    // Without a reachable manager nothing runs it; removing the file is all there is to do.
    const bool manager = userManagerRunning(env_);
    if (manager) {
        const auto result = systemctl({ "disable", "--now", kUnitName });
        if (result.exitCode != 0)
            return "the service manager refused: " + firstLine(result.err);
    }
    std::error_code ec;
    fs::remove(paths_.unitFile, ec);
    if (manager)
        systemctl({ "daemon-reload" });
    return std::nullopt;
}

Failure Installer::stopDaemon(std::vector<std::uint16_t> &ports)
{
    std::error_code ec;
    const auto text = readFile(paths_.pidFile);
    const auto pid = text ? parseInteger(*text) : std::nullopt;
    const auto port = pid && *pid > 1 ? ourDaemonPort(static_cast<pid_t>(*pid)) : std::nullopt;
    if (port) {
        ports.push_back(*port);
        const auto p = static_cast<pid_t>(*pid);
        ::kill(p, SIGTERM);
        if (!waitUntil(wait_, [&] { return processEnded(p); })) {
            ::kill(p, SIGKILL);
            if (!waitUntil(1s, [&] { return processEnded(p); }))
                return "the service (process " + std::to_string(p) + ") does not stop";
        }
    }
    fs::remove(paths_.pidFile, ec);
    return std::nullopt;
}

Failure Installer::uninstall()
{
    std::vector<std::uint16_t> ports;
    if (auto failure = removeSystemd(ports))
        return failure;
    std::error_code ec;
    if (const auto entry = readFile(paths_.autostartFile, 64 * 1024)) {
        ports.push_back(portNamedIn(*entry));
        fs::remove(paths_.autostartFile, ec);
    }
    if (auto failure = stopDaemon(ports))
        return failure;
    for (const auto port : ports)
        if (!waitUntil(wait_, [&] { return !portOpen(port); }))
            return "the service still answers on 127.0.0.1:" + std::to_string(port);
    return std::nullopt;
}

int detach()
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return -1;
    std::fflush(nullptr);
    const pid_t first = ::fork();
    if (first < 0)
        return -1;
    if (first > 0) {
        // The caller's process waits for the daemon's verdict, then leaves without running destructors.
        ::close(ready[1]);
        std::string verdict;
        char buffer[512];
        ssize_t n;
        while ((n = ::read(ready[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                verdict.append(buffer, static_cast<std::size_t>(n));
        int status = 0;
        ::waitpid(first, &status, 0);
        if (verdict == "ok")
            ::_exit(0);
        const std::string line = (verdict.empty() ? "the service stopped while starting" : verdict) + "\n";
        [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
        ::_exit(1);
    }
    ::close(ready[0]);
    ::setsid();
    // A second fork: the daemon is no session leader, so it can never gain a controlling terminal.
    const pid_t second = ::fork();
    if (second != 0)
        ::_exit(second < 0 ? 1 : 0);
    [[maybe_unused]] const int rootDir = ::chdir("/");
    ::umask(077);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd < 3; ++fd)
        ::dup2(null, fd);
    if (null > 2)
        ::close(null);
    return ready[1];
}

void reportReady(int channel, const std::string &error)
{
    const std::string verdict = error.empty() ? "ok" : error;
    [[maybe_unused]] const auto written = ::write(channel, verdict.data(), verdict.size());
    ::close(channel);
}

Failure writePidFile(const fs::path &file)
{
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    // A private state folder stands in for the runtime folder, so it is kept to this user.
    if (file.parent_path().filename() == "orvane-companion")
        ::chmod(file.parent_path().c_str(), 0700);
    if (auto failure = writeFile(file, std::to_string(::getpid()) + "\n"))
        return failure;
    return std::nullopt;
}

void removePidFile(const fs::path &file)
{
    // Only our own: a newer daemon may have written its pid here meanwhile.
    const auto text = readFile(file);
    const auto pid = text ? parseInteger(*text) : std::nullopt;
    std::error_code ec;
    if (pid && *pid == ::getpid())
        fs::remove(file, ec);
}

} // namespace macmon
