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

Result<std::string> readFile(const std::filesystem::path &file, std::size_t maxBytes)
{
    const auto failed = [&](int code) {
        return Failed { "cannot read " + file.string() + ": " + std::strerror(code), code };
    };
    // Non-blocking so a FIFO or a stuck device file can never hang the sampler.
    const Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid())
        return failed(errno);
    struct stat st
    { };
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return failed(EINVAL);
    std::string data(maxBytes, '\0');
    std::size_t used = 0;
    while (used < maxBytes) {
        const ssize_t n = ::read(fd.get(), data.data() + used, maxBytes - used);
        if (n < 0)
            return failed(errno);
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    data.resize(used);
    return data;
}

Status writeFileAtomically(const fs::path &file, const std::string &text)
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
        return Failed { "cannot write " + file.string() + ": " + std::strerror(errno), errno };
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
        return {};
    ::unlink(partial.c_str());
    return Failed { "cannot write " + file.string() + ": " + std::strerror(error ? error : EIO), error };
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
    fd_.reset(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd_.valid())
        error_ = "cannot open " + file.string() + ": " + std::strerror(errno);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_.valid() && !(held_ = ::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0)
        && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kLockPoll);
}

} // namespace orvane
