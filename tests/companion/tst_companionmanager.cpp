// SPDX-License-Identifier: MIT
#include "CompanionManager.h"
#include "ScratchEnvironment.h"
#include "TestHttpServer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using Mode = TestHttpServer::Mode;
Q_DECLARE_METATYPE(TestHttpServer::Mode)

namespace {

// One spy per observable property, so a test can say exactly which ones spoke.
struct Spies
{
    explicit Spies(CompanionManager &m)
        : status(&m, &CompanionManager::statusChanged)
        , sensors(&m, &CompanionManager::sensorsChanged)
        , busy(&m, &CompanionManager::busyChanged)
        , lastError(&m, &CompanionManager::lastErrorChanged)
    { }
    QList<int> counts() const
    {
        return { int(status.count()), int(sensors.count()), int(busy.count()), int(lastError.count()) };
    }
    void clear()
    {
        status.clear();
        sensors.clear();
        busy.clear();
        lastError.clear();
    }
    QSignalSpy status, sensors, busy, lastError;
};

} // namespace

class CompanionManagerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void newManagerIsQuiet();
    void answers_data();
    void answers();
    void notifiesOnlyRealChanges_data();
    void notifiesOnlyRealChanges();
    void failureKeepsReadings();
    void boundedPolls_data();
    void boundedPolls();
    void eachPollOpensItsOwnConnection();
    void overlappingPollsApplyInFinishOrder();
    void destroyedWhilePolling();

private:
    ScratchEnvironment m_env;
};

void CompanionManagerTest::newManagerIsQuiet()
{
    TestHttpServer server;
    CompanionManager manager(server.port(), QStringLiteral("/nonexistent/bin"));
    Spies spies(manager);
    QCOMPARE(manager.status(), CompanionStatus::stopped);
    QVERIFY(!manager.sensors());
    QVERIFY(!manager.busy());
    QVERIFY(!manager.lastError());
    QCOMPARE(CompanionManager::port, 9090);
    QTest::qWait(100);
    QCOMPARE(server.connectionCount(), 0); // constructing starts nothing
    QCOMPARE(spies.counts(), QList<int>({ 0, 0, 0, 0 }));
}

void CompanionManagerTest::answers_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("running");
    const QByteArray doc = TestHttpServer::sampleDocument();
    QTest::newRow("200 document") << 200 << doc << true;
    QTest::newRow("299 document") << 299 << doc << true;
    QTest::newRow("204 empty") << 204 << QByteArray() << false;
    QTest::newRow("200 empty") << 200 << QByteArray() << false;
    QTest::newRow("200 array") << 200 << QByteArray("[]") << false;
    QTest::newRow("200 error member") << 200 << QByteArray(R"({"error":"x","sys_power":1})") << false;
    QTest::newRow("300 document") << 300 << doc << false;
    QTest::newRow("301 document") << 301 << doc << false;
    QTest::newRow("404 document") << 404 << doc << false;
    QTest::newRow("503 document") << 503 << doc << false;
}

void CompanionManagerTest::answers()
{
    QFETCH(int, code);
    QFETCH(QByteArray, body);
    QFETCH(bool, running);

    TestHttpServer server;
    server.setResponse(code, body);
    CompanionManager manager(server.port(), {});
    QCoro::waitFor(manager.refresh());
    QCOMPARE(server.requestCount(), 1);
    QVERIFY(server.lastRequest().startsWith("GET /json HTTP/1.1\r\n"));
    QCOMPARE(manager.status(), running ? CompanionStatus::running : CompanionStatus::stopped);
    QCOMPARE(manager.sensors().has_value(), running);
    QVERIFY(!manager.busy());
    QVERIFY(!manager.lastError());
}

void CompanionManagerTest::notifiesOnlyRealChanges_data()
{
    // Each row: the body before, the body after, and whether sensors must announce the second poll.
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<bool>("sensorsChange");
    const QByteArray doc = TestHttpServer::sampleDocument();
    QTest::newRow("same document") << doc << doc << false;
    QTest::newRow("same readings, other layout")
        << QByteArray(R"({"sys_power":7.5,"temp":{"cpu_temp_avg":40}})")
        << QByteArray(R"({ "temp" : {"cpu_temp_avg":40.0}, "sys_power":7.50, "extra":1 })") << false;
    QTest::newRow("signed zero") << QByteArray(R"({"sys_power":0.0})") << QByteArray(R"({"sys_power":-0.0})")
                                 << false;
    QTest::newRow("other reading") << QByteArray(R"({"sys_power":1})") << QByteArray(R"({"sys_power":2})")
                                   << true;
    QTest::newRow("reading disappears") << QByteArray(R"({"sys_power":1,"temp":{"cpu_temp_avg":40}})")
                                        << QByteArray(R"({"sys_power":1})") << true;
    QTest::newRow("chip name appears") << QByteArray(R"({"sys_power":1})")
                                       << QByteArray(R"({"sys_power":1,"soc":{"chip_name":""}})") << true;
}

void CompanionManagerTest::notifiesOnlyRealChanges()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(bool, sensorsChange);

    TestHttpServer server;
    CompanionManager manager(server.port(), {});
    Spies spies(manager);
    server.setResponse(200, first);
    QCoro::waitFor(manager.refresh());
    QCOMPARE(spies.counts(), QList<int>({ 1, 1, 0, 0 }));

    spies.clear();
    server.setResponse(200, second);
    QCoro::waitFor(manager.refresh());
    QCOMPARE(manager.status(), CompanionStatus::running);
    QCOMPARE(spies.counts(), QList<int>({ 0, sensorsChange ? 1 : 0, 0, 0 }));
}

void CompanionManagerTest::failureKeepsReadings()
{
    TestHttpServer server;
    CompanionManager manager(server.port(), {});
    Spies spies(manager);
    // Readings arrive before the status says running, so a status observer finds them in place.
    bool readingsFirst = false;
    connect(&manager, &CompanionManager::statusChanged, this,
        [&] { readingsFirst = manager.sensors().has_value(); });
    QCoro::waitFor(manager.refresh());
    QVERIFY(readingsFirst);
    const auto readings = manager.sensors();
    QCOMPARE(readings->socPowerW, 7.25);

    spies.clear();
    server.close();
    QCoro::waitFor(manager.refresh());
    QCOMPARE(manager.status(), CompanionStatus::stopped);
    QVERIFY(manager.sensors() == readings);
    QCOMPARE(spies.counts(), QList<int>({ 1, 0, 0, 0 }));

    QCoro::waitFor(manager.refresh()); // stopped again: nobody is told
    QCOMPARE(spies.counts(), QList<int>({ 1, 0, 0, 0 }));
}

void CompanionManagerTest::boundedPolls_data()
{
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    const QByteArray doc = TestHttpServer::sampleDocument();
    const QByteArray huge
        = R"({"sys_power":1,"pad":")" + QByteArray(CompanionManager::maxDocumentBytes, 'x') + "\"}";
    QTest::newRow("refused") << Mode::Answer << doc << 0 << 500;
    QTest::newRow("accepts, never answers") << Mode::Silent << doc << 1000 << 1600;
    // Each byte restarts the transfer time-out; only the overall deadline ends it.
    QTest::newRow("drips its answer") << Mode::Drip << doc << 2300 << 3200;
    QTest::newRow("over 1 MiB, with length") << Mode::Answer << huge << 0 << 1000;
    QTest::newRow("over 1 MiB, no length") << Mode::NoLength << huge << 0 << 1000;
}

void CompanionManagerTest::boundedPolls()
{
    QFETCH(Mode, mode);
    QFETCH(QByteArray, body);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    TestHttpServer server;
    CompanionManager manager(server.port(), {});
    QCoro::waitFor(manager.refresh());
    QCOMPARE(manager.status(), CompanionStatus::running);

    server.setMode(mode);
    server.setResponse(200, body);
    if (QByteArray(QTest::currentDataTag()) == "refused")
        server.close();
    QElapsedTimer clock;
    clock.start();
    QCoro::waitFor(manager.refresh());
    const auto elapsed = clock.elapsed();
    QCOMPARE(manager.status(), CompanionStatus::stopped);
    QVERIFY2(elapsed >= minMs && elapsed <= maxMs, qPrintable(QString::number(elapsed)));
}

void CompanionManagerTest::eachPollOpensItsOwnConnection()
{
    TestHttpServer server;
    CompanionManager manager(server.port(), {});
    for (int i = 0; i < 3; ++i)
        QCoro::waitFor(manager.refresh());
    QCOMPARE(server.connectionCount(), 3);
    QCOMPARE(server.requestCount(), 3);
}

void CompanionManagerTest::overlappingPollsApplyInFinishOrder()
{
    TestHttpServer server;
    CompanionManager manager(server.port(), {});
    QSignalSpy status(&manager, &CompanionManager::statusChanged);

    server.setMode(Mode::Silent);
    auto slow = manager.refresh(); // fails at its time-out
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
    TestHttpServer server;
    server.setMode(Mode::Drip);
    auto *manager = new CompanionManager(server.port(), {});
    manager->refresh(); // left running on purpose
    QTRY_COMPARE(server.requestCount(), 1);
    QTest::qWait(150);
    delete manager;
    // The orphaned poll must run out on its own without touching the dead manager.
    QTest::qWait(int(CompanionManager::pollDeadline.count()) + 300);
}

QTEST_GUILESS_MAIN(CompanionManagerTest)
#include "tst_companionmanager.moc"
