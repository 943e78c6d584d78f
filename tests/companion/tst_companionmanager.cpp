// SPDX-License-Identifier: MIT
#include "CompanionManager.h"
#include "MetricsPoll.h"
#include "ScratchEnvironment.h"
#include "TestHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <unistd.h>

using Mode = TestHttpServer::Mode;
using namespace Qt::StringLiterals;
#ifdef __SANITIZE_ADDRESS__
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

// One row of the poll table: the peer's answer, the outcome, how many polls, and each poll's time window.
struct Poll
{
    Mode mode;
    int code; // 0: nothing listens
    QByteArray headers, body;
    bool running;
    int polls = 1, minMs = 0, maxMs = 1000;
};

// Resident memory; under ASan, whose quarantine keeps freed blocks resident, the live heap instead.
qint64 residentBytes()
{
#ifdef __SANITIZE_ADDRESS__
    return qint64(__sanitizer_get_current_allocated_bytes());
#endif
    QFile statm(QStringLiteral("/proc/self/statm"));
    statm.open(QIODevice::ReadOnly);
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

qsizetype entries(const char *folder)
{
    return QDir(
        QLatin1String(folder), {}, QDir::NoSort, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
        .count();
}

} // namespace

Q_DECLARE_METATYPE(Poll)
Q_DECLARE_METATYPE(std::optional<CompanionSensors>)

class CompanionManagerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void parse_data();
    void parse();
    void nesting_data();
    void nesting();
    void polls_data();
    void polls();
    void stateAcrossPolls();
    void destroyedWhilePolling();

private:
    ScratchEnvironment m_env;
};

void CompanionManagerTest::initTestCase()
{
    // A poll that took these would reach nothing, and every row that must succeed would fail.
    for (const char *name : { "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY" })
        m_env.set(name, "http://127.0.0.1:1");
    m_env.set("no_proxy", {});
    m_env.set("NO_PROXY", {});
}

void CompanionManagerTest::parse_data()
{
    using S = CompanionSensors;
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<std::optional<S>>("expected");
    const auto row = [](const char *name, const QByteArray &body, std::optional<S> expected) {
        QTest::newRow(name) << body << expected;
    };
    const S full { QStringLiteral("Test Chip"), 51.5, 44.0, 7.25, 25.0 };
    const QByteArray fullBody
        = R"({"temp":{"cpu_temp_avg":51.5,"gpu_temp_avg":44},"soc":{"chip_name":"Test Chip"},)"
          R"("sys_power":7.25,"gpu_usage":[1398,0.25],"extra":[1,{"x":null}]})";
    const S power { .socPowerW = 1.0 };

    // What is no usable document at all.
    row("power only inside soc", R"({"soc":{"sys_power":3}})", std::nullopt);
    row("NUL then garbage", QByteArray("{\"sys_power\":1}\0junk", 20), std::nullopt);

    // Readings, member by member, none clamped or defaulted.
    row("full document", fullBody, full);
    row("negative temperature", R"({"temp":{"gpu_temp_avg":-5}})", S { .gpuTempC = -5.0 });
    row("usage reads index one only", R"({"gpu_usage":["x",0.5,"y"]})", S { .gpuUsagePct = 50.0 });
    // Deeper than 32 is refused unparsed.
    const QByteArray powerAnd = R"({"sys_power":1,"x":)";
    row("nested 32 deep", powerAnd + QByteArray(31, '[') + QByteArray(31, ']') + "}", power);
    row("nested 33 deep", powerAnd + QByteArray(32, '[') + QByteArray(32, ']') + "}", std::nullopt);
    row("usage of one element", R"({"sys_power":1,"gpu_usage":[0.25]})", power);
    row("a negative usage", R"({"sys_power":1,"gpu_usage":[1398,-0.25]})", power);
}

void CompanionManagerTest::nesting_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("tooDeep");
    const QByteArray deep = QByteArray(33, '[') + QByteArray(33, ']');
    QTest::newRow("32 deep") << QByteArray(32, '[') + QByteArray(32, ']') << false;
    QTest::newRow("33 deep") << deep << true;
    QTest::newRow("brackets in a string") << "[\"\\\"" + deep + "\"]" << false;
    QTest::newRow("an escaped backslash ends a string") << "[\"\\\\\"," + deep + "]" << true;
    QTest::newRow("closing brackets first count for nothing") << QByteArray(8, ']') + deep << true;
}

void CompanionManagerTest::nesting()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, tooDeep);
    QCOMPARE(CompanionManager::nestedTooDeep(body), tooDeep);
}

void CompanionManagerTest::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(std::optional<CompanionSensors>, expected);
    QVERIFY(CompanionManager::parse(body) == expected);
}

void CompanionManagerTest::polls_data()
{
    QTest::addColumn<Poll>("poll");
    const auto row = [](const char *name, const Poll &poll) {
        QTest::newRow(name) << poll;
    };
    const QByteArray doc = TestHttpServer::sampleDocument();
    const QByteArray line = "X-Pad: " + QByteArray(91, 'p') + "\r\n"; // 100 bytes
    const qsizetype cap = MetricsPoll::maxBodyBytes;
    const auto documentOf = [](qsizetype size) { // valid, of exactly `size` bytes
        return R"({"sys_power":1,"pad":")" + QByteArray(size - 24, 'x') + "\"}";
    };
    row("299 document", { Mode::Answer, 299, {}, doc, true });
    row("200, no document", { Mode::Answer, 200, {}, R"({"error":"x","sys_power":1})", false });
    row("300 document", { Mode::Answer, 300, {}, doc, false });
    row("301 to /json, not followed", { Mode::Answer, 301, "Location: /json\r\n", doc, false });
    row("refused", { Mode::Answer, 0, {}, doc, false, 1, 0, 500 });
    row("accepts, never answers", { Mode::Silent, 200, {}, doc, false, 1, 1100, 1800 });
    // Each byte restarts the silence limit; only the deadline ends it.
    row("drips its answer", { Mode::Drip, 200, {}, doc, false, 1, 2400, 3200 });
    row("body of exactly 1 MiB", { Mode::Answer, 200, {}, documentOf(cap), true });
    row("body over 1 MiB, no length", { Mode::NoLength, 200, {}, documentOf(cap + 1), false });
    // Refused on its declared length, before a byte of the body comes.
    row("declares over 1 MiB, then drips",
        { Mode::Drip, 200, "Content-Length: 1048577\r\n", doc, false, 1, 0, 800 });
    row("60 kB of headers", { Mode::Answer, 200, line.repeated(600), doc, true });
    row("70 kB of headers", { Mode::Answer, 200, line.repeated(700), doc, false });
    row("header lines without end", { Mode::Flood, 200, {}, line, false, 10, 0, 2500 });
    row("500 MB chunked body",
        { Mode::Flood, 200, "Transfer-Encoding: chunked\r\n\r\n",
            "100000\r\n" + QByteArray(cap, 'x') + "\r\n", false, 1, 0, 2500 });
}

void CompanionManagerTest::polls()
{
    QFETCH(Poll, poll);
    TestHttpServer server;
    server.setMode(poll.mode);
    server.setResponse(poll.code, poll.body, poll.headers);
    if (poll.code == 0)
        server.close();
    CompanionManager manager(server.port(), {});
    const qint64 resident = residentBytes();
    const qsizetype threads = entries("/proc/self/task");
    // A stalled event loop shows as a late tick.
    QTimer tick;
    QElapsedTimer sinceTick;
    qint64 worstLateMs = 0;
    connect(&tick, &QTimer::timeout, this,
        [&] { worstLateMs = std::max(worstLateMs, sinceTick.restart() - 10); });
    sinceTick.start();
    tick.start(10);
    for (int i = 0; i < poll.polls; ++i) {
        QElapsedTimer clock;
        clock.start();
        QCoro::waitFor(manager.refresh());
        QVERIFY2(clock.elapsed() >= poll.minMs && clock.elapsed() <= poll.maxMs,
            qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(manager.status(), poll.running ? CompanionStatus::running : CompanionStatus::stopped);
        QCOMPARE_LE(entries("/proc/self/task"), threads);
    }
    QCOMPARE(manager.sensors().has_value(), poll.running);
    QCOMPARE(server.requestCount(), poll.code ? poll.polls : 0);
    QVERIFY(poll.code == 0 || server.lastRequest().startsWith("GET /json HTTP/1.1\r\n"));
    if (!poll.running) // whatever a peer sends, a refused answer leaves only allocator slack behind
        QCOMPARE_LT(residentBytes() - resident, 8 << 20);
    if (poll.mode == Mode::Flood) // a flood must not stall the loop; a real 1 MiB document may, under ASan
        QCOMPARE_LE(worstLateMs, 50);
}

void CompanionManagerTest::stateAcrossPolls()
{
    TestHttpServer server;
    CompanionManager manager(server.port(), QStringLiteral("/nonexistent/bin"));
    QList<int> told { 0, 0 }; // notifications of status and sensors since the last look
    bool readingsFirst = true; // readings in place whenever the status turns running
    connect(&manager, &CompanionManager::statusChanged, this, [&] {
        readingsFirst &= manager.status() == CompanionStatus::stopped || manager.sensors().has_value();
        ++told[0];
    });
    connect(&manager, &CompanionManager::sensorsChanged, this, [&] { ++told[1]; });
    QVERIFY(manager.status() == CompanionStatus::stopped && !manager.sensors());
    QTest::qWait(100);
    QCOMPARE(server.requestCount(), 0); // constructing starts nothing

    // Each answer and the properties that speak after it: only real changes; a failure keeps the readings.
    const QByteArray last = R"({"sys_power":7.5,"soc":{"chip_name":""}})";
    const QList<std::tuple<int, QByteArray, QList<int>>> steps = {
        { 200, R"({"sys_power":7.5,"temp":{"cpu_temp_avg":40}})", { 1, 1 } },
        { 200, R"({ "temp" : {"cpu_temp_avg":40.0}, "sys_power":7.50, "extra":1 })", { 0, 0 } },
        { 200, R"({"sys_power":7.5})", { 0, 1 } },
        { 200, last, { 0, 1 } },
        { 503, last, { 1, 0 } },
        { 503, last, { 0, 0 } },
    };
    for (const auto &[code, body, counts] : steps) {
        server.setResponse(code, body);
        QCoro::waitFor(manager.refresh());
        QCOMPARE(std::exchange(told, { 0, 0 }), counts);
    }
    QVERIFY(readingsFirst);
    QVERIFY(manager.sensors() == CompanionManager::parse(last));

    // Overlapping polls apply in finish order: a quick success, then a slow failure that started first.
    server.setMode(Mode::Silent);
    auto slow = manager.refresh();
    QTRY_COMPARE(server.requestCount(), steps.size() + 1);
    // While it waits, only a read notifier: a socket is always writable, so a write one would spin the loop.
    QStringList listening;
    for (const auto *n : QCoreApplication::instance()->findChildren<QSocketNotifier *>())
        if (n->isEnabled())
            listening << (n->type() == QSocketNotifier::Read ? u"read"_s : u"write"_s);
    QCOMPARE(listening, QStringList { u"read"_s });
    server.setMode(Mode::Answer);
    server.setResponse(200, last);
    QCoro::waitFor(manager.refresh());
    QCOMPARE(manager.status(), CompanionStatus::running);
    QCoro::waitFor(slow);
    QCOMPARE(manager.status(), CompanionStatus::stopped);
    QCOMPARE(told, QList<int>({ 2, 0 }));
    QCOMPARE(server.connectionCount(), server.requestCount()); // never a kept connection, though offered
}

void CompanionManagerTest::destroyedWhilePolling()
{
    // Also an ASan guard: the poll must never touch its dead manager.
    TestHttpServer server;
    auto *manager = new CompanionManager(server.port(), {});
    QCoro::waitFor(manager->refresh()); // the thread's curl set-up, which stays
    server.setMode(Mode::Drip);
    const qsizetype files = entries("/proc/self/fd");
    manager->refresh(); // left running on purpose
    QTRY_COMPARE(server.requestCount(), 2);
    delete manager;
    // The transfer ends with its manager, well before its deadline, and keeps no socket.
    QTRY_VERIFY_WITH_TIMEOUT(entries("/proc/self/fd") <= files, 1000);
}

QTEST_GUILESS_MAIN(CompanionManagerTest)
#include "tst_companionmanager.moc"
