// SPDX-License-Identifier: MIT
#include "sysfs/reader.h"

#include "common/files.h"
#include "common/text.h"

#include <algorithm>
#include <sys/stat.h>

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
    auto data = orvane::readFile(path(relative), maxBytes);
    return data ? std::optional(std::move(*data)) : std::nullopt;
}

std::optional<std::string> SysfsReader::text(const std::string &relative) const
{
    auto data = raw(relative);
    if (!data)
        return std::nullopt;
    const auto newline = data->find('\n');
    return orvane::trim(newline == std::string::npos ? *data : data->substr(0, newline));
}

std::optional<long long> SysfsReader::integer(const std::string &relative) const
{
    auto line = text(relative);
    return line ? orvane::parseInteger(*line) : std::nullopt;
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
