// SPDX-License-Identifier: MIT
#include "CompanionManager.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

// No document of ours nests deeper than 2; a body of brackets would cost the GUI thread time and memory.
constexpr int kMaxDepth = 32;

} // namespace

bool CompanionManager::nestedTooDeep(QByteArrayView body)
{
    int depth = 0;
    bool inString = false, escaped = false;
    for (const char c : body) {
        if (inString) {
            inString = escaped || c != '"';
            escaped = !escaped && c == '\\';
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth)
                return true;
        } else if (c == ']' || c == '}') {
            depth = std::max(depth - 1, 0);
        }
    }
    return false;
}

namespace {

std::optional<double> number(const json &value)
{
    return value.is_number() ? std::optional(value.get<double>()) : std::nullopt;
}

std::optional<double> number(const json &object, const char *key)
{
    const auto it = object.find(key);
    return it != object.end() ? number(*it) : std::nullopt;
}

const json *objectMember(const json &object, const char *key)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_object() ? &*it : nullptr;
}

} // namespace

std::optional<CompanionSensors> CompanionManager::parse(QByteArrayView body)
{
    // nlohmann takes a NUL byte for the end of input; in a JSON text it can only be garbage.
    if (body.contains('\0') || nestedTooDeep(body))
        return std::nullopt;
    const json document = json::parse(body.begin(), body.end(), nullptr, false);
    if (document.is_discarded() || !document.is_object() || document.contains("error"))
        return std::nullopt;

    CompanionSensors readings;
    if (const json *temp = objectMember(document, "temp")) {
        readings.cpuTempC = number(*temp, "cpu_temp_avg");
        readings.gpuTempC = number(*temp, "gpu_temp_avg");
    }
    if (const json *soc = objectMember(document, "soc")) {
        const auto name = soc->find("chip_name");
        if (name != soc->end() && name->is_string())
            readings.chipName = QString::fromStdString(name->get<std::string>());
    }
    readings.socPowerW = number(document, "sys_power");
    if (const auto usage = document.find("gpu_usage");
        usage != document.end() && usage->is_array() && usage->size() >= 2) {
        // A fraction of the time busy: anything outside 0..1 is no reading.
        if (const auto fraction = number((*usage)[1]); fraction && *fraction >= 0 && *fraction <= 1)
            readings.gpuUsagePct = *fraction * 100.0;
    }

    if (!readings.cpuTempC && !readings.gpuTempC && !readings.socPowerW && !readings.gpuUsagePct)
        return std::nullopt;
    return readings;
}
