// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Small text helpers shared by every layer; none of them does I/O.
namespace orvane {

std::string trim(const std::string &text);
// Without the given blanks at either end; trim's are white space, line ends and NUL.
std::string_view trimmed(std::string_view text, std::string_view blanks);
bool isHexDigit(char c);
std::string lower(std::string_view text);
// A base-10 integer filling the whole text but for surrounding white space.
std::optional<long long> parseInteger(const std::string &text);
// The value of the first "key<sep>value" line, e.g. "DRIVER=i915" or "model name\t: ...".
std::optional<std::string> lineValue(const std::string &text, const std::string &key, char sep);
// The first non-empty line of text, for one-line error messages.
std::string firstLine(const std::string &text);

} // namespace orvane
