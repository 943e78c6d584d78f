// SPDX-License-Identifier: MIT
#include "sysfs/hwmon.h"

#include "sysfs/plausible.h"

#include <algorithm>
#include <cctype>

namespace macmon {

bool startsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool numbered(const std::string &s, const std::string &prefix, const std::string &suffix, std::string *number)
{
    if (s.size() <= prefix.size() + suffix.size() || !startsWith(s, prefix)
        || s.compare(s.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string digits = s.substr(prefix.size(), s.size() - prefix.size() - suffix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    if (number)
        *number = digits;
    return true;
}

std::vector<Input> labelledInputs(const SysfsReader &sys, const std::string &dir, const std::string &kind)
{
    std::vector<Input> inputs;
    for (const auto &entry : sys.list(dir)) {
        std::string n;
        if (numbered(entry, kind, "_input", &n))
            inputs.push_back({ sys.text(dir + "/" + kind + n + "_label").value_or(""), dir + "/" + entry });
    }
    return inputs;
}

std::string labelled(const std::vector<Input> &inputs, const std::string &label)
{
    const auto it
        = std::find_if(inputs.begin(), inputs.end(), [&](const Input &i) { return i.label == label; });
    return it != inputs.end() ? it->file : std::string();
}

std::string firstThere(const SysfsReader &sys, std::initializer_list<std::string> files)
{
    for (const auto &f : files)
        if (sys.exists(f))
            return f;
    return {};
}

std::optional<long long> integerAt(const SysfsReader &sys, const std::string &file, bool &outdated)
{
    auto value = sys.integer(file);
    // Asked only after a failed read, which is rare: a sensor that errs now and then is still there.
    if (!value && !sys.exists(file))
        outdated = true;
    return value;
}

std::optional<double> celsiusAt(const SysfsReader &sys, const std::string &file, bool &outdated)
{
    const auto milli = integerAt(sys, file, outdated);
    return milli ? plausibleCelsius(static_cast<double>(*milli) / 1000.0) : std::nullopt;
}

} // namespace macmon
