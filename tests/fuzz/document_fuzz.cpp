// SPDX-License-Identifier: MIT
// The companion's reading of a metrics document: any bytes, and readings only within their meaning.
#include "CompanionManager.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto readings = CompanionManager::parse(QByteArrayView(data, static_cast<qsizetype>(size)));
    if (!readings)
        return 0;
    bool any = false;
    for (const auto &value :
        { readings->cpuTempC, readings->gpuTempC, readings->socPowerW, readings->gpuUsagePct }) {
        if (value && !std::isfinite(*value))
            std::abort();
        any = any || value;
    }
    if (!any || (readings->gpuUsagePct && (*readings->gpuUsagePct < 0 || *readings->gpuUsagePct > 100)))
        std::abort();
    return 0;
}
