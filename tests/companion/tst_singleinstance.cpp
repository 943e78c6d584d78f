// SPDX-License-Identifier: MIT
// Runs on a private session bus (dbus-run-session), as the test's command line sets up.
#include "AppIdentity.h"
#include "FakeTool.h"
#include "ScratchEnvironment.h"
#include "SingleInstance.h"
#include "TestHttpServer.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

namespace {

constexpr int exitWaitMs = 5000;

// The program's entry as its own process, polling the given service, with extra environment.
struct Instance
{
    Instance(const TestHttpServer &service, const FakeTool &tool, const QStringList &environment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &assignment : environment)
            env.insert(assignment.section(QLatin1Char('='), 0, 0), assignment.section(QLatin1Char('='), 1));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(COMPANION_PROBE), { QString::number(service.port()), tool.binDir() });
    }
    ~Instance() { process.kill(), process.waitForFinished(exitWaitMs); }
    bool exitsCleanly()
    {
        return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, exitWaitMs)
            && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    QProcess process;
};

QDBusMessage callApplication(const QString &method, const QVariantList &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(AppIdentity::appId, SingleInstance::objectPath(),
        QStringLiteral("org.freedesktop.Application"), method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call);
}

} // namespace

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void secondLaunchActivatesFirst_data();
    void secondLaunchActivatesFirst();
    void busCalls();
    void lockFileWithoutBus();

private:
    std::unique_ptr<ScratchEnvironment> m_env;
    TestHttpServer m_service;
    FakeTool m_tool;
};

void SingleInstanceTest::initTestCase()
{
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run me under dbus-run-session");
    m_env = std::make_unique<ScratchEnvironment>();
}

void SingleInstanceTest::secondLaunchActivatesFirst_data()
{
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QString>("token");
    QTest::newRow("activation token") << "XDG_ACTIVATION_TOKEN=wl-1_x"
                                      << "wl-1_x";
    QTest::newRow("startup id") << "DESKTOP_STARTUP_ID=x11_TIME42"
                                << "x11_TIME42";
    QTest::newRow("oversized token") << "XDG_ACTIVATION_TOKEN="
            + QString(SingleInstance::maxTokenChars + 1, 'a')
                                     << QString();
}

void SingleInstanceTest::secondLaunchActivatesFirst()
{
    QFETCH(QString, environment);
    QFETCH(QString, token);
    SingleInstance first;
    QSignalSpy activated(&first, &SingleInstance::activationRequested);
    QVERIFY(first.claim());
    Instance second(m_service, m_tool, { environment });
    QVERIFY(second.exitsCleanly());
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.first().first().toString(), token);
    QCOMPARE(m_service.requestCount(), 0);
}

void SingleInstanceTest::busCalls()
{
    SingleInstance first;
    QSignalSpy activated(&first, &SingleInstance::activationRequested);
    QVERIFY(first.claim());
    const QVariantMap platformData { { QStringLiteral("activation-token"), QStringLiteral("t1") } };
    QCOMPARE(
        callApplication(QStringLiteral("Open"), { QStringList { QStringLiteral("file:///x") }, platformData })
            .type(),
        QDBusMessage::ReplyMessage);
    QCOMPARE(activated.count(), 1);
    QCOMPARE(activated.first().first().toString(), QStringLiteral("t1"));
    const QDBusMessage action = callApplication(
        QStringLiteral("ActivateAction"), { QStringLiteral("quit"), QVariantList {}, QVariantMap {} });
    QCOMPARE(action.type(), QDBusMessage::ErrorMessage);
    // Anyone may call on the bus: a token too long or not plain ASCII is not passed on.
    for (const QString &token : { QString(SingleInstance::maxTokenChars + 1, 'a'), QStringLiteral("a\nb") }) {
        callApplication(
            QStringLiteral("Activate"), { QVariantMap { { QStringLiteral("activation-token"), token } } });
        QCOMPARE(activated.last().first().toString(), QString());
    }
    QCOMPARE(activated.count(), 3);
}

void SingleInstanceTest::lockFileWithoutBus()
{
    const QString noBus = QStringLiteral("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus");
    {
        Instance first(m_service, m_tool, { noBus });
        // Its first poll shows that its window is up.
        QTRY_VERIFY_WITH_TIMEOUT(m_service.requestCount() > 0, exitWaitMs);
        QVERIFY(Instance(m_service, m_tool, { noBus }).exitsCleanly());
        QCOMPARE(first.process.state(), QProcess::Running);
    } // killed: its lock file stays behind
    QVERIFY(QFile::exists(SingleInstance::lockFilePath()));
    const int polled = m_service.requestCount();
    Instance next(m_service, m_tool, { noBus });
    QTRY_VERIFY_WITH_TIMEOUT(m_service.requestCount() > polled, exitWaitMs);
    QCOMPARE(next.process.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"
