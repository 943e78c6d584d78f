// SPDX-License-Identifier: MIT
#pragma once

#include "base/environment.h"
#include "sources/source.h"

#include <memory>
#include <vector>

namespace macmon {

// Every driver family the service reads, each once.
std::vector<std::unique_ptr<Source>> makeFamilies(const Roots &roots);

} // namespace macmon
