// SPDX-License-Identifier: MIT
#include "CompanionManager.h"
#include "FakeTool.h"
#include "ScratchEnvironment.h"
#include "TestHttpServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
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
    void missingOrUnstartableTool();
    void commandLinesAndSettleTimes_data();
    void commandLinesAndSettleTimes();
    void timeLimit();
    void destroyedMidRun_data();
    void destroyedMidRun();

private:
    ScratchEnvironment m_env;
};

void ToolRunnerTest::outcomes_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<std::optional<QString>>("error");
    const auto row = [](const char *name, const char *script, std::optional<QString> error) {
        QTest::newRow(name) << QString::fromUtf8(script) << error;
    };
    row("exit 0", "exit 0", std::nullopt);
    row("exit 0 with stderr text", "echo oops >&2; exit 0", std::nullopt);
    row("exit 3, silent", "exit 3", QStringLiteral("macmon exited 3"));
    row("exit 1, word and newline", "printf 'word\\n' >&2; exit 1", QStringLiteral("word\n"));
    row("stdout never reaches the error", "echo visible; exit 2", QStringLiteral("macmon exited 2"));
    row("UTF-8 text", "printf 'Temperatur \\303\\274ber\\n' >&2; exit 1",
        QStringLiteral("Temperatur \u00fcber\n"));
    row("not UTF-8", "printf '\\377\\376' >&2; exit 4", QStringLiteral("macmon exited 4"));
    // A signal is never success, even though it leaves no exit status.
    row("killed by a signal", "kill -KILL $$", QStringLiteral("macmon was stopped by a signal"));
    row("signal after an explanation", "echo dying >&2; kill -TERM $$", QStringLiteral("dying\n"));
    // 1 MiB is far more than a pipe holds: a runner that does not drain would sit out its time limit.
    row("1 MiB of ASCII on stderr", "head -c 1048576 /dev/zero | tr '\\000' e >&2; exit 1",
        QString(CompanionManager::maxErrorBytes, QLatin1Char('e')));
    // Three-byte characters from byte 0: the cut falls inside one and must step back to its start.
    row("1 MiB of UTF-8 on stderr", "yes \u20ac | tr -d '\\n' | head -c 1048576 >&2; exit 1",
        QString(CompanionManager::maxErrorBytes / 3, QChar(0x20ac)));
}

void ToolRunnerTest::outcomes()
{
    QFETCH(QString, script);
    QFETCH(std::optional<QString>, error);

    FakeTool tool(QStringLiteral("echo stale >&2; exit 9"));
    TestHttpServer server;
    CompanionManager manager(server.port(), tool.binDir());
    QCoro::waitFor(manager.uninstall());
    QVERIFY(manager.lastError()); // a previous failure, which the next run must clear at its start

    tool.write(script);
    bool clearedWhileBusy = false;
    std::optional<QString> errorWhenBusyFell;
    QSignalSpy busy(&manager, &CompanionManager::busyChanged);
    connect(&manager, &CompanionManager::busyChanged, this, [&] {
        if (!manager.busy())
            errorWhenBusyFell = manager.lastError();
        else // checked once the run waits for the tool
            QTimer::singleShot(0, this, [&] { clearedWhileBusy = manager.busy() && !manager.lastError(); });
    });
    QElapsedTimer clock;
    clock.start();
    QCoro::waitFor(manager.uninstall());
    QVERIFY(clock.elapsed() < 5000);
    QCOMPARE(busy.count(), 2);
    QVERIFY(clearedWhileBusy);
    QCOMPARE(errorWhenBusyFell, error);
    QCOMPARE(manager.lastError(), error);
}

void ToolRunnerTest::missingOrUnstartableTool()
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
    QCOMPARE_GE(clock.elapsed(), 1150);
    QCOMPARE(manager.status(), CompanionStatus::running);

    // A file that exists but cannot be executed fails to start, in the system's own words.
    tool.write(QStringLiteral("exit 0"));
    QFile::setPermissions(tool.toolPath(), QFile::ReadOwner | QFile::WriteOwner);
    QProcess direct;
    direct.start(tool.toolPath(), {});
    QVERIFY(!direct.waitForStarted());
    clock.restart();
    QCoro::waitFor(manager.uninstall());
    QCOMPARE(manager.lastError(), std::optional(direct.errorString()));
    QCOMPARE(busy.count(), 2);
    QCOMPARE_LT(clock.elapsed(), 1500); // the start failure, then the settle time; no time limit sat out
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

void ToolRunnerTest::timeLimit()
{
    const QString pidFile = m_env.path() + QStringLiteral("/pid");
    FakeTool tool(QStringLiteral("echo $$ > '%1'; exec sleep 120").arg(pidFile));
    TestHttpServer server;
    CompanionManager manager(server.port(), tool.binDir(), 1500ms);
    QElapsedTimer clock;
    clock.start();
    QCoro::waitFor(manager.uninstall());
    // Less the settle time; the limit's coarse timer may fire 5 % early.
    const auto ranFor = clock.elapsed() - 600;
    QVERIFY2(ranFor >= 1400 && ranFor < 3000, qPrintable(QString::number(ranFor)));
    QVERIFY(!manager.busy());
    QCOMPARE(manager.lastError(),
        std::optional(QStringLiteral("macmon did not finish within 1.5 s and was stopped")));
    QVERIFY(!processAlive(pidFile));
}

void ToolRunnerTest::destroyedMidRun_data()
{
    QTest::addColumn<bool>("whileRunning"); // else while settling after the run
    QTest::newRow("while running") << true;
    QTest::newRow("while settling") << false;
}

void ToolRunnerTest::destroyedMidRun()
{
    QFETCH(bool, whileRunning);
    const QString pidFile = m_env.path() + QStringLiteral("/running.pid");
    FakeTool tool(whileRunning ? QStringLiteral("echo $$ > '%1'; exec sleep 60").arg(pidFile) : QString());
    TestHttpServer server;
    auto *manager = new CompanionManager(server.port(), tool.binDir());
    QSignalSpy busy(manager, &CompanionManager::busyChanged);
    manager->installAndStart(); // left running on purpose
    if (whileRunning)
        QTRY_VERIFY(processAlive(pidFile));
    else
        QTRY_COMPARE(busy.count(), 2);
    delete manager;
    QTRY_VERIFY_WITH_TIMEOUT(!processAlive(pidFile), 2000); // the child dies with its manager
    QTest::qWait(1500); // nothing may follow: no settle, no poll
    QCOMPARE(server.requestCount(), 0);
}

QTEST_GUILESS_MAIN(ToolRunnerTest)
#include "tst_toolrunner.moc"
