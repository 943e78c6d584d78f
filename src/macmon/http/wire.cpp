// SPDX-License-Identifier: MIT
#include "http/wire.h"

#include "common/text.h"

#include <algorithm>

namespace macmon::http {
namespace {

constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kJsonPath = "/json";
constexpr std::string_view kScheme = "http://";
constexpr auto npos = std::string_view::npos;

bool oneOf(char c, std::string_view set)
{
    return set.find(c) != npos;
}

bool isAlnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isToken(std::string_view s)
{
    return !s.empty()
        && std::all_of(s.begin(), s.end(), [](char c) { return isAlnum(c) || oneOf(c, "!#$%&'*+-.^_`|~"); });
}

// Unreserved and sub-delimiting characters, well-formed percent escapes, and the extra ones a part allows.
bool isUriText(std::string_view s, std::string_view extra)
{
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%') {
            if (i + 2 >= s.size() || !orvane::isHexDigit(s[i + 1]) || !orvane::isHexDigit(s[i + 2]))
                return false;
            i += 2;
        } else if (!isAlnum(s[i]) && !oneOf(s[i], "-._~!$&'()*+,;=") && !oneOf(s[i], extra)) {
            return false;
        }
    }
    return true;
}

// Visible characters, spaces, tabs and any byte above ASCII: no NUL, no other control byte.
bool isFieldValue(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c == '\t' || (c >= 0x20 && c != 0x7f);
    });
}

// A CR not followed by LF, or an LF without its CR: where one reader's line ends and another's does not.
bool hasBareLineEnd(std::string_view s)
{
    for (std::size_t i = 0; i < s.size(); ++i)
        if ((s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
            || (s[i] == '\r' && i + 1 < s.size() && s[i + 1] != '\n'))
            return true;
    return false;
}

// Optional white space around a field's value or a list's item: spaces and tabs alone.
std::string_view withoutOws(std::string_view s)
{
    return orvane::trimmed(s, " \t");
}

bool listHas(std::string_view list, std::string_view token)
{
    for (std::size_t at = 0; at <= list.size();) {
        const auto comma = std::min(list.find(',', at), list.size());
        if (orvane::lower(withoutOws(list.substr(at, comma - at))) == token)
            return true;
        at = comma + 1;
    }
    return false;
}

bool isHttpVersion(std::string_view v)
{
    return v.size() == 8 && v.starts_with("HTTP/") && v[5] >= '0' && v[5] <= '9' && v[6] == '.' && v[7] >= '0'
        && v[7] <= '9';
}

struct Target
{
    std::optional<std::string> authority; // the absolute form's host and port, lower case
    std::string_view path;
};

// The origin form ("/json?x") or the absolute form ("http://127.0.0.1:9090/json"); nothing else is ours.
std::optional<Target> parseTarget(std::string_view target)
{
    Target t;
    std::string_view rest = target;
    if (orvane::lower(target.substr(0, kScheme.size())) == kScheme) {
        rest = target.substr(kScheme.size());
        const auto slash = rest.find_first_of("/?");
        const auto authority = rest.substr(0, slash);
        if (!isUriText(authority, ":[]"))
            return std::nullopt;
        t.authority = orvane::lower(authority);
        rest = slash == npos ? std::string_view() : rest.substr(slash);
    } else if (!target.starts_with('/')) {
        return std::nullopt;
    }
    const auto query = rest.find('?');
    t.path = rest.substr(0, query);
    if (!isUriText(t.path, ":@/") || (query != npos && !isUriText(rest.substr(query + 1), ":@/?")))
        return std::nullopt;
    return t;
}

struct Status
{
    int code;
    const char *reason;
    const char *body;
};

constexpr Status kStatuses[] = {
    { 200, "OK", "" },
    { 400, "Bad Request", "bad request\n" },
    { 403, "Forbidden", "forbidden\n" },
    { 404, "Not Found", "not found\n" },
    { 405, "Method Not Allowed", "method not allowed\n" },
    { 431, "Request Header Fields Too Large", "request head too large\n" },
    { 503, "Service Unavailable", "no fresh sensor readings\n" },
    { 505, "HTTP Version Not Supported", "HTTP version not supported\n" },
};

const Status &statusOf(int code)
{
    for (const auto &s : kStatuses)
        if (s.code == code)
            return s;
    return kStatuses[1];
}

// The status of a complete head with CRLF line ends only; keepAlive is set for a request that may be
// followed by another.
int judgeHead(std::string_view head, const std::set<std::string> &allowedHosts, bool &keepAlive)
{
    const auto lineEnd = head.find(kCrlf);
    const std::string_view requestLine = head.substr(0, lineEnd);
    const auto sp1 = requestLine.find(' ');
    const auto sp2 = sp1 == npos ? npos : requestLine.find(' ', sp1 + 1);
    if (sp2 == npos || requestLine.find(' ', sp2 + 1) != npos)
        return 400;
    const std::string_view method = requestLine.substr(0, sp1);
    const std::string_view version = requestLine.substr(sp2 + 1);
    const auto target = parseTarget(requestLine.substr(sp1 + 1, sp2 - sp1 - 1));
    if (!isToken(method) || !target || !isHttpVersion(version))
        return 400;
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return 505;
    bool close = version == "HTTP/1.0", length = false;
    std::optional<std::string> host;
    for (auto at = lineEnd + kCrlf.size();;) {
        const auto end = head.find(kCrlf, at);
        const std::string_view line = head.substr(at, end - at);
        at = end + kCrlf.size();
        if (line.empty())
            break;
        const auto colon = line.find(':');
        // A name with spaces or a folded line is where request smuggling starts.
        if (colon == npos || !isToken(line.substr(0, colon)) || !isFieldValue(line.substr(colon + 1)))
            return 400;
        const std::string name = orvane::lower(line.substr(0, colon));
        const std::string_view value = withoutOws(line.substr(colon + 1));
        if (name == "host") {
            if (host || !isUriText(value, ":[]"))
                return 400;
            host = orvane::lower(value);
        } else if (name == "content-length" || name == "transfer-encoding") {
            // No body is read, so only one length of zero leaves the next request where it is expected.
            if (length || name != "content-length" || value != "0")
                return 400;
            length = true;
        } else if (name == "connection") {
            close = close || listHas(value, "close");
        }
    }
    if (!host && version == "HTTP/1.1")
        return 400;
    // Only our own names pass, so a web page cannot reach us through a rebound DNS name.
    const auto &authority = target->authority ? target->authority : host;
    if (!authority || !allowedHosts.contains(*authority))
        return 403;
    if (target->path != kJsonPath)
        return 404;
    if (method != "GET" && method != "HEAD")
        return 405;
    keepAlive = !close;
    return kOk;
}

} // namespace

std::set<std::string> hostsFor(unsigned port)
{
    std::set<std::string> hosts;
    // Appending, not literal + string: GCC 12 at -O3 reports a false -Wrestrict on the latter.
    for (const char *name : { "127.0.0.1", "localhost", "[::1]" })
        hosts.insert(std::string(name).append(":").append(std::to_string(port)));
    return hosts;
}

std::optional<Verdict> judge(
    std::string_view received, const std::set<std::string> &allowedHosts, std::size_t headBytes)
{
    // Empty lines before a request line are ignored, as a client may send one after an earlier request.
    std::size_t start = 0;
    while (received.substr(start).starts_with(kCrlf))
        start += kCrlf.size();
    const std::string_view rest = received.substr(start);
    const auto end = rest.find(kHeadEnd);
    const std::string_view head = end == npos ? rest : rest.substr(0, end + kHeadEnd.size());
    Verdict v;
    v.headOnly = rest.starts_with("HEAD ");
    v.length = start + head.size();
    if (hasBareLineEnd(head))
        return v;
    if (v.length > headBytes || (end == npos && received.size() > headBytes))
        v.status = kTooLarge;
    else if (end == npos)
        return std::nullopt;
    else
        v.status = judgeHead(head, allowedHosts, v.keepAlive);
    return v;
}

std::string answer(int status, const Verdict &verdict, std::size_t documentSize)
{
    const Status &s = statusOf(status);
    const std::string_view body = s.body;
    std::string out = "HTTP/1.1 " + std::to_string(s.code) + " " + s.reason + "\r\n";
    out += status == kOk ? "Content-Type: application/json\r\n"
                         : "Content-Type: text/plain; charset=utf-8\r\n";
    out += "Content-Length: " + std::to_string(status == kOk ? documentSize : body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    if (status == 405)
        out += "Allow: GET, HEAD\r\n";
    out += verdict.keepAlive ? "" : "Connection: close\r\n";
    out += kCrlf;
    if (!verdict.headOnly)
        out += body;
    return out;
}

} // namespace macmon::http
