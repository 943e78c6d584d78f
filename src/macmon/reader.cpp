// SPDX-License-Identifier: MIT
#include "reader.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace macmon {
namespace {

// A class folder holds one entry per device; more than this is not a machine but an attack on memory.
constexpr std::size_t kMaxEntries = 4096;

} // namespace

SysfsReader::SysfsReader(std::filesystem::path root, Observer observer)
    : root_(std::move(root))
    , observer_(std::move(observer))
{ }

void SysfsReader::observe(const std::string &relative) const
{
    if (observer_)
        observer_(relative);
}

std::filesystem::path SysfsReader::path(const std::string &relative) const
{
    return relative.empty() ? root_ : root_ / relative;
}

std::optional<std::string> SysfsReader::raw(const std::string &relative, std::size_t maxBytes) const
{
    observe(relative);
    auto data = readFile(path(relative), maxBytes);
    if (!data && (errno == ENOENT || errno == ENOTDIR))
        vanished_ = true;
    return data;
}

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

std::string trim(const std::string &text)
{
    const auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0';
    };
    auto begin = std::find_if_not(text.begin(), text.end(), blank);
    auto end = std::find_if_not(text.rbegin(), std::make_reverse_iterator(begin), blank).base();
    return std::string(begin, end);
}

std::optional<std::string> SysfsReader::text(const std::string &relative) const
{
    auto data = raw(relative);
    if (!data)
        return std::nullopt;
    const auto newline = data->find('\n');
    return trim(newline == std::string::npos ? *data : data->substr(0, newline));
}

std::optional<long long> parseInteger(const std::string &text)
{
    const std::string t = trim(text);
    long long value = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size())
        return std::nullopt;
    return value;
}

std::optional<long long> SysfsReader::integer(const std::string &relative) const
{
    auto line = text(relative);
    return line ? parseInteger(*line) : std::nullopt;
}

std::vector<std::string> SysfsReader::list(const std::string &relative) const
{
    observe(relative);
    std::vector<std::string> names;
    std::error_code ec;
    std::filesystem::directory_iterator it(path(relative), ec);
    for (; !ec && it != std::filesystem::directory_iterator() && names.size() < kMaxEntries; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool SysfsReader::exists(const std::string &relative) const
{
    observe(relative);
    struct stat st
    { };
    return ::stat(path(relative).c_str(), &st) == 0;
}

std::filesystem::path SysfsReader::canonical(const std::string &relative) const
{
    std::error_code ec;
    auto resolved = std::filesystem::canonical(path(relative), ec);
    return ec ? std::filesystem::path() : resolved;
}

} // namespace macmon
