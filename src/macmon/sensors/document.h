// SPDX-License-Identifier: MIT
#pragma once

#include "sensors/readings.h"

#include <string>

namespace macmon {

// The metrics document served at /json: the one place that knows its member names and units.
std::string renderDocument(const Readings &readings);

} // namespace macmon
