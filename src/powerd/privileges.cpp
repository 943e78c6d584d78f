// SPDX-License-Identifier: MIT
#include "privileges.h"

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace powerd {

namespace {

// Past any capability number a kernel has today; the loop ends earlier, where the kernel's list does.
constexpr int kMostCapabilities = 64;

struct Capabilities
{
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] {};
};

orvane::Failed failed(const char *what)
{
    return { std::string(what) + ": " + std::strerror(errno), errno };
}

} // namespace

orvane::Status dropPrivileges()
{
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return failed("cannot set no-new-privileges");
    // Shrinking the bounding set takes CAP_SETPCAP; without it (as under the unit) it stays as it came.
    for (int cap = 0; cap < kMostCapabilities && ::prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap)
        ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0)
        return failed("cannot clear the ambient capabilities");
    Capabilities none;
    if (::syscall(SYS_capset, &none.header, none.data) != 0)
        return failed("cannot drop capabilities");
    // Trust only what the kernel says is left.
    Capabilities left;
    if (::syscall(SYS_capget, &left.header, left.data) != 0)
        return failed("cannot read the capabilities left");
    for (const auto &d : left.data)
        if (d.effective || d.permitted || d.inheritable)
            return orvane::Failed { "capabilities are left after dropping them" };
    if (::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1)
        return orvane::Failed { "no-new-privileges did not hold" };
    return {};
}

} // namespace powerd
