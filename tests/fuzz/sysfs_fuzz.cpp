// SPDX-License-Identifier: MIT
// The sysfs and procfs text parsers: any bytes, and each result within what its reader promises.
#include "common/text.h"
#include "sensors/gpu.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0';
}

// Trimmed: no blank at either end, and found in the text it came from.
void requireTrimmedPart(const std::string &part, const std::string &text)
{
    require(part.empty()
        || (!blank(part.front()) && !blank(part.back()) && text.find(part) != std::string::npos));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace macmon;
    const std::string text(reinterpret_cast<const char *>(data), size);
    if (const auto mhz = parseCurrentClock(text))
        require(*mhz > 0 && *mhz <= 10000 && std::floor(*mhz) == *mhz && text.find('*') != std::string::npos);
    const std::string trimmed = trim(text);
    requireTrimmedPart(trimmed, text);
    require(trim(trimmed) == trimmed);
    if (const auto n = parseInteger(text))
        require(parseInteger(std::to_string(*n)) == n
            && trimmed.find_first_not_of("-0123456789") == std::string::npos);
    for (const auto &[key, sep] : { std::pair { "model name", ':' }, { "DRIVER", '=' } })
        if (const auto value = lineValue(text, key, sep))
            require(value->find('\n') == std::string::npos && (requireTrimmedPart(*value, text), true));
    const std::string line = firstLine(text);
    requireTrimmedPart(line, text);
    require(line.find('\n') == std::string::npos);
    const std::string lowered = lower(text);
    require(lowered.size() == text.size()
        && lowered.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos);
    return 0;
}
