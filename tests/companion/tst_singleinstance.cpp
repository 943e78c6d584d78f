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

using namespace Qt::StringLiterals;

namespace {

constexpr int exitWaitMs = 5000;

// The program's entry as its own process, polling the given service, with one more variable set.
struct Instance
{
    Instance(const TestHttpServer &service, const FakeTool &tool, const QString &name, const QString &value)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(name, value);
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

} // namespace

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run me under dbus-run-session");
        m_env = std::make_unique<ScratchEnvironment>();
    }

    // A second launch (given its variable) or a call on the bus (given its method) reaches the first.
    void activation_data()
    {
        QTest::addColumn<QString>("variableOrMethod");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<bool>("activates");
        QTest::addColumn<QString>("received");
        const QString oversized(SingleInstance::maxTokenChars + 1, 'a'), wayland = u"XDG_ACTIVATION_TOKEN"_s;
        QTest::newRow("launch, token") << wayland << u"wl-1_x"_s << true << u"wl-1_x"_s;
        QTest::newRow("launch, startup id")
            << u"DESKTOP_STARTUP_ID"_s << u"x11_TIME42"_s << true << u"x11_TIME42"_s;
        QTest::newRow("launch, oversized token") << wayland << oversized << true << QString();
        QTest::newRow("Open") << u"Open"_s << u"t1"_s << true << u"t1"_s;
        // Anyone may call on the bus: a token too long or not plain ASCII is not passed on.
        QTest::newRow("Activate, oversized token") << u"Activate"_s << oversized << true << QString();
        QTest::newRow("Activate, line break") << u"Activate"_s << u"a\nb"_s << true << QString();
        QTest::newRow("unknown action") << u"ActivateAction"_s << u"t2"_s << false << QString();
    }

    void activation()
    {
        QFETCH(QString, variableOrMethod);
        QFETCH(QString, sent);
        QFETCH(bool, activates);
        QFETCH(QString, received);
        SingleInstance first;
        QSignalSpy activated(&first, &SingleInstance::activationRequested);
        QVERIFY(first.claim());
        const QVariantMap data { { "activation-token", sent } };
        if (variableOrMethod.contains('_')) {
            QVERIFY(Instance(m_service, m_tool, variableOrMethod, sent).exitsCleanly());
        } else {
            QDBusMessage call
                = QDBusMessage::createMethodCall(AppIdentity::appId, SingleInstance::objectPath(),
                    QStringLiteral("org.freedesktop.Application"), variableOrMethod);
            call.setArguments(variableOrMethod == "Activate" ? QVariantList { data }
                    : variableOrMethod == "Open" ? QVariantList { QStringList { "file:///x" }, data }
                                                 : QVariantList { "quit", QVariantList(), data });
            QCOMPARE(QDBusConnection::sessionBus().call(call).type(),
                activates ? QDBusMessage::ReplyMessage : QDBusMessage::ErrorMessage);
        }
        QCOMPARE(activated.count(), int(activates));
        if (activates)
            QCOMPARE(activated.first().first().toString(), received);
        QCOMPARE(m_service.requestCount(), 0);
    }

    void lockFileWithoutBus()
    {
        const QStringList noBus { "DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus" };
        {
            Instance first(m_service, m_tool, noBus[0], noBus[1]);
            // Its first poll shows that its window is up.
            QTRY_VERIFY_WITH_TIMEOUT(m_service.requestCount() > 0, exitWaitMs);
            QVERIFY(Instance(m_service, m_tool, noBus[0], noBus[1]).exitsCleanly());
            QCOMPARE(first.process.state(), QProcess::Running);
        } // killed: its lock file stays behind
        QVERIFY(QFile::exists(SingleInstance::lockFilePath()));
        const int polled = m_service.requestCount();
        Instance next(m_service, m_tool, noBus[0], noBus[1]);
        QTRY_VERIFY_WITH_TIMEOUT(m_service.requestCount() > polled, exitWaitMs);
        QCOMPARE(next.process.state(), QProcess::Running);
    }

private:
    std::unique_ptr<ScratchEnvironment> m_env;
    TestHttpServer m_service;
    FakeTool m_tool;
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"
