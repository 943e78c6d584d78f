// SPDX-License-Identifier: MIT
#include "net.h"
#include "sampler.h"
#include "server.h"
#include "support.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace macmon;
using namespace macmon::test;
using namespace std::chrono_literals;

namespace {

constexpr unsigned kConnections = 4;

std::string withPort(std::string text, std::uint16_t port)
{
    for (std::size_t at; (at = text.find("{P}")) != std::string::npos;)
        text.replace(at, 3, std::to_string(port));
    return text;
}

// A connected socket that sends nothing.
int idleConnection(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    return fd;
}

// How long until the server closes the socket; capped at limit.
std::chrono::milliseconds timeUntilClosed(int fd, std::chrono::milliseconds limit)
{
    const auto start = std::chrono::steady_clock::now();
    pollfd p { fd, POLLIN, 0 };
    char c;
    while (::poll(&p, 1, static_cast<int>(limit.count())) > 0 && ::recv(fd, &c, 1, 0) > 0) { }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

class HttpSurface : public ::testing::Test
{
protected:
    HttpSurface()
        : sampler_({ fixture("amd-desktop") / "sys", fixture("amd-desktop") / "proc" }, 1h)
        , server_(
              listenLoopback(0), [this] { return sampler_.document(); },
              ServerLimits { kConnections, 1s, 8192 })
    { }
    std::uint16_t port() const { return server_.port(); }

    Sampler sampler_;
    Server server_;
};

} // namespace

TEST_F(HttpSurface, AnswersByHostPathAndMethod)
{
    const std::vector<std::pair<std::string, int>> cases {
        { "GET /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n", 200 },
        { "GET /json HTTP/1.1\r\nHost: localhost:{P}\r\n", 200 },
        { "GET /json HTTP/1.1\r\nHost: LocalHost:{P}\r\n", 200 },
        { "GET /json HTTP/1.1\r\nHost: [::1]:{P}\r\n", 200 },
        { "GET /json?fresh=1 HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n", 200 },
        { "HEAD /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n", 200 },
        // DNS rebinding: a page on another name, the right address but another port, no port at all.
        { "GET /json HTTP/1.1\r\nHost: evil.example:{P}\r\n", 403 },
        { "GET /json HTTP/1.1\r\nHost: localhost.evil.example:{P}\r\n", 403 },
        { "GET /json HTTP/1.1\r\nHost: 127.0.0.1:1{P}\r\n", 403 },
        { "GET /json HTTP/1.1\r\nHost: 127.0.0.1\r\n", 403 },
        { "GET /json HTTP/1.0\r\n", 403 },
        { "GET / HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n", 404 },
        { "GET /json/ HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n", 404 },
        { "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n", 404 },
        { "POST /nothing HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nContent-Length: 0\r\n", 404 },
        { "POST /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nContent-Length: 2\r\n\r\n{}", 405 },
        { "PUT /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nContent-Length: 0\r\n", 405 },
        { "DELETE /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n", 405 },
        { "OPTIONS /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nOrigin: http://evil.example\r\n", 405 },
    };
    for (const auto &[request, status] : cases) {
        SCOPED_TRACE(request);
        std::string full = withPort(request, port());
        if (full.find("\r\n\r\n") == std::string::npos)
            full += "Connection: close\r\n\r\n";
        const auto answer = http(port(), full);
        EXPECT_EQ(answer.status, status);
        EXPECT_EQ(answer.head.find("Access-Control-"), std::string::npos);
        if (status == 405) {
            EXPECT_NE(answer.head.find("Allow: GET, HEAD"), std::string::npos);
        }
    }
}

TEST_F(HttpSurface, ServesTheDocumentAndHeadMatchesIt)
{
    const auto answer = get(port());
    ASSERT_EQ(answer.status, 200);
    EXPECT_NE(answer.head.find("Content-Type: application/json"), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(answer.body)["soc"]["chip_name"], "AMD Ryzen 9 5900X 12-Core Processor");
    const auto head = http(
        port(), withPort("HEAD /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nConnection: close\r\n\r\n", port()));
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_NE(head.head.find("Content-Length: " + std::to_string(answer.body.size())), std::string::npos);
}

TEST_F(HttpSurface, RefusesMalformedAndOversizedRequestsAndKeepsServing)
{
    const std::vector<std::string> bad {
        "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n",
        "GET /json HTTP/1.1\r\nHost 127.0.0.1\r\n\r\n",
        "GET /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nX-Padding: " + std::string(64 * 1024, 'a') + "\r\n\r\n",
        "GET /" + std::string(32 * 1024, 'j') + " HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\n\r\n",
    };
    for (const auto &request : bad) {
        SCOPED_TRACE(request.substr(0, 40));
        const auto answer = http(port(), withPort(request, port()));
        EXPECT_TRUE(answer.status == 0 || (answer.status >= 400 && answer.status < 600)) << answer.status;
        EXPECT_EQ(get(port()).status, 200);
    }
}

TEST_F(HttpSurface, DropsIdleClientsAndServesOthersMeanwhile)
{
    const int silent = idleConnection(port());
    EXPECT_EQ(get(port()).status, 200);
    // The idle limit is 1 s; MHD checks it on its own tick, so allow a few seconds.
    const auto closedAfter = timeUntilClosed(silent, 6s);
    ::close(silent);
    EXPECT_GE(closedAfter, 500ms);
    EXPECT_LT(closedAfter, 6s);
    EXPECT_EQ(get(port()).status, 200);
}

TEST_F(HttpSurface, BoundsTheNumberOfConnections)
{
    // Beyond the limit a client waits in the listen queue until a slot frees.
    std::vector<int> idle;
    for (unsigned i = 0; i < kConnections; ++i)
        idle.push_back(idleConnection(port()));
    const std::string request
        = withPort("GET /json HTTP/1.1\r\nHost: 127.0.0.1:{P}\r\nConnection: close\r\n\r\n", port());
    EXPECT_FALSE(exchange(port(), request, 300ms));
    for (int fd : idle)
        ::close(fd);
    EXPECT_EQ(get(port()).status, 200);
}

TEST(Sampling, RequestsAreServedFromMemoryAndRefreshedOnSchedule)
{
    ScratchDir scratch;
    const auto machine = copyMachine("arm-board", scratch.path() / "m");
    const fs::path temp = machine / "sys/class/thermal/thermal_zone0/temp";
    const auto cpuTemp = [](const Sampler &s) {
        return nlohmann::json::parse(*s.document())["temp"]["cpu_temp_avg"].get<double>();
    };
    Sampler slow({ machine / "sys", machine / "proc" }, 1h);
    Sampler fast({ machine / "sys", machine / "proc" }, 50ms);
    writeText(temp, "61000\n");
    EXPECT_DOUBLE_EQ(cpuTemp(slow), 47.236);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (cpuTemp(fast) != 61.0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_DOUBLE_EQ(cpuTemp(fast), 61.0);
    // Even with its machine gone the service keeps serving, now without that reading.
    fs::remove_all(machine);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(nlohmann::json::parse(*fast.document()).contains("temp"));
}

TEST(ServeCommand, QuietUntilStoppedThenExitsCleanly)
{
    ScratchDir scratch;
    const std::uint16_t port = freePort();
    const fs::path output = scratch.path() / "output";
    const Environment env { { "PATH", "/usr/bin:/bin" }, { "HOME", scratch.path().string() },
        { "MACMON_SYSFS_ROOT", (fixture("intel-laptop") / "sys").string() },
        { "MACMON_PROCFS_ROOT", (fixture("intel-laptop") / "proc").string() } };
    for (const int signal : { SIGTERM, SIGINT }) {
        SCOPED_TRACE(signal);
        Child serve({ MACMON_BINARY, "serve", "--port", std::to_string(port) }, env, output);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!answersJson(port, 1s) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        const auto answer = get(port);
        ASSERT_EQ(answer.status, 200);
        EXPECT_EQ(nlohmann::json::parse(answer.body)["sys_power"], 8.63);

        // A second service on the same port says why it cannot start.
        const auto second = runCommand({ MACMON_BINARY, "serve", "--port", std::to_string(port) }, env, 10s);
        EXPECT_EQ(second.exitCode, 1);
        EXPECT_EQ(second.err,
            "macmon: port " + std::to_string(port) + " on 127.0.0.1 is taken by another program\n");

        ::kill(serve.pid(), signal);
        EXPECT_EQ(serve.wait(10000), 0);
        EXPECT_FALSE(portOpen(port));
        EXPECT_EQ(readText(output), "");
    }
}
