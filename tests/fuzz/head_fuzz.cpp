// SPDX-License-Identifier: MIT
// The request head rules, checked on every verdict against a plain reading of the same bytes.
#include "common/text.h"
#include "http/wire.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

using namespace macmon;
using namespace macmon::http;
constexpr auto npos = std::string_view::npos;
const auto kHosts = hostsFor(47123);

void require(bool holds)
{
    if (!holds)
        std::abort();
}

bool startsWith(std::string_view s, std::string_view lowerPrefix)
{
    return lower(s.substr(0, lowerPrefix.size())) == lowerPrefix;
}

// Every LF after a CR, and every CR before an LF (or last, when more may follow).
bool crlfOnly(std::string_view s)
{
    for (std::size_t i = 0; i < s.size(); ++i)
        if ((s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
            || (s[i] == '\r' && i + 1 < s.size() && s[i + 1] != '\n'))
            return false;
    return true;
}

// A passed head: no control byte, a target of ours from the allowed characters, one Host line of ours (or
// an absolute target of ours), no Transfer-Encoding, and at most one Content-Length, of 0.
void requireSound(std::string_view head)
{
    require(crlfOnly(head) && std::none_of(head.begin(), head.end(), [](char c) {
        return (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7f;
    }));
    while (head.starts_with("\r\n"))
        head.remove_prefix(2);
    const auto sp = head.find(' ');
    const std::string_view target = head.substr(sp + 1, head.find(' ', sp + 1) - sp - 1);
    require(target.find_first_not_of(
                "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~!$&'()*+,;=:@/?%[]")
        == npos);
    const bool absolute = startsWith(target, "http://");
    const auto slash = absolute ? target.find('/', 7) : 0;
    require(slash != npos && (target.substr(slash) == "/json" || target.substr(slash).starts_with("/json?")));
    require(!absolute || kHosts.contains(lower(target.substr(7, slash - 7))));
    int hosts = 0, lengths = 0;
    for (auto at = head.find("\r\n"); at + 4 < head.size(); at = head.find("\r\n", at + 2)) {
        const std::string line(head.substr(at + 2, head.find("\r\n", at + 2) - at - 2));
        require(!startsWith(line, "transfer-encoding:"));
        if (startsWith(line, "host:") && ++hosts)
            require(absolute || kHosts.contains(lower(trim(line.substr(5)))));
        if (startsWith(line, "content-length:"))
            require(++lengths == 1 && trim(line.substr(15)) == "0");
    }
    require(hosts == 1 || (hosts == 0 && absolute));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view in(reinterpret_cast<const char *>(data), size);
    const auto verdict = judge(in, kHosts, 8 * 1024);
    std::string_view rest = in;
    while (rest.starts_with("\r\n"))
        rest.remove_prefix(2);
    if (!verdict) {
        // Waiting for more: within the limit, no head end and no broken line end yet.
        require(in.size() <= 8 * 1024 && rest.find("\r\n\r\n") == npos && crlfOnly(rest));
        return 0;
    }
    require(verdict->length > 0 && verdict->length <= in.size());
    require(verdict->headOnly == rest.starts_with("HEAD "));
    // A refusal never keeps the connection; a HEAD never gets a body.
    require(verdict->status == kOk || !verdict->keepAlive);
    if (verdict->status == kOk)
        requireSound(in.substr(0, verdict->length));
    const std::string out = answer(verdict->status, *verdict);
    require(out.ends_with("\r\n\r\n") == (verdict->headOnly || verdict->status == kOk));
    require((out.find("\r\nConnection: close\r\n") != npos) != verdict->keepAlive);
    return 0;
}
