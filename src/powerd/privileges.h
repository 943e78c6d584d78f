// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>

namespace powerd {

// Sets no-new-privileges and gives up every capability (effective, permitted, inheritable, ambient, and the
// bounding set as far as this process may shrink it), for good. Nothing on success, else why not.
std::optional<std::string> dropPrivileges();

} // namespace powerd
