// SPDX-License-Identifier: MIT
#include "common/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace orvane {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr mode_t kFileMode = 0644;
constexpr auto kLockPoll = 50ms;

bool writeAll(int fd, const std::string &text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::optional<std::string> readFile(const std::filesystem::path &file, std::size_t maxBytes)
{
    // Non-blocking so a FIFO or a stuck device file can never hang the sampler.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    int failure = 0;
    struct stat st
    { };
    std::optional<std::string> result;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::string data(maxBytes, '\0');
        std::size_t used = 0;
        bool failed = false;
        while (used < maxBytes) {
            const ssize_t n = ::read(fd, data.data() + used, maxBytes - used);
            if (n < 0) {
                failure = errno;
                failed = true;
                break;
            }
            if (n == 0)
                break;
            used += static_cast<std::size_t>(n);
        }
        if (!failed) {
            data.resize(used);
            result = std::move(data);
        }
    }
    ::close(fd);
    // Callers tell a vanished file from an unreadable one by errno.
    errno = result ? 0 : (failure ? failure : EINVAL);
    return result;
}

Failure writeFileAtomically(const fs::path &file, const std::string &text)
{
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    const fs::path partial = file.string() + ".partial";
    const auto create = [&] {
        return ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    };
    int fd = create();
    // A leftover, or a link planted to redirect the write, is removed (unlink never follows a link) once.
    if (fd < 0 && errno == EEXIST && ::unlink(partial.c_str()) == 0)
        fd = create();
    if (fd < 0)
        return "cannot write " + file.string() + ": " + std::strerror(errno);
    bool ok = writeAll(fd, text);
    int error = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(partial.c_str(), file.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (ok)
        return std::nullopt;
    ::unlink(partial.c_str());
    return "cannot write " + file.string() + ": " + std::strerror(error ? error : EIO);
}

void makePrivateFolder(const fs::path &folder)
{
    std::error_code ec;
    fs::create_directories(folder, ec);
    ::chmod(folder.c_str(), 0700);
}

FileLock::FileLock(const fs::path &file, std::chrono::milliseconds timeout)
{
    makePrivateFolder(file.parent_path());
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0)
        error_ = "cannot open " + file.string() + ": " + std::strerror(errno);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0 && !(held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0)
        && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kLockPoll);
}

FileLock::~FileLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace orvane
