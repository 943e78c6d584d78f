// SPDX-License-Identifier: MIT
#pragma once

#include "common/files.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <sys/types.h>

namespace macmon {

// The program file this process was started from: an upgrade puts a new file at its path.
class OwnProgram
{
public:
    enum class State
    {
        Same,
        Replaced, // a new program lies at the path
        Gone // nothing runnable there any more (the package was removed)
    };

    // None when the file was already replaced or removed before the process looked.
    static std::optional<OwnProgram> current();
    const std::filesystem::path &path() const { return path_; }
    State state() const;
    // Runs the program at its path again in this process (same pid), passing listenFd on as its listener;
    // returns only when that fails, with listenFd still listening (perhaps under another number).
    orvane::Status reexec(int &listenFd, char *const argv[]) const;

private:
    std::filesystem::path path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// The listening socket a re-exec passed on to this process, if it is loopback TCP on port; taken once.
std::optional<int> inheritedListener(std::uint16_t port);

} // namespace macmon
