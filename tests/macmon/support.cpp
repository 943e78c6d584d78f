// SPDX-License-Identifier: MIT
#include "support.h"

#include "net.h"
#include "reader.h"

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <linux/capability.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace macmon::test {

fs::path fixture(const std::string &machine)
{
    return fs::path(MACMON_FIXTURES) / machine;
}

ScratchDir::ScratchDir()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/macmon-test-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    // A test may have taken permissions away; give them back so everything can go.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (!it->is_symlink())
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

fs::path copyMachine(const std::string &machine, const fs::path &to)
{
    fs::copy(fixture(machine), to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return to;
}

void writeText(const fs::path &file, const std::string &text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::trunc) << text;
}

std::string readText(const fs::path &file)
{
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {

constexpr unsigned kOverrideCaps = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

bool capabilities(__user_cap_data_struct (&data)[2], bool set)
{
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    return ::syscall(set ? SYS_capset : SYS_capget, &header, data) == 0;
}

} // namespace

WithoutFileOverride::WithoutFileOverride()
{
    __user_cap_data_struct data[2] {};
    if (!capabilities(data, false))
        return;
    if ((data[0].effective & kOverrideCaps) == 0) {
        ok_ = true;
        return;
    }
    data[0].effective &= ~kOverrideCaps;
    ok_ = changed_ = capabilities(data, true);
}

WithoutFileOverride::~WithoutFileOverride()
{
    if (!changed_)
        return;
    __user_cap_data_struct data[2] {};
    if (capabilities(data, false)) {
        data[0].effective |= kOverrideCaps & data[0].permitted;
        capabilities(data, true);
    }
}

std::uint16_t freePort()
{
    const int fd = listenLoopback(0);
    const std::uint16_t port = boundPort(fd);
    ::close(fd);
    return port;
}

std::string withPort(std::string text, std::uint16_t port)
{
    for (std::size_t at; (at = text.find("{P}")) != std::string::npos;)
        text.replace(at, 3, std::to_string(port));
    return text;
}

HttpAnswer http(std::uint16_t port, const std::string &request)
{
    HttpAnswer answer;
    const auto raw = exchange(port, withPort(request, port), std::chrono::seconds(5));
    if (!raw || raw->size() < 12 || raw->rfind("HTTP/1.", 0) != 0)
        return answer;
    answer.status = std::atoi(raw->substr(9, 3).c_str());
    const auto split = raw->find("\r\n\r\n");
    answer.head = raw->substr(0, split);
    if (split != std::string::npos)
        answer.body = raw->substr(split + 4);
    return answer;
}

HttpAnswer get(std::uint16_t port, const std::string &path)
{
    return http(port,
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port)
            + "\r\nConnection: close\r\n\r\n");
}

Child::Child(const std::vector<std::string> &argv, const Environment &env, const fs::path &outputFile)
{
    ExecArguments exec(argv, env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outputFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    const int failed
        = ::posix_spawn(&pid_, argv.front().c_str(), &actions, nullptr, exec.argv(), exec.envp());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::runtime_error("cannot start " + argv.front());
}

Child::~Child()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

int Child::wait(int timeoutMs)
{
    for (int waited = 0; pid_ > 0 && waited <= timeoutMs; waited += 20) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

std::optional<pid_t> recordedPid(const fs::path &pidFile)
{
    const auto text = readFile(pidFile);
    const auto pid = text ? parseInteger(*text) : std::nullopt;
    return pid && *pid > 1 && *pid <= INT_MAX ? std::optional(static_cast<pid_t>(*pid)) : std::nullopt;
}

void killRecorded(const fs::path &pidFile)
{
    const auto pid = recordedPid(pidFile);
    std::error_code ec;
    // Only a macmon: the recorded process may be long gone and its number reused.
    if (pid
        && fs::read_symlink("/proc/" + std::to_string(*pid) + "/exe", ec)
               .filename()
               .string()
               .starts_with("macmon"))
        ::kill(*pid, SIGKILL);
}

} // namespace macmon::test
