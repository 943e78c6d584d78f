// SPDX-License-Identifier: MIT
#include "CompanionManager.h"
#include "FakeTool.h"
#include "ScratchEnvironment.h"
#include "TestHttpServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <csignal>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

bool processAlive(const QString &pidFile)
{
    QFile file(pidFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const pid_t pid = file.readAll().trimmed().toInt();
    return pid > 0 && ::kill(pid, 0) == 0;
}

} // namespace

class ToolRunnerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void outcomes_data();
    void outcomes();
    void missingTool();
    void errorIsInPlaceWhenBusyFalls();
    void commandLinesAndSettleTimes_data();
    void commandLinesAndSettleTimes();
    void floodedStandardErrorIsCapped();
    void timeLimit();
    void destroyedWhileRunning();
    void destroyedWhileSettling();

private:
    ScratchEnvironment m_env;
};

void ToolRunnerTest::outcomes_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<std::optional<QString>>("error");
    const std::optional<QString> none;
    QTest::newRow("exit 0") << QStringLiteral("exit 0") << none;
    QTest::newRow("exit 0 with stderr text") << QStringLiteral("echo oops >&2; exit 0") << none;
    QTest::newRow("exit 3, silent") << QStringLiteral("exit 3")
                                    << std::optional(QStringLiteral("macmon exited 3"));
    QTest::newRow("exit 1, word and newline")
        << QStringLiteral("printf 'word\\n' >&2; exit 1") << std::optional(QStringLiteral("word\n"));
    QTest::newRow("stdout never reaches the error")
        << QStringLiteral("echo visible; exit 2") << std::optional(QStringLiteral("macmon exited 2"));
    QTest::newRow("UTF-8 text") << QStringLiteral("printf 'Temperatur \\303\\274ber\\n' >&2; exit 1")
                                << std::optional(QStringLiteral("Temperatur \u00fcber\n"));
    QTest::newRow("not UTF-8") << QStringLiteral("printf '\\377\\376' >&2; exit 4")
                               << std::optional(QStringLiteral("macmon exited 4"));
    // A signal is never success, even though it leaves no exit status.
    QTest::newRow("killed by a signal")
        << QStringLiteral("kill -KILL $$") << std::optional(QStringLiteral("macmon was stopped by a signal"));
    QTest::newRow("signal after an explanation")
        << QStringLiteral("echo dying >&2; kill -TERM $$") << std::optional(QStringLiteral("dying\n"));
}

void ToolRunnerTest::outcomes()
{
    QFETCH(QString, script);
    QFETCH(std::optional<QString>, error);

    FakeTool tool(QStringLiteral("echo stale >&2; exit 9"));
    TestHttpServer server;
    CompanionManager manager(server.port(), tool.binDir());
    QCoro::waitFor(manager.uninstall());
    QVERIFY(manager.lastError()); // a previous failure, which the next run must clear

    tool.write(script);
    QSignalSpy busy(&manager, &CompanionManager::busyChanged);
    QCoro::waitFor(manager.uninstall());
    QCOMPARE(busy.count(), 2);
    QVERIFY(!manager.busy());
    QCOMPARE(manager.lastError(), error);
}

void ToolRunnerTest::missingTool()
{
    FakeTool tool;
    tool.remove();
    TestHttpServer server;
    CompanionManager manager(server.port(), tool.binDir());
    QSignalSpy busy(&manager, &CompanionManager::busyChanged);
    QElapsedTimer clock;
    clock.start();
    QCoro::waitFor(manager.installAndStart());
    QCOMPARE(manager.lastError(), std::optional(QStringLiteral("macmon not found in bundle")));
    QCOMPARE(busy.count(), 0);
    // The closing poll still comes after the settle time.
    QCOMPARE(server.requestCount(), 1);
    QVERIFY2(clock.elapsed() >= 1150, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(manager.status(), CompanionStatus::running);

    // A file that exists but cannot be executed fails to start, with the system's words.
    tool.write(QStringLiteral("exit 0"));
    QFile::setPermissions(tool.toolPath(), QFile::ReadOwner | QFile::WriteOwner);
    QCoro::waitFor(manager.uninstall());
    QVERIFY(manager.lastError() && !manager.lastError()->isEmpty());
    QVERIFY(*manager.lastError() != QStringLiteral("macmon not found in bundle"));
    QCOMPARE(busy.count(), 2);
}

void ToolRunnerTest::errorIsInPlaceWhenBusyFalls()
{
    FakeTool tool(QStringLiteral("sleep 0.2; echo broken >&2; exit 1"));
    TestHttpServer server;
    CompanionManager manager(server.port(), tool.binDir());
    QList<std::pair<bool, std::optional<QString>>> seen;
    connect(&manager, &CompanionManager::busyChanged, this, [&] {
        seen.append({ manager.busy(), manager.lastError() });
    });
    QCoro::waitFor(manager.uninstall());
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[0], std::make_pair(true, std::optional<QString>()));
    QCOMPARE(seen[1], std::make_pair(false, std::optional(QStringLiteral("broken\n"))));
}

void ToolRunnerTest::commandLinesAndSettleTimes_data()
{
    QTest::addColumn<bool>("install");
    QTest::addColumn<int>("settleMs");
    QTest::newRow("install") << true << 1200;
    QTest::newRow("uninstall") << false << 600;
}

void ToolRunnerTest::commandLinesAndSettleTimes()
{
    QFETCH(bool, install);
    QFETCH(int, settleMs);

    FakeTool tool(QStringLiteral("sleep 0.3"));
    TestHttpServer server;
    CompanionManager manager(server.port(), tool.binDir());
    QElapsedTimer sinceEnd;
    connect(&manager, &CompanionManager::busyChanged, this, [&] {
        if (!manager.busy())
            sinceEnd.start();
    });
    qint64 pollAfter = -1;
    connect(&server, &TestHttpServer::requestServed, this, [&] { pollAfter = sinceEnd.elapsed(); });

    QCoro::waitFor(install ? manager.installAndStart() : manager.uninstall());

    const QStringList expected = install
        ? QStringList { QStringLiteral("serve"), QStringLiteral("--port"), QString::number(server.port()),
              QStringLiteral("--install") }
        : QStringList { QStringLiteral("serve"), QStringLiteral("--uninstall") };
    QCOMPARE(tool.recordedCalls(), QList<QStringList> { expected });
    QCOMPARE(server.requestCount(), 1);
    QVERIFY2(
        pollAfter >= settleMs - 20 && pollAfter <= settleMs + 400, qPrintable(QString::number(pollAfter)));
    QCOMPARE(manager.status(), CompanionStatus::running);
}

void ToolRunnerTest::floodedStandardErrorIsCapped()
{
    // 1 MiB is far more than a pipe holds: a runner that does not drain would stall until the time limit.
    FakeTool tool(QStringLiteral("head -c 1048576 /dev/zero | tr '\\000' 'e' >&2; exit 1"));
    TestHttpServer server;
    CompanionManager manager(server.port(), tool.binDir());
    QElapsedTimer clock;
    clock.start();
    QCoro::waitFor(manager.uninstall());
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(manager.lastError());
    QCOMPARE(manager.lastError()->size(), CompanionManager::maxErrorBytes);
}

void ToolRunnerTest::timeLimit()
{
    FakeTool tool(QStringLiteral("echo $$ > '%1/pid'; exec sleep 120").arg(m_env.path()));
    TestHttpServer server;
    CompanionManager manager(server.port(), tool.binDir());
    QElapsedTimer clock;
    clock.start();
    QCoro::waitFor(manager.uninstall());
    const auto elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 30000 && elapsed < 33000, qPrintable(QString::number(elapsed)));
    QVERIFY(!manager.busy());
    QCOMPARE(manager.lastError(),
        std::optional(QStringLiteral("macmon did not finish within 30 s and was stopped")));
    QVERIFY(!processAlive(m_env.path() + QStringLiteral("/pid")));
}

void ToolRunnerTest::destroyedWhileRunning()
{
    const QString pidFile = m_env.path() + QStringLiteral("/running.pid");
    FakeTool tool(QStringLiteral("echo $$ > '%1'; exec sleep 60").arg(pidFile));
    TestHttpServer server;
    auto *manager = new CompanionManager(server.port(), tool.binDir());
    manager->installAndStart(); // left running on purpose
    QTRY_VERIFY(processAlive(pidFile));
    delete manager;
    QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pidFile), 2000);
    QTest::qWait(1500); // nothing may follow: no settle, no poll
    QCOMPARE(server.requestCount(), 0);
}

void ToolRunnerTest::destroyedWhileSettling()
{
    FakeTool tool;
    TestHttpServer server;
    auto *manager = new CompanionManager(server.port(), tool.binDir());
    QSignalSpy busy(manager, &CompanionManager::busyChanged);
    manager->installAndStart();
    QTRY_COMPARE(busy.count(), 2);
    delete manager;
    QTest::qWait(1500);
    QCOMPARE(server.requestCount(), 0);
}

QTEST_GUILESS_MAIN(ToolRunnerTest)
#include "tst_toolrunner.moc"
