// SPDX-License-Identifier: MIT
#pragma once

#include "sysfs/reader.h"

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace macmon {

// True for prefix + digits + suffix (e.g. "temp3_input"); the digits go to number.
bool numbered(const std::string &s, const std::string &prefix, const std::string &suffix,
    std::string *number = nullptr);
bool startsWith(const std::string &s, const std::string &prefix);

struct Input
{
    std::string label; // empty when the chip gives none
    std::string file;
};

// The inputs of one kind ("temp", "power") in a hwmon folder, with their labels.
std::vector<Input> labelledInputs(const SysfsReader &sys, const std::string &dir, const std::string &kind);
// The file with that label, or "" when none has it.
std::string labelled(const std::vector<Input> &inputs, const std::string &label);
std::string firstThere(const SysfsReader &sys, std::initializer_list<std::string> files);

// A value a source knows the file of; a file that is gone (not merely unreadable) marks what the source
// knows as outdated, so that the sensors are looked for again at once.
std::optional<long long> integerAt(const SysfsReader &sys, const std::string &file, bool &outdated);
// A temperature input in millidegrees, within what a machine can physically give.
std::optional<double> celsiusAt(const SysfsReader &sys, const std::string &file, bool &outdated);

} // namespace macmon
