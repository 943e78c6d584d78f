// SPDX-License-Identifier: MIT
// The sysfs and procfs text parsers: any bytes, and each result within what its reader promises.
#include "common/text.h"
#include "sources/amdgpu.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace macmon;
    const std::string text(reinterpret_cast<const char *>(data), size);
    const auto inText = [&text](const std::string &part) {
        return part == orvane::trim(part) && text.find(part) != std::string::npos;
    };
    const auto oneLine = [&](const std::optional<std::string> &part) {
        return !part || (inText(*part) && part->find('\n') == std::string::npos);
    };
    const auto mhz = parseCurrentClock(text);
    const auto n = orvane::parseInteger(text);
    const bool sound = (!mhz
                           || (*mhz > 0 && *mhz <= 10000 && std::floor(*mhz) == *mhz
                               && text.find('*') != std::string::npos))
        && (!n
            || (orvane::parseInteger(std::to_string(*n)) == n
                && orvane::trim(text).find_first_not_of("-0123456789") == std::string::npos))
        && oneLine(orvane::lineValue(text, "model name", ':'))
        && oneLine(orvane::lineValue(text, "DRIVER", '=')) && oneLine(orvane::firstLine(text))
        && inText(orvane::trim(text)) && orvane::lower(text).size() == size
        && orvane::lower(text).find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos;
    if (!sound)
        std::abort();
    return 0;
}
