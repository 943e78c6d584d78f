// SPDX-License-Identifier: MIT
#include "http/loopback.h"
#include "http/server.h"
#include "support/machine.h"
#include "support/peer.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kDocument[] = R"({"soc":{"chip_name":"Test CPU"}})";

bool closedByPeer(int fd)
{
    pollfd p { fd, POLLIN, 0 };
    char c;
    return ::poll(&p, 1, 0) > 0 && ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// The server's document source gives the document, none (no fresh reading), or takes its time.
class HttpSurface : public ::testing::Test
{
protected:
    // Half the real head time keeps the deadline tests short.
    HttpSurface()
        : server_(listenLoopback(0),
            [this] {
                std::this_thread::sleep_for(delay_.load());
                return fresh_ ? std::make_shared<const std::string>(kDocument) : nullptr;
            },
            { .headTime = 1000ms })
    { }
    std::uint16_t port() const { return server_.port(); }
    std::chrono::milliseconds timedGet(const std::string &path = "/json", int status = 200)
    {
        const auto start = Clock::now();
        EXPECT_EQ(get(port(), path).status, status);
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    }

    std::atomic<bool> fresh_ = true;
    std::atomic<std::chrono::milliseconds> delay_ = 0ms;
    Server server_;
};

} // namespace

TEST_F(HttpSurface, AnswersByHostPathAndMethod)
{
    const std::vector<std::pair<std::string, int>> cases {
        { "GET /json HTTP/1.1\r\nHost: LocalHost:{P}\r\n", 200 },
        { "GET /json HTTP/1.1\r\nhost:[::1]:{P} \r\n", 200 },
        { "GET /json?fresh=1 HTTP/1.0\r\nHost: 127.0.0.1:{P}\r\n", 200 },
        // DNS rebinding: a page on another name, the right address but another port, no port at all.
        { "GET /json HTTP/1.1\r\nHost: localhost.evil.example:{P}\r\n", 403 },
        { "GET /json HTTP/1.1\r\nHost: 127.0.0.1:1{P}\r\n", 403 },
        { "GET /json HTTP/1.1\r\nHost: 127.0.0.1\r\n", 403 },
        { "GET /json HTTP/1.0\r\n", 403 },
        // Two Host lines, a folded or nameless header: where request smuggling starts.
        { "GET /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nHost: evil.example\r\n", 400 },
        { "GET /json HTTP/1.1\r\nHost: evil.example\r\n Host: 127.0.0.1:{P}\r\n", 400 },
        { "GET /json HTTP/1.1\r\nHost 127.0.0.1:{P}\r\n", 400 },
        { "GET /json HTTP/2.0\r\nHost: 127.0.0.1:{P}\r\n", 505 },
        { "GET /json/ HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n", 404 },
        { "POST /nothing HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nContent-Length: 0\r\n", 404 },
        { "POST /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nContent-Length: 2\r\n\r\n{}", 405 },
        { "OPTIONS /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nOrigin: http://evil.example\r\n", 405 },
    };
    for (const auto &[request, status] : cases) {
        SCOPED_TRACE(request);
        const auto answer
            = http(port(), request.ends_with("\r\n\r\n{}") ? request : request + "Connection: close\r\n\r\n");
        EXPECT_EQ(answer.status, status);
        EXPECT_EQ(answer.head.find("Access-Control-"), std::string::npos);
        EXPECT_EQ(answer.head.find("Allow: GET, HEAD") != std::string::npos, status == 405);
        EXPECT_EQ(answer.body, status == 200 ? kDocument : answer.body);
    }
}

TEST_F(HttpSurface, HeadKeepAliveAndNoFreshReading)
{
    // A kept-alive connection answers requests sent ahead, each in turn, then closes when asked.
    const auto raw = exchange(port(),
        withPort("HEAD /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n\r\n"
                 "GET /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nConnection: close\r\n\r\n",
            port()),
        5s);
    ASSERT_TRUE(raw);
    const std::string head = raw->substr(0, raw->find("HTTP/1.1 200 OK", 1));
    EXPECT_NE(
        head.find("Content-Length: " + std::to_string(std::strlen(kDocument)) + "\r\n"), std::string::npos);
    EXPECT_TRUE(head.ends_with("\r\n\r\n")) << *raw;
    EXPECT_TRUE(raw->ends_with(std::string("\r\n\r\n") + kDocument)) << *raw;

    fresh_ = false;
    const auto answer = get(port());
    EXPECT_EQ(answer.status, 503);
    EXPECT_EQ(answer.body, "no fresh sensor readings\n");
}

TEST_F(HttpSurface, RefusesOversizedRequestsAndKeepsServing)
{
    for (const auto &request : { "GET /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nX-Padding: "
                 + std::string(64 * 1024, 'a') + "\r\n\r\n",
             "GET /" + std::string(32 * 1024, 'j') + " HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n\r\n" }) {
        const auto answer = http(port(), request);
        EXPECT_EQ(answer.status, 431);
        EXPECT_EQ(get(port()).status, 200);
    }
}

TEST_F(HttpSurface, ASlowDocumentHoldsUpNoOtherAnswer)
{
    delay_ = 700ms;
    std::thread waiting([this] { EXPECT_GE(timedGet(), 600ms); });
    std::this_thread::sleep_for(100ms);
    EXPECT_LT(timedGet("/", 404), 400ms);
    waiting.join();
}

// Windows are wide for a loaded machine; the figures themselves come from a quiet one.
TEST_F(HttpSurface, SilentAndSlowClientsCannotStarveOthers)
{
    rlimit files {};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
    // 1,000 that send nothing, then 256 that send their head a byte at a time, never finishing it.
    for (const int count : { 1000, 256 }) {
        SCOPED_TRACE(count);
        const auto start = Clock::now();
        std::vector<int> clients;
        for (int i = 0; i < count; ++i)
            clients.push_back(connectLoopback(port()));
        std::atomic<bool> done = false;
        std::thread drip([&] {
            for (; count == 256 && !done; std::this_thread::sleep_for(100ms))
                for (int fd : clients)
                    ::send(fd, "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        for (int i = 0; i < 3; ++i)
            EXPECT_LT(timedGet(), 750ms);
        // The head's deadline counts from the connection's start, however often a byte comes.
        std::this_thread::sleep_for(750ms - (Clock::now() - start));
        EXPECT_FALSE(closedByPeer(clients.back()));
        std::this_thread::sleep_for(1250ms);
        EXPECT_TRUE(closedByPeer(clients.back()));
        done = true;
        drip.join();
        for (int fd : clients)
            ::close(fd);
    }
}
