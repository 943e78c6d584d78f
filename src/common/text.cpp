// SPDX-License-Identifier: MIT
#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

namespace orvane {

std::string_view trimmed(std::string_view text, std::string_view blanks)
{
    const auto first = text.find_first_not_of(blanks);
    return first == std::string_view::npos ? std::string_view {}
                                           : text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string trim(const std::string &text)
{
    using namespace std::string_view_literals;
    return std::string(trimmed(text, " \t\n\r\0"sv));
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string lower(std::string_view text)
{
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::optional<long long> parseInteger(const std::string &text)
{
    const std::string t = trim(text);
    long long value = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size())
        return std::nullopt;
    return value;
}

std::optional<std::string> lineValue(const std::string &text, const std::string &key, char sep)
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const auto at = line.find(sep);
        if (at != std::string::npos && trim(line.substr(0, at)) == key)
            return trim(line.substr(at + 1));
        start = end + 1;
    }
    return std::nullopt;
}

std::string firstLine(const std::string &text)
{
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        if (!trim(line).empty())
            return trim(line);
    return {};
}

} // namespace orvane
