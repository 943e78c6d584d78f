// SPDX-License-Identifier: MIT
#pragma once

#include "common/files.h"
#include "service/process.h"

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace macmon {

// The detached daemon's side. detach() returns only in the detached grandchild, with the
// readiness channel; the calling process exits with 0 once reportReady("") is sent, else 1.
int detach();
// False when nobody heard it: the starter is gone, having given up waiting.
[[nodiscard]] bool reportReady(int channel, const std::string &error);
orvane::Status writePidFile(const std::filesystem::path &file);
void removePidFile(const std::filesystem::path &file);

// What a process must show before it is ours to stop: its program, its arguments, and an
// environment that names the same pid file and autostart entry as the caller's.
struct DaemonIdentity
{
    std::string execLine; // the autostart entry's Exec value
    std::filesystem::path pidFile;
    std::filesystem::path autostartFile;
};
bool isOurDaemon(pid_t pid, const DaemonIdentity &identity);

// Gone, or a zombie nobody has reaped yet: either way its sockets are closed.
bool processEnded(pid_t pid);

} // namespace macmon
