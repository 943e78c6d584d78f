// SPDX-License-Identifier: MIT
#pragma once

#include "common/fd.h"
#include "common/status.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace orvane {

// A whole small file, up to maxBytes (longer files are cut there); nothing unless it is a regular file.
// Non-blocking, so a FIFO or a stuck device file cannot hang the caller; the failure's code is the errno.
Result<std::string> readFile(const std::filesystem::path &file, std::size_t maxBytes = 4096);

// Writes beside the file and renames, so a reader never sees half a file; nothing is left on failure.
Status writeFileAtomically(const std::filesystem::path &file, const std::string &text);

// Creates folder if needed and keeps it to this user.
void makePrivateFolder(const std::filesystem::path &folder);

// An exclusive flock on a file, held while this lives; waits at most timeout for it.
class FileLock
{
public:
    FileLock(const std::filesystem::path &file, std::chrono::milliseconds timeout);
    bool held() const { return held_; }
    // Why the file could not be opened; empty when it was (and then only another holder keeps it).
    const std::string &error() const { return error_; }

private:
    std::string error_;
    Fd fd_;
    bool held_ = false;
};

} // namespace orvane
