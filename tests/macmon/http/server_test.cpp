// SPDX-License-Identifier: MIT
#include "http/connection.h"
#include "http/loopback.h"
#include "http/server.h"
#include "http/wire.h"
#include "support/machine.h"
#include "support/peer.h"

#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
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

// Sends on a socket made beforehand, as connecting it needs no descriptor.
bool send(int fd, std::uint16_t port, const std::string &request, bool halfClose = false)
{
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0
        && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())
        && (!halfClose || ::shutdown(fd, SHUT_WR) == 0);
}

// The server's document source gives the document, none (no fresh reading), or takes its time.
class HttpSurface : public ::testing::Test
{
protected:
    // Half the real head time keeps the deadline tests short.
    HttpSurface()
        : server_(listenLoopback(0).value().release(),
            [this] {
                ++asked_;
                while (held_)
                    std::this_thread::sleep_for(1ms);
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
    std::atomic<bool> held_ = false; // the document is not ready until released
    std::atomic<int> asked_ = 0;
    Server server_;
};

} // namespace

TEST_F(HttpSurface, AnswersByHostPathAndMethod)
{
    // The head corpus (port 47123), 400 unless listed; a refusal is sent as it is, as the server closes it.
    const std::map<std::string, int> statuses { { "absolute-form-own-host", 200 }, { "get", 200 },
        { "head-http10", 200 }, { "leading-empty-line", 200 }, { "host-ipv6-lowercase-name", 200 },
        { "absolute-form-decides-over-host", 200 }, { "absolute-form-other-host", 403 },
        { "rebound-name", 403 }, { "other-port", 403 }, { "no-port", 403 }, { "http10-without-host", 403 },
        { "head-other-path", 404 }, { "post-other-path", 404 }, { "options-with-origin", 405 },
        { "oversized", 431 }, { "long-target", 431 }, { "head-http2", 505 }, { "exact-size-limit", 200 },
        { "head-after-empty-line", 200 } };
    for (const auto &file : fs::directory_iterator(fs::path(FUZZ_CORPUS) / "head")) {
        std::string request = readText(file.path());
        for (std::size_t at; (at = request.find("47123")) != std::string::npos;)
            request.replace(at, 5, "{P}");
        const int status
            = statuses.contains(file.path().filename()) ? statuses.at(file.path().filename()) : 400;
        if (status == 200)
            request.insert(request.size() - 2, "Connection: close\r\n");
        SCOPED_TRACE(request.substr(0, 200));
        const auto answer = test::http(port(), request);
        EXPECT_EQ(answer.status, status);
        EXPECT_NE(answer.head.find("\r\nConnection: close"), std::string::npos);
        EXPECT_EQ(answer.head.find("Access-Control-"), std::string::npos);
        EXPECT_EQ(answer.head.find("Allow: GET, HEAD") != std::string::npos, status == 405);
        // A HEAD gets no body, whatever its answer, but the length of the document.
        const bool head = request.find("HEAD ") < 3;
        EXPECT_EQ(answer.head.find("Content-Length: 32\r\n") != std::string::npos, status == 200);
        EXPECT_EQ(answer.body, head ? "" : status == 200 ? kDocument : answer.body);
    }
}

TEST_F(HttpSurface, ASlowDocumentHoldsUpNoOtherAnswer)
{
    held_ = true;
    std::atomic<bool> answered = false;
    std::thread waiting([this, &answered] {
        EXPECT_EQ(get(port()).status, 200);
        answered = true;
    });
    while (asked_ == 0)
        std::this_thread::sleep_for(1ms);
    // Answered while the document is still on its way.
    EXPECT_EQ(get(port(), "/").status, 404);
    EXPECT_FALSE(answered);
    held_ = false;
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
            clients.push_back(connectLoopback(port()).release());
        std::atomic<bool> done = false;
        std::thread drip([&] {
            for (; count == 256 && !done; std::this_thread::sleep_for(100ms))
                for (int fd : clients)
                    ::send(fd, "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        for (int i = 0; i < 3; ++i)
            EXPECT_LT(timedGet(), 750ms);
        // The head's deadline counts from the connection's start, however often a byte comes.
        while (!closedByPeer(clients.back()) && Clock::now() - start < 10s)
            std::this_thread::sleep_for(10ms);
        EXPECT_GE(Clock::now() - start, 1000ms);
        EXPECT_LT(Clock::now() - start, 10s);
        done = true;
        drip.join();
        for (int fd : clients)
            ::close(fd);
    }
}

TEST_F(HttpSurface, AnswersClientsThatHalfClose)
{
    // As "nc -N" does; a pipelining client gets its complete requests answered in turn, the unfinished not.
    const std::string request = withPort("GET /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n\r\n", port());
    int answered = 0;
    for (int i = 0; i < 200; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        answered += send(fd, port(), request, true) && receive(fd).ends_with(kDocument);
    }
    EXPECT_EQ(answered, 200);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(send(fd, port(), request + "HEAD" + request.substr(3) + "GET /json HTTP/1.1\r\n", true));
    const std::string got = receive(fd), expected = "HTTP/1.1 200 OK\r\n";
    EXPECT_EQ(got.find(expected, got.find(expected) + 1), got.find(kDocument) + sizeof kDocument - 1);
    EXPECT_TRUE(got.ends_with("\r\n\r\n")) << got;
}

// Plain calls only while the table is full (no fixture member, 503s): UBSan's vptr check needs a descriptor.
TEST_F(HttpSurface, OutOfDescriptorsNeitherSpinsNorDropsTheAccepted)
{
    fresh_ = false;
    const std::uint16_t p = port();
    const std::string request
        = withPort("GET /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nConnection: close\r\n\r\n", p);
    const int held = ::socket(AF_INET, SOCK_STREAM, 0), waiting = ::socket(AF_INET, SOCK_STREAM, 0),
              refused = ::socket(AF_INET, SOCK_STREAM, 0);
    std::vector<int> fillers;
    for (int fd; (fd = ::fcntl(0, F_DUPFD_CLOEXEC, 0)) >= 0;)
        fillers.push_back(fd);
    ::close(fillers.back()), fillers.pop_back();
    const auto start = Clock::now();
    const std::clock_t cpu = std::clock();
    const bool sent = send(held, p, "GET") && send(waiting, p, request);
    std::this_thread::sleep_for(500ms);
    const bool heldOpen = !closedByPeer(held);
    // The held connection's deadline passes, and the one waiting in the backlog takes its descriptor.
    const std::string answer = receive(waiting, 3000);
    const auto answeredAfter = Clock::now() - start;
    for (int fd = -1; fd < 0 && Clock::now() - start < 5s; std::this_thread::sleep_for(10ms))
        if ((fd = ::fcntl(0, F_DUPFD_CLOEXEC, 0)) >= 0)
            fillers.push_back(fd);
    const bool refusedSent = send(refused, p, "GET");
    std::this_thread::sleep_for(500ms);
    // Two windows of half a second each, in which a spinning loop would take all the CPU time it could.
    const auto usedCpuMs = (std::clock() - cpu) * 1000 / CLOCKS_PER_SEC;
    for (int fd : fillers)
        ::close(fd);

    EXPECT_TRUE(sent && heldOpen && refusedSent && answer.starts_with("HTTP/1.1 503 ")) << answer;
    EXPECT_LT(usedCpuMs, 300);
    EXPECT_GE(answeredAfter, 900ms);
    EXPECT_EQ(receive(refused, 3000), "");
    fresh_ = true;
    EXPECT_EQ(get(port()).status, 200);
}

TEST(Head, ACarriageReturnAtTheEndOfWhatCameWaitsForItsLineFeed)
{
    for (const char *sent : { "GET /json HTTP/1.1\r", "GET /json HTTP/1.1\r\nHost: 127.0.0.1:1\r\n\r" })
        EXPECT_FALSE(macmon::http::judge(sent, macmon::http::hostsFor(1), 8192)) << sent;
}

TEST(Eviction, AnAnsweredOneThenTheOldestOverdueNeverANewcomer)
{
    using S = Connection::State;
    constexpr auto headTime = 1000ms;
    // each connection, oldest first: its state and how long ago it came; the one that makes way (-1: none)
    const std::vector<std::tuple<const char *, std::vector<std::pair<S, std::chrono::milliseconds>>, int>>
        cases {
            { "the oldest of the overdue",
                { { S::Reading, 300ms }, { S::Reading, 200ms }, { S::Reading, 60ms } }, 0 },
            { "an answered one first", { { S::Reading, 300ms }, { S::Closing, 10ms } }, 1 },
            { "none being answered", { { S::Waiting, 300ms }, { S::Writing, 300ms }, { S::Reading, 100ms } },
                2 },
            { "no newcomer within its grace", { { S::Reading, 40ms }, { S::Reading, 10ms } }, -1 },
        };
    const auto now = orvane::Clock::now();
    for (const auto &[what, standing, expected] : cases) {
        SCOPED_TRACE(what);
        Connections connections;
        for (const auto &[state, age] : standing) {
            connections.emplace_back();
            connections.back().state = state;
            connections.back().deadline = now - age + headTime;
        }
        const auto chosen = makesWay(connections, now, headTime);
        EXPECT_EQ(chosen == connections.end() ? -1 : std::distance(connections.begin(), chosen), expected);
    }
}
