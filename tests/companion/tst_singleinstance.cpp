// SPDX-License-Identifier: MIT
#include "FakeTool.h"
#include "ScratchEnvironment.h"
#include "SingleInstance.h"
#include "TestHttpServer.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int exitWaitMs = 5000;

// The socket file a crashed instance leaves: bound once, never listened on, never removed.
bool leaveStaleSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    qstrncpy(address.sun_path, encoded.constData(), sizeof address.sun_path);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return bound && QFile::exists(path);
}

// Runs the program's entry as its own process, polling the given service.
struct Instance
{
    Instance(const TestHttpServer &service, const FakeTool &tool)
    {
        process.setProgram(QStringLiteral(COMPANION_PROBE));
        process.setArguments({ QString::number(service.port()), tool.binDir() });
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
    }
    ~Instance()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(exitWaitMs);
        }
    }
    QProcess process;
};

} // namespace

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void secondClaimRaisesFirst();
    void staleSocketIsTakenOver();
    void secondProcessExitsAndFirstStays();
    void crashedInstanceDoesNotBlock();

private:
    std::unique_ptr<ScratchEnvironment> m_env;
};

void SingleInstanceTest::init()
{
    m_env = std::make_unique<ScratchEnvironment>();
}

void SingleInstanceTest::cleanup()
{
    m_env.reset();
}

void SingleInstanceTest::secondClaimRaisesFirst()
{
    SingleInstance first;
    QSignalSpy raised(&first, &SingleInstance::raiseRequested);
    QVERIFY(first.claim());
    SingleInstance second;
    QVERIFY(!second.claim());
    QTRY_COMPARE(raised.count(), 1);
}

void SingleInstanceTest::staleSocketIsTakenOver()
{
    QVERIFY(leaveStaleSocket(SingleInstance::defaultSocketPath()));
    SingleInstance instance;
    QVERIFY(instance.claim());
    SingleInstance later;
    QVERIFY(!later.claim());
}

void SingleInstanceTest::secondProcessExitsAndFirstStays()
{
    TestHttpServer service;
    FakeTool tool;
    Instance first(service, tool);
    // Its first poll shows that its window is up.
    QTRY_VERIFY_WITH_TIMEOUT(service.requestCount() > 0, exitWaitMs);

    Instance second(service, tool);
    QVERIFY(second.process.waitForFinished(exitWaitMs));
    QCOMPARE(second.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process.exitCode(), 0);
    QTest::qWait(200);
    QCOMPARE(first.process.state(), QProcess::Running);
}

void SingleInstanceTest::crashedInstanceDoesNotBlock()
{
    TestHttpServer service;
    FakeTool tool;
    {
        Instance crashed(service, tool);
        QTRY_VERIFY_WITH_TIMEOUT(service.requestCount() > 0, exitWaitMs);
    }
    QVERIFY(QFile::exists(SingleInstance::defaultSocketPath()));
    const int polled = service.requestCount();
    Instance next(service, tool);
    QTRY_VERIFY_WITH_TIMEOUT(service.requestCount() > polled, exitWaitMs);
    QCOMPARE(next.process.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"
