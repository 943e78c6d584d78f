// SPDX-License-Identifier: MIT
#include "support/machine.h"

#include "common/files.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

namespace macmon::test {
using namespace std::chrono_literals;

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

void expectNear(const std::optional<double> &actual, const std::optional<double> &expected,
    const std::string &what, double tolerance)
{
    ASSERT_EQ(actual.has_value(), expected.has_value()) << what;
    if (expected) {
        EXPECT_NEAR(*actual, *expected, tolerance) << what;
    }
}

std::string readText(const fs::path &file)
{
    return orvane::readFile(file, 1 << 20).value_or("");
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
    changed_ = (data[0].effective & kOverrideCaps) != 0;
    data[0].effective &= ~kOverrideCaps;
    ok_ = !changed_ || capabilities(data, true);
}

WithoutFileOverride::~WithoutFileOverride()
{
    __user_cap_data_struct data[2] {};
    if (changed_ && capabilities(data, false)) {
        data[0].effective |= kOverrideCaps & data[0].permitted;
        capabilities(data, true);
    }
}

StandInHelper::StandInHelper(const fs::path &socket, const HelperAnswers &helper)
    : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_un address { AF_UNIX, {} };
    socket.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
    if (!helper.answer.empty())
        thread_ = std::thread([this, helper] {
            std::this_thread::sleep_for(helper.coldStart);
            const auto window = std::chrono::steady_clock::now() + (helper.coldStart.count() ? 1s : 0s);
            for (int client, n = 0; n++ != helper.answers && (client = ::accept(fd_, nullptr, nullptr)) >= 0;
                 ::close(client)) {
                std::this_thread::sleep_for(helper.delay);
                const std::string line = std::chrono::steady_clock::now() < window ? "\n" : helper.answer;
                const std::size_t chunk = helper.dribble.count() ? 1 : line.size();
                for (std::size_t at = 0; at < line.size();
                     at += chunk, std::this_thread::sleep_for(helper.dribble))
                    ::send(client, line.data() + at, chunk, MSG_NOSIGNAL);
            }
        });
}

StandInHelper::~StandInHelper()
{
    ::shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable())
        thread_.join();
    ::close(fd_);
}

} // namespace macmon::test
