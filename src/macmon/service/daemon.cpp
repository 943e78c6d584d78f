// SPDX-License-Identifier: MIT
#include "service/daemon.h"

#include "common/fd.h"
#include "common/text.h"
#include "service/paths.h"
#include "service/unit.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace macmon {
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kCmdlineBytes = 64 * 1024;
constexpr std::size_t kEnvironBytes = 256 * 1024;

// NUL-separated parts; empty when the text filled the whole limit, since its end is then unknown.
std::vector<std::string> splitNul(const orvane::Result<std::string> &data, std::size_t limit)
{
    std::vector<std::string> parts;
    if (!data || data->size() >= limit)
        return parts;
    std::string part;
    std::stringstream in(*data);
    while (std::getline(in, part, '\0'))
        parts.push_back(part);
    return parts;
}

} // namespace

bool isOurDaemon(pid_t pid, const DaemonIdentity &identity)
{
    const fs::path proc = "/proc/" + std::to_string(pid);
    struct stat st
    { };
    if (pid <= 1 || ::stat(proc.c_str(), &st) != 0 || st.st_uid != ::getuid())
        return false;
    const auto args = splitNul(orvane::readFile(proc / "cmdline", kCmdlineBytes), kCmdlineBytes);
    std::error_code ec;
    const std::string exe = fs::read_symlink(proc / "exe", ec).string();
    // A program replaced since it started shows as deleted; it is still the one installed there.
    if (args.empty() || ec || (exe != args.front() && exe != args.front() + " (deleted)"))
        return false;
    if (desktopExecLine(args) != identity.execLine)
        return false;
    const Environment env
        = environmentFrom(splitNul(orvane::readFile(proc / "environ", kEnvironBytes), kEnvironBytes));
    const auto paths = InstallPaths::forEnvironment(env);
    return !env.empty() && paths.pidFile == identity.pidFile && paths.autostartFile == identity.autostartFile;
}

bool processEnded(pid_t pid)
{
    const auto stat = orvane::readFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return true;
    const auto close = stat->rfind(')');
    return close != std::string::npos && close + 2 < stat->size() && (*stat)[close + 2] == 'Z';
}

namespace {

// The caller's process waits for the daemon's verdict, then leaves without running destructors.
[[noreturn]] void exitWithVerdict(const orvane::Fd &channel, pid_t child)
{
    std::string verdict;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(channel.get(), buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            verdict.append(buffer, static_cast<std::size_t>(n));
    int status = 0;
    ::waitpid(child, &status, 0);
    if (verdict == "ok")
        ::_exit(0);
    const std::string line = (verdict.empty() ? "the service stopped while starting" : verdict) + "\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
    ::_exit(1);
}

} // namespace

int detach()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    orvane::Fd readEnd(ends[0]), writeEnd(ends[1]);
    std::fflush(nullptr);
    const pid_t first = ::fork();
    if (first < 0)
        return -1;
    if (first > 0) {
        writeEnd.reset();
        exitWithVerdict(readEnd, first);
    }
    readEnd.reset();
    ::setsid();
    // A second fork: the daemon is no session leader, so it can never gain a controlling terminal.
    const pid_t second = ::fork();
    if (second != 0)
        ::_exit(second < 0 ? 1 : 0);
    [[maybe_unused]] const int rootDir = ::chdir("/");
    ::umask(077);
    // Nothing this daemon runs may gain privileges, whatever started it.
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    orvane::Fd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    for (int fd = 0; fd < 3; ++fd)
        ::dup2(null.get(), fd);
    // Started with a standard stream closed, the null device took its number and stays open as that stream.
    if (null.get() <= STDERR_FILENO)
        (void)null.release();
    return writeEnd.release();
}

bool reportReady(int channel, const std::string &error)
{
    const std::string verdict = error.empty() ? "ok" : error;
    const auto written = ::write(channel, verdict.data(), verdict.size());
    ::close(channel);
    return written == static_cast<ssize_t>(verdict.size());
}

orvane::Status writePidFile(const fs::path &file)
{
    // A private state folder stands in for the runtime folder, so it is kept to this user.
    if (file.parent_path().filename() == kStateFolder)
        orvane::makePrivateFolder(file.parent_path());
    return orvane::writeFileAtomically(file, std::to_string(::getpid()) + "\n");
}

void removePidFile(const fs::path &file)
{
    // Only our own: a newer daemon may have written its pid here meanwhile.
    const auto text = orvane::readFile(file);
    const auto pid = text ? orvane::parseInteger(*text) : std::nullopt;
    std::error_code ec;
    if (pid && *pid == ::getpid())
        fs::remove(file, ec);
}

} // namespace macmon
