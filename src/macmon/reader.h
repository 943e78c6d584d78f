// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace macmon {

// Reads small text files below one root (a real /sys or /proc, or a recorded machine).
// Every failure (missing, unreadable, not a regular file, garbage) is an empty result.
class SysfsReader
{
public:
    explicit SysfsReader(std::filesystem::path root);

    const std::filesystem::path &root() const { return root_; }
    std::filesystem::path path(const std::string &relative) const;

    // The whole file, up to maxBytes; longer files are cut there.
    std::optional<std::string> raw(const std::string &relative, std::size_t maxBytes = 4096) const;
    // The first line, without surrounding white space or trailing NULs.
    std::optional<std::string> text(const std::string &relative) const;
    // A base-10 integer filling the whole first line.
    std::optional<long long> integer(const std::string &relative) const;
    // Entry names of a folder, sorted; empty when it cannot be listed.
    std::vector<std::string> list(const std::string &relative) const;

private:
    std::filesystem::path root_;
};

// A whole small file by its absolute path, with the same rules as SysfsReader::raw.
std::optional<std::string> readFile(const std::filesystem::path &file, std::size_t maxBytes = 4096);

std::optional<long long> parseInteger(const std::string &text);
std::string trim(const std::string &text);

} // namespace macmon
