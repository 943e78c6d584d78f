// SPDX-License-Identifier: MIT
#include "Launcher.h"
#include "ScratchEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeExecutable(const QString &path, const QString &body)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QStringLiteral("#!/bin/sh\n%1\n").arg(body).toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

} // namespace

class LauncherTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void splitExec_data();
    void splitExec();
    void openOrvane_data();
    void openOrvane();
    void privacyPageOpensInBrowser();

private:
    std::unique_ptr<ScratchEnvironment> m_env;
    QString m_browserLog;
    QString m_orvaneLog;
};

void LauncherTest::initTestCase()
{
    m_env = std::make_unique<ScratchEnvironment>();
    // No session bus: the launcher must start Orvane from its entry's command.
    m_env->set("DBUS_SESSION_BUS_ADDRESS", QByteArrayLiteral("unix:path=/nonexistent/bus"));
    m_env->set("BROWSER", {});
    const QString tools = m_env->path() + QStringLiteral("/tools");
    m_browserLog = m_env->path() + QStringLiteral("/browser.log");
    m_orvaneLog = m_env->path() + QStringLiteral("/orvane.log");
    // The desktop's opener records the address it was given instead of starting a browser.
    writeExecutable(
        tools + QStringLiteral("/xdg-open"), QStringLiteral("echo \"$1\" >> '%1'").arg(m_browserLog));
    writeExecutable(
        tools + QStringLiteral("/fake-orvane"), QStringLiteral("echo \"$*\" >> '%1'").arg(m_orvaneLog));
    m_env->set("PATH", (tools + QLatin1Char(':') + qEnvironmentVariable("PATH")).toUtf8());
}

void LauncherTest::init()
{
    QFile::remove(m_browserLog);
    QFile::remove(m_orvaneLog);
}

void LauncherTest::cleanup()
{
    for (const char *variable : { "XDG_DATA_HOME", "XDG_DATA_DIRS" })
        QDir(qEnvironmentVariable(variable) + QStringLiteral("/applications")).removeRecursively();
}

void LauncherTest::splitExec_data()
{
    QTest::addColumn<QString>("exec");
    QTest::addColumn<QStringList>("command");
    QTest::newRow("plain") << "orvane --new" << QStringList { "orvane", "--new" };
    QTest::newRow("field codes dropped") << "orvane %U --x %i %c %k" << QStringList { "orvane", "--x" };
    QTest::newRow("percent kept") << "orvane --share=50%%" << QStringList { "orvane", "--share=50%" };
    QTest::newRow("code inside argument") << "orvane --file=%f" << QStringList { "orvane", "--file=" };
    QTest::newRow("quoted spaces") << "\"/opt/My Apps/orvane\" -a"
                                   << QStringList { "/opt/My Apps/orvane", "-a" };
    QTest::newRow("escaped quote") << R"(sh -c "echo \"hi\"")" << QStringList { "sh", "-c", R"(echo "hi")" };
    QTest::newRow("empty quoted argument") << "orvane \"\"" << QStringList { "orvane", "" };
    QTest::newRow("extra spaces") << "  orvane   -a  " << QStringList { "orvane", "-a" };
}

void LauncherTest::splitExec()
{
    QFETCH(QString, exec);
    QFETCH(QStringList, command);
    QCOMPARE(Launcher::splitExec(exec), command);
}

void LauncherTest::openOrvane_data()
{
    QTest::addColumn<QString>("dataVariable");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("launched");
    QTest::addColumn<QString>("browsed");

    const QString orvane = Launcher::orvaneAppId;
    QTest::newRow("installed system-wide")
        << "XDG_DATA_DIRS"
        << "[Desktop Entry]\nType=Application\nName=Orvane\nExec=fake-orvane --from-menu %U\n"
        << "--from-menu" << QString();
    QTest::newRow("installed for the user")
        << "XDG_DATA_HOME"
        << "[Desktop Action x]\nExec=wrong\n[Desktop Entry]\nExec=fake-orvane \"a b\"\\s%F\n"
        << "a b" << QString();
    QTest::newRow("not installed") << QString() << QString() << QString() << Launcher::makerSite;
    QTest::newRow("entry without command") << "XDG_DATA_DIRS"
                                           << "[Desktop Entry]\nName=Orvane\n"
                                           << QString() << Launcher::makerSite;
}

void LauncherTest::openOrvane()
{
    QFETCH(QString, dataVariable);
    QFETCH(QString, entry);
    QFETCH(QString, launched);
    QFETCH(QString, browsed);
    if (!dataVariable.isEmpty()) {
        const QString folder
            = qEnvironmentVariable(qPrintable(dataVariable)) + QStringLiteral("/applications");
        QDir().mkpath(folder);
        QFile file(folder + QLatin1Char('/') + Launcher::orvaneAppId + QStringLiteral(".desktop"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(entry.toUtf8());
    }

    Launcher::openOrvane();

    const QString awaited = launched.isEmpty() ? m_browserLog : m_orvaneLog;
    QTRY_VERIFY(QFile::exists(awaited));
    QTRY_COMPARE(readAll(awaited), launched.isEmpty() ? browsed : launched);
    // The other way out stays shut: no browser when Orvane starts, no Orvane when the site opens.
    QTest::qWait(200);
    QVERIFY(!QFile::exists(launched.isEmpty() ? m_orvaneLog : m_browserLog));
}

void LauncherTest::privacyPageOpensInBrowser()
{
    Launcher::openPrivacyPage();
    QTRY_COMPARE(readAll(m_browserLog), Launcher::privacyPage);
}

QTEST_MAIN(LauncherTest)
#include "tst_launcher.moc"
