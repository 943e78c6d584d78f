// SPDX-License-Identifier: MIT
#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

namespace macmon {

std::string trim(const std::string &text)
{
    const auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0';
    };
    auto begin = std::find_if_not(text.begin(), text.end(), blank);
    auto end = std::find_if_not(text.rbegin(), std::make_reverse_iterator(begin), blank).base();
    return std::string(begin, end);
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

} // namespace macmon
