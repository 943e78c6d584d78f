// SPDX-License-Identifier: MIT
#pragma once

#include "common/status.h"

namespace powerd {

// Sets no-new-privileges and gives up every capability (effective, permitted, inheritable, ambient, and the
// bounding set as far as this process may shrink it), for good.
orvane::Status dropPrivileges();

} // namespace powerd
