// SPDX-License-Identifier: MIT
#include "http/wire.h"

#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace macmon::http {
namespace {

constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kJsonPath = "/json";

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool isToken(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return std::isalnum(c)
            || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
    });
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

} // namespace

std::set<std::string> hostsFor(unsigned port)
{
    std::set<std::string> hosts;
    // Appending, not literal + string: GCC 12 at -O3 reports a false -Wrestrict on the latter.
    for (const char *name : { "127.0.0.1", "localhost", "[::1]" })
        hosts.insert(std::string(name).append(":").append(std::to_string(port)));
    return hosts;
}

Verdict judge(std::string_view head, const std::set<std::string> &allowedHosts)
{
    Verdict v;
    const auto lineEnd = head.find(kCrlf);
    const std::string_view requestLine = head.substr(0, lineEnd);
    const auto sp1 = requestLine.find(' ');
    const auto sp2 = requestLine.find(' ', sp1 == std::string_view::npos ? sp1 : sp1 + 1);
    if (sp1 == std::string_view::npos || sp2 == std::string_view::npos
        || requestLine.find(' ', sp2 + 1) != std::string_view::npos)
        return v;
    const std::string_view method = requestLine.substr(0, sp1);
    const std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = requestLine.substr(sp2 + 1);
    if (!isToken(method) || !target.starts_with('/'))
        return v;
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        v.status = version.starts_with("HTTP/") ? 505 : 400;
        return v;
    }
    bool close = version == "HTTP/1.0", body = false;
    std::optional<std::string> host;
    for (auto at = lineEnd + kCrlf.size(); at < head.size();) {
        const auto end = head.find(kCrlf, at);
        const std::string_view line = head.substr(at, end - at);
        at = end + kCrlf.size();
        if (line.empty())
            break;
        const auto colon = line.find(':');
        // A name with spaces or a folded line is where request smuggling starts.
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon)))
            return v;
        const std::string name = lower(line.substr(0, colon));
        const std::string value = lower(trimmed(line.substr(colon + 1)));
        if (name == "host") {
            if (host)
                return v;
            host = value;
        } else if (name == "connection") {
            close = close || value.find("close") != std::string::npos;
        } else if ((name == "content-length" && value != "0") || name == "transfer-encoding") {
            body = true;
        }
    }
    // Only our own names pass, so a web page cannot reach us through a rebound DNS name.
    if (!host || !allowedHosts.contains(*host))
        v.status = 403;
    else if (target.substr(0, target.find('?')) != kJsonPath)
        v.status = 404;
    else if (method != "GET" && method != "HEAD")
        v.status = 405;
    else
        v.status = kOk;
    v.headOnly = method == "HEAD";
    // A body is never read, so the connection cannot carry another request after it.
    v.keepAlive = v.status == kOk && !close && !body;
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
