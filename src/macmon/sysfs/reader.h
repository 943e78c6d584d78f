// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace macmon {

// Reads small text files below one root (a real /sys or /proc, or a recorded machine).
// Every failure (missing, unreadable, not a regular file, garbage) is an empty result.
class SysfsReader
{
public:
    // Told each relative path before it is opened, listed or looked up: a seam to count or stall reads.
    using Observer = std::function<void(const std::string &relative)>;

    explicit SysfsReader(std::filesystem::path root, Observer observer = {});

    std::filesystem::path path(const std::string &relative) const;

    // The whole file, up to maxBytes; longer files are cut there.
    std::optional<std::string> raw(const std::string &relative, std::size_t maxBytes = 4096) const;
    // The first line, without surrounding white space or trailing NULs.
    std::optional<std::string> text(const std::string &relative) const;
    // A base-10 integer filling the whole first line.
    std::optional<long long> integer(const std::string &relative) const;
    // Entry names of a folder, sorted; empty when it cannot be listed.
    std::vector<std::string> list(const std::string &relative) const;
    // Whether the entry is there, by its metadata alone: no driver is asked for a value.
    bool exists(const std::string &relative) const;
    // The entry's identity with every link resolved, for telling two paths to one device apart.
    std::filesystem::path canonical(const std::string &relative) const;

private:
    void observe(const std::string &relative) const;

    std::filesystem::path root_;
    Observer observer_;
};

} // namespace macmon
