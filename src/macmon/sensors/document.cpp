// SPDX-License-Identifier: MIT
#include "sensors/document.h"

#include <nlohmann/json.hpp>

namespace macmon {

std::string renderDocument(const Readings &r)
{
    // A reading this machine does not give is left out, never written as 0 or null.
    nlohmann::json doc = nlohmann::json::object();
    nlohmann::json temp = nlohmann::json::object();
    if (r.cpuTempC)
        temp["cpu_temp_avg"] = *r.cpuTempC;
    if (r.gpuTempC)
        temp["gpu_temp_avg"] = *r.gpuTempC;
    if (!temp.empty())
        doc["temp"] = std::move(temp);
    if (r.chipName)
        doc["soc"] = { { "chip_name", *r.chipName } };
    if (r.socPowerW)
        doc["sys_power"] = *r.socPowerW;
    if (r.gpuUsage)
        doc["gpu_usage"] = nlohmann::json::array({ r.gpuUsage->frequencyMhz, r.gpuUsage->busy });
    // Invalid UTF-8 from a firmware string is replaced rather than ending the service.
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace macmon
