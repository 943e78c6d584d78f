// SPDX-License-Identifier: MIT
// The companion's reading of a metrics document: any bytes, and readings only within their meaning.
#include "CompanionManager.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto r = CompanionManager::parse(QByteArrayView(data, static_cast<qsizetype>(size)));
    // Readings only when there is one to show, and a busy share within 0..100 %, never infinite.
    if (r
        && (!(r->cpuTempC || r->gpuTempC || r->socPowerW || r->gpuUsagePct)
            || (r->gpuUsagePct && !(*r->gpuUsagePct >= 0 && *r->gpuUsagePct <= 100))))
        std::abort();
    return 0;
}
