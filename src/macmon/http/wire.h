// SPDX-License-Identifier: MIT
#pragma once

#include <set>
#include <string>
#include <string_view>

// The service's wire format: which request head gets which answer, and how answers are written.
namespace macmon::http {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr int kOk = 200;
constexpr int kTooLarge = 431;
constexpr int kUnavailable = 503;

struct Verdict
{
    int status = 400; // kOk: send the document
    bool headOnly = false; // a HEAD request: the answer's head without its body
    bool keepAlive = false; // the connection may carry another request after this answer
};

// head runs up to and including the blank line that ends it.
Verdict judge(std::string_view head, const std::set<std::string> &allowedHosts);

// The Host values a server on port answers to.
std::set<std::string> hostsFor(unsigned port);

// A whole answer for any status but kOk, whose body is the document the caller sends after this head.
std::string answer(int status, const Verdict &verdict, std::size_t documentSize = 0);

} // namespace macmon::http
