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

Q_DECLARE_METATYPE(std::optional<QString>)

using namespace std::chrono_literals;

namespace {

bool childAlive() // the pid a fake tool wrote to $HOME/pid still names a process
{
    QFile file(qEnvironmentVariable("HOME") + QStringLiteral("/pid"));
    const pid_t pid = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
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
    row("exit 0 with stderr text", "echo oops >&2; exit 0", std::nullopt);
    row("stdout never reaches the error", "echo visible; exit 2", QStringLiteral("macmon exited 2"));
    row("not UTF-8", "printf '\\377\\376' >&2; exit 4", QStringLiteral("macmon exited 4"));
    row("killed by a signal", "kill -KILL $$", QStringLiteral("macmon was stopped by a signal"));
    row("signal after an explanation", "echo dying >&2; kill -TERM $$", QStringLiteral("dying\n"));
    row("1 MiB of ASCII on stderr", "head -c 1048576 /dev/zero | tr '\\000' e >&2; exit 1",
        QString(CompanionManager::maxErrorBytes, QLatin1Char('e')));
    // Three-byte characters from byte 0: the cut falls inside one and must step back to its start.
    row("1 MiB of UTF-8 on stderr", "yes \u20ac | tr -d '\\n' | head -c 1048576 >&2; exit 1",
        QString(CompanionManager::maxErrorBytes / 3, QChar(0x20ac)));
    row("outlives its time limit", "echo $$ > \"$HOME/pid\"; exec sleep 120",
        QStringLiteral("macmon did not finish within 1 s and was stopped"));
}

void ToolRunnerTest::outcomes()
{
    QFETCH(QString, script);
    QFETCH(std::optional<QString>, error);

    FakeTool tool(QStringLiteral("echo stale >&2; exit 9"));
    TestHttpServer server;
    // Brief settle waits; a time limit no run here nears, unless the runner stops reading a flood.
    CompanionManager manager(server.port(), tool.binDir(), 1s, 10ms, 10ms);
    QSignalSpy busy(&manager, &CompanionManager::busyChanged);
    bool clearedWhileBusy = false;
    std::optional<QString> errorWhenBusyFell;
    connect(&manager, &CompanionManager::busyChanged, this, [&] {
        if (manager.busy()) // checked once the run waits for the tool
            QTimer::singleShot(0, this, [&] { clearedWhileBusy = manager.busy() && !manager.lastError(); });
        errorWhenBusyFell = manager.lastError();
    });
    QCoro::waitFor(manager.uninstall());
    QVERIFY(manager.lastError()); // stale: the next run must clear it at once

    tool.write(script);
    const auto started = std::chrono::steady_clock::now();
    QCoro::waitFor(manager.installAndStart());
    const auto took = std::chrono::steady_clock::now() - started;
    QCOMPARE(busy.count(), 4);
    QVERIFY(clearedWhileBusy);
    QCOMPARE(errorWhenBusyFell, error); // in place before busy falls
    QCOMPARE(manager.lastError(), error);
    const QString port = QString::number(server.port());
    QCOMPARE(tool.recordedCalls(),
        QList<QStringList>({ { "serve", "--uninstall" }, { "serve", "--port", port, "--install" } }));
    QVERIFY(server.requestCount() == 2 && manager.status() == CompanionStatus::running); // one poll per run
    QVERIFY(!childAlive() && took < 2500ms); // a child past its limit is killed at once
}

void ToolRunnerTest::missingOrUnstartableTool()
{
    FakeTool tool;
    tool.remove();
    TestHttpServer server;
    CompanionManager manager(server.port(), tool.binDir()); // production's settle waits
    QSignalSpy busy(&manager, &CompanionManager::busyChanged);
    QElapsedTimer sinceCall; // runs end at once here, so each poll waits for its settle alone
    QList<qint64> polls;
    connect(&server, &TestHttpServer::requestServed, this, [&] { polls << sinceCall.elapsed(); });
    sinceCall.start();
    QCoro::waitFor(manager.installAndStart());
    QCOMPARE(manager.lastError(), std::optional(QStringLiteral("macmon not found in bundle")));
    QCOMPARE(busy.count(), 0);

    // A file that exists but cannot be executed fails to start, in the system's own words.
    tool.write(QStringLiteral("exit 0"));
    QFile::setPermissions(tool.toolPath(), QFile::ReadOwner | QFile::WriteOwner);
    QProcess direct;
    direct.start(tool.toolPath(), {});
    QVERIFY(!direct.waitForStarted());
    sinceCall.start();
    QCoro::waitFor(manager.uninstall());
    QCOMPARE(manager.lastError(), std::optional(direct.errorString()));
    QCOMPARE(busy.count(), 2);
    // A closing poll even after a failed run: 1.2 s after installing, 0.6 s after removing.
    QVERIFY2(polls.size() == 2 && polls[0] >= 1180 && polls[0] <= 1600 && polls[1] >= 580 && polls[1] <= 1000,
        qPrintable(QStringLiteral("%1 %2").arg(polls.value(0)).arg(polls.value(1))));
}

void ToolRunnerTest::destroyedMidRun()
{
    constexpr auto settle = 200ms; // ample time to delete the manager once busy falls
    for (const bool whileRunning : { true, false }) { // else while settling after the run
        FakeTool tool(whileRunning ? QStringLiteral("echo $$ > \"$HOME/pid\"; exec sleep 60") : QString());
        TestHttpServer server;
        // The real time limit: a shorter one would stop a child that outlived its manager.
        auto *manager = new CompanionManager(
            server.port(), tool.binDir(), CompanionManager::toolTimeLimit, settle, settle);
        QSignalSpy busy(manager, &CompanionManager::busyChanged);
        manager->installAndStart(); // left running on purpose
        if (whileRunning)
            QTRY_VERIFY(childAlive());
        else
            QVERIFY(busy.wait()); // busy fell: settling now
        delete manager;
        QTRY_VERIFY_WITH_TIMEOUT(!childAlive(), 2000); // the child dies with its manager
        QTest::qWait(int((settle + 400ms).count())); // nothing may follow: no settle, no poll
        QCOMPARE(server.requestCount(), 0);
    }
}

QTEST_GUILESS_MAIN(ToolRunnerTest)
#include "tst_toolrunner.moc"
