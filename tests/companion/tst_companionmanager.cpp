// SPDX-License-Identifier: MIT
#include "CompanionManager.h"
#include "MetricsPoll.h"
#include "ScratchEnvironment.h"
#include "TestHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <unistd.h>

using Mode = TestHttpServer::Mode;
Q_DECLARE_METATYPE(TestHttpServer::Mode)

namespace {

// Notifications of status, sensors, busy and lastError since the last take().
struct Notifications
{
    explicit Notifications(CompanionManager &m)
    {
        int n = 0;
        for (auto changed : { &CompanionManager::statusChanged, &CompanionManager::sensorsChanged,
                 &CompanionManager::busyChanged, &CompanionManager::lastErrorChanged })
            QObject::connect(&m, changed, &m, [this, i = n++] { ++counts[i]; });
    }
    QList<int> take() { return std::exchange(counts, { 0, 0, 0, 0 }); }
    QList<int> counts { 0, 0, 0, 0 };
};

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    statm.open(QIODevice::ReadOnly);
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

qsizetype entries(const char *folder)
{
    return QDir(QLatin1String(folder))
        .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
        .size();
}

} // namespace

class CompanionManagerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void polls_data();
    void polls();
    void stateAcrossPolls();
    void overlappingPollsApplyInFinishOrder();
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

void CompanionManagerTest::polls_data()
{
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<int>("code"); // 0: nothing listens
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("polls");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    const auto row
        = [](const char *name, Mode mode, int code, const QByteArray &headers, const QByteArray &body,
              bool running, int polls = 1, int minMs = 0, int maxMs = 1000) {
              QTest::newRow(name) << mode << code << headers << body << running << polls << minMs << maxMs;
          };
    const QByteArray doc = TestHttpServer::sampleDocument();
    const QByteArray line = "X-Pad: " + QByteArray(91, 'p') + "\r\n"; // 100 bytes
    const qsizetype cap = MetricsPoll::maxBodyBytes;
    const auto documentOf = [](qsizetype size) { // valid, of exactly `size` bytes
        return R"({"sys_power":1,"pad":")" + QByteArray(size - 24, 'x') + "\"}";
    };
    row("200 document", Mode::Answer, 200, {}, doc, true);
    row("299 document", Mode::Answer, 299, {}, doc, true);
    row("204 empty", Mode::Answer, 204, {}, {}, false);
    row("200 array", Mode::Answer, 200, {}, "[]", false);
    row("200 error member", Mode::Answer, 200, {}, R"({"error":"x","sys_power":1})", false);
    row("199 document", Mode::Answer, 199, {}, doc, false);
    row("300 document", Mode::Answer, 300, {}, doc, false);
    row("301 to /json, not followed", Mode::Answer, 301, "Location: /json\r\n", doc, false);
    row("503 document", Mode::Answer, 503, {}, doc, false);
    row("refused", Mode::Answer, 0, {}, doc, false, 1, 0, 500);
    row("accepts, never answers", Mode::Silent, 200, {}, doc, false, 1, 1100, 1800);
    // Each byte restarts the silence limit; only the deadline ends it.
    row("drips its answer", Mode::Drip, 200, {}, doc, false, 1, 2400, 3200);
    row("body of exactly 1 MiB", Mode::Answer, 200, {}, documentOf(cap), true);
    row("body over 1 MiB", Mode::Answer, 200, {}, documentOf(cap + 1), false);
    row("body over 1 MiB, no length", Mode::NoLength, 200, {}, documentOf(cap + 1), false);
    // Refused on its declared length, before a byte of the body comes.
    row("declares over 1 MiB, then drips", Mode::Drip, 200, "Content-Length: 1048577\r\n", doc, false, 1, 0,
        800);
    row("60 kB of headers", Mode::Answer, 200, line.repeated(600), doc, true);
    row("70 kB of headers", Mode::Answer, 200, line.repeated(700), doc, false);
    row("header lines without end", Mode::Flood, 200, {}, line, false, 10, 0, 2500);
    row("500 MB chunked body", Mode::Flood, 200, "Transfer-Encoding: chunked\r\n\r\n",
        "100000\r\n" + QByteArray(cap, 'x') + "\r\n", false, 1, 0, 2500);
}

void CompanionManagerTest::polls()
{
    QFETCH(Mode, mode);
    QFETCH(int, code);
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, body);
    QFETCH(bool, running);
    QFETCH(int, polls);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    TestHttpServer server;
    server.setMode(mode);
    server.setResponse(code, body, headers);
    if (code == 0)
        server.close();
    CompanionManager manager(server.port(), {});
    const qint64 resident = residentBytes();
    const qsizetype threads = entries("/proc/self/task");
    // A stalled event loop shows as a late tick.
    QTimer tick;
    QElapsedTimer sinceTick;
    qint64 worstLateMs = 0;
    tick.setTimerType(Qt::PreciseTimer);
    connect(&tick, &QTimer::timeout, this,
        [&] { worstLateMs = std::max(worstLateMs, sinceTick.restart() - 10); });
    sinceTick.start();
    tick.start(10);
    for (int i = 0; i < polls; ++i) {
        QElapsedTimer clock;
        clock.start();
        QCoro::waitFor(manager.refresh());
        QVERIFY2(clock.elapsed() >= minMs && clock.elapsed() <= maxMs,
            qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(manager.status(), running ? CompanionStatus::running : CompanionStatus::stopped);
        QCOMPARE_LE(entries("/proc/self/task"), threads);
    }
    QCOMPARE(manager.sensors().has_value(), running);
    QCOMPARE(server.requestCount(), code ? polls : 0);
    QVERIFY(code == 0 || server.lastRequest().startsWith("GET /json HTTP/1.1\r\n"));
    QCOMPARE_LT(residentBytes() - resident, 8 << 20);
    QCOMPARE_LE(worstLateMs, 50);
}

void CompanionManagerTest::stateAcrossPolls()
{
    TestHttpServer server;
    CompanionManager manager(server.port(), QStringLiteral("/nonexistent/bin"));
    Notifications told(manager);
    QCOMPARE(manager.status(), CompanionStatus::stopped);
    QVERIFY(!manager.sensors() && !manager.busy() && !manager.lastError());
    QTest::qWait(100);
    QCOMPARE(server.requestCount(), 0); // constructing starts nothing
    QCOMPARE(told.take(), QList<int>({ 0, 0, 0, 0 }));

    // Readings arrive before the status says running, so a status observer finds them in place.
    bool readingsFirst = false;
    connect(&manager, &CompanionManager::statusChanged, this,
        [&] { readingsFirst = manager.sensors().has_value(); });
    // Each body, and which of status and sensors must speak after it: only real changes do.
    const QList<std::pair<QByteArray, QList<int>>> steps = {
        { R"({"sys_power":7.5,"temp":{"cpu_temp_avg":40}})", { 1, 1, 0, 0 } },
        { R"({ "temp" : {"cpu_temp_avg":40.0}, "sys_power":7.50, "extra":1 })", { 0, 0, 0, 0 } },
        { R"({"sys_power":7.5})", { 0, 1, 0, 0 } },
        { R"({"sys_power":7.5,"soc":{"chip_name":""}})", { 0, 1, 0, 0 } },
        { R"({"sys_power":7.5,"soc":{"chip_name":""}})", { 0, 0, 0, 0 } },
    };
    for (const auto &[body, counts] : steps) {
        server.setResponse(200, body);
        QCoro::waitFor(manager.refresh());
        QCOMPARE(told.take(), counts);
    }
    QVERIFY(readingsFirst);
    const auto readings = manager.sensors();

    server.close();
    QCoro::waitFor(manager.refresh());
    QCOMPARE(manager.status(), CompanionStatus::stopped);
    QVERIFY(manager.sensors() == readings);
    QCOMPARE(told.take(), QList<int>({ 1, 0, 0, 0 }));
    QCoro::waitFor(manager.refresh()); // stopped again: nobody is told
    QCOMPARE(told.take(), QList<int>({ 0, 0, 0, 0 }));
}

void CompanionManagerTest::overlappingPollsApplyInFinishOrder()
{
    TestHttpServer server;
    CompanionManager manager(server.port(), {});
    QSignalSpy status(&manager, &CompanionManager::statusChanged);
    server.setMode(Mode::Silent);
    auto slow = manager.refresh(); // fails at its silence limit
    QTRY_COMPARE(server.requestCount(), 1);
    server.setMode(Mode::Answer);
    QCoro::waitFor(manager.refresh()); // starts later, finishes first
    QCOMPARE(manager.status(), CompanionStatus::running);
    QCoro::waitFor(slow);
    QCOMPARE(manager.status(), CompanionStatus::stopped);
    QCOMPARE(status.count(), 2);
}

void CompanionManagerTest::destroyedWhilePolling()
{
    // Also an ASan guard: the poll must never touch its dead manager.
    TestHttpServer server;
    server.setMode(Mode::Drip);
    const qsizetype files = entries("/proc/self/fd");
    auto *manager = new CompanionManager(server.port(), {});
    manager->refresh(); // left running on purpose
    QTRY_COMPARE(server.requestCount(), 1);
    delete manager;
    // The transfer ends with its manager, well before its deadline, and keeps no socket.
    QTRY_COMPARE_WITH_TIMEOUT(entries("/proc/self/fd"), files, 1000);
}

QTEST_GUILESS_MAIN(CompanionManagerTest)
#include "tst_companionmanager.moc"
