// SPDX-License-Identifier: MIT
// The request head rules, checked on every verdict against a plain reading of the same bytes.
#include "common/text.h"
#include "http/wire.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using namespace macmon;
constexpr auto npos = std::string_view::npos;
constexpr char kTargetCharacters[] = "abcdefghijklmnopqrstuvwxyz0123456789-._~!$&'()*+,;=:@/?%[]";
const auto kHosts = http::hostsFor(47123);

void require(bool holds)
{
    if (!holds)
        std::abort();
}

// A passed head: CRLF line ends and no other control byte, a target of ours from the allowed characters, one
// Host of ours (or an absolute target of ours), no Transfer-Encoding, at most one Content-Length, of 0.
void requireSound(std::string_view head)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = head.find("\r\n", at)) != npos; at = end + 2)
        if (!lines.empty() || end > at)
            lines.push_back(orvane::lower(head.substr(at, end - at)));
    const auto sp = lines[0].find(' ');
    const std::string target = lines[0].substr(sp + 1, lines[0].rfind(' ') - sp - 1);
    const bool absolute = target.starts_with("http://");
    const std::string path = target.substr(absolute ? std::min(target.find('/', 7), target.size()) : 0);
    require(target.find_first_not_of(kTargetCharacters) == npos
        && (path == "/json" || path.starts_with("/json?")));
    require(!absolute || kHosts.contains(target.substr(7, target.size() - 7 - path.size())));
    int hosts = 0, lengths = 0;
    for (const auto &line : lines) {
        hosts += line.starts_with("host:");
        lengths += line.starts_with("content-length:");
        require(std::none_of(
            line.begin(), line.end(), [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; }));
        require(!line.starts_with("transfer-encoding:")
            && (!line.starts_with("content-length:")
                || (lengths == 1 && orvane::trim(line.substr(15)) == "0")));
        require(!line.starts_with("host:") || absolute || kHosts.contains(orvane::trim(line.substr(5))));
    }
    require(hosts == 1 || (hosts == 0 && absolute));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view in(reinterpret_cast<const char *>(data), size);
    std::string_view rest = in;
    while (rest.starts_with("\r\n"))
        rest.remove_prefix(2);
    const auto verdict = http::judge(in, kHosts, 8 * 1024);
    // Waiting for more only within the limit and before the head's end.
    if (!verdict)
        return require(in.size() <= 8 * 1024 && rest.find("\r\n\r\n") == npos), 0;
    require(verdict->length > 0 && verdict->length <= in.size()
        && verdict->headOnly == rest.starts_with("HEAD "));
    if (verdict->status == http::kOk)
        requireSound(in.substr(0, verdict->length));
    // A refusal never keeps the connection, a HEAD never gets a body.
    const std::string out = http::answer(verdict->status, *verdict);
    require((verdict->status == http::kOk || !verdict->keepAlive)
        && out.ends_with("\r\n\r\n") == (verdict->headOnly || verdict->status == http::kOk));
    require((out.find("\r\nConnection: close\r\n") != npos) != verdict->keepAlive);
    return 0;
}
