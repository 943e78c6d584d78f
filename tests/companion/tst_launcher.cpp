// SPDX-License-Identifier: MIT
#include "Launcher.h"
#include "ScratchEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

namespace {

void writeFile(const QString &path, const QString &text, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
    if (executable)
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

// Runs the action and returns what it wrote to standard error.
template<typename Action> QString standardError(Action action)
{
    QTemporaryFile file;
    const int saved = dup(STDERR_FILENO);
    if (!file.open() || dup2(file.handle(), STDERR_FILENO) < 0)
        return QStringLiteral("cannot capture");
    action();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    return readAll(file.fileName());
}

} // namespace

class LauncherTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void open_data();
    void open();

private:
    std::unique_ptr<ScratchEnvironment> m_env;
    QString m_tools, m_browserLog, m_orvaneLog;
};

void LauncherTest::initTestCase()
{
    m_env = std::make_unique<ScratchEnvironment>();
    // No session bus: the launcher must start Orvane from its entry's command.
    m_env->set("DBUS_SESSION_BUS_ADDRESS", QByteArrayLiteral("unix:path=/nonexistent/bus"));
    m_env->set("BROWSER", {});
    m_tools = m_env->path() + QStringLiteral("/tools");
    m_browserLog = m_env->path() + QStringLiteral("/browser.log");
    m_orvaneLog = m_env->path() + QStringLiteral("/orvane.log");
    // The desktop's opener records the address it was given instead of starting a browser.
    writeFile(m_tools + QStringLiteral("/xdg-open"),
        QStringLiteral("#!/bin/sh\necho \"$1\" >> '%1'\n").arg(m_browserLog), true);
    writeFile(m_tools + QStringLiteral("/fake-orvane"),
        QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1'\n").arg(m_orvaneLog), true);
}

void LauncherTest::open_data()
{
    QTest::addColumn<bool>("privacy");
    QTest::addColumn<QString>("dataVariable");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<bool>("opener");
    QTest::addColumn<QString>("launched");
    QTest::addColumn<QString>("browsed");
    QTest::addColumn<QString>("complaint");

    const QString site = Launcher::makerSite;
    QTest::newRow("installed system-wide")
        << false << "XDG_DATA_DIRS"
        << "[Desktop Entry]\nType=Application\nExec=fake-orvane --from-menu %U --x=%f --share=50%%\n"
        << true << "--from-menu --x= --share=50%" << QString() << QString();
    QTest::newRow("installed for the user") << false << "XDG_DATA_HOME"
                                            << R"([Desktop Action x]
Exec=wrong
[Desktop Entry]
Exec=fake-orvane "a b"\s%F  "say \\"hi\\""
)" << true << R"(a b say "hi")" << QString() << QString();
    QTest::newRow("not installed") << false << QString() << QString() << true << QString() << site
                                   << QString();
    QTest::newRow("entry without command") << false << "XDG_DATA_DIRS"
                                           << "[Desktop Entry]\nName=Orvane\n"
                                           << true << QString() << site << QString();
    QTest::newRow("empty program") << false << "XDG_DATA_DIRS"
                                   << "[Desktop Entry]\nExec=\"\" --x\n"
                                   << true << QString() << QString()
                                   << "orvane-companion: cannot start Orvane from ";
    QTest::newRow("missing program") << false << "XDG_DATA_DIRS"
                                     << "[Desktop Entry]\nExec=/nonexistent/orvane\n"
                                     << true << QString() << QString()
                                     << "orvane-companion: cannot start Orvane from ";
    QTest::newRow("privacy page") << true << QString() << QString() << true << QString()
                                  << Launcher::privacyPage << QString();
    QTest::newRow("no opener") << true << QString() << QString() << false << QString() << QString()
                               << "orvane-companion: nothing can open " + Launcher::privacyPage;
}

void LauncherTest::open()
{
    QFETCH(bool, privacy);
    QFETCH(QString, dataVariable);
    QFETCH(QString, entry);
    QFETCH(bool, opener);
    QFETCH(QString, launched);
    QFETCH(QString, browsed);
    QFETCH(QString, complaint);
    QFile::remove(m_browserLog);
    QFile::remove(m_orvaneLog);
    const QString entryPath = qEnvironmentVariable(qPrintable(dataVariable))
        + QStringLiteral("/applications/") + Launcher::orvaneAppId + QStringLiteral(".desktop");
    if (!dataVariable.isEmpty())
        writeFile(entryPath, entry);
    // Without the opener nothing can show a web page: the offscreen platform has no desktop services.
    m_env->set("PATH", opener ? m_tools.toUtf8() + ":/usr/bin:/bin" : m_env->path().toUtf8());

    const QString written = standardError(privacy ? &Launcher::openPrivacyPage : &Launcher::openOrvane);
    QTRY_COMPARE(readAll(m_orvaneLog), launched);
    QTRY_COMPARE(readAll(m_browserLog), browsed);
    // Nothing else follows: no browser when Orvane starts, no Orvane when a page opens.
    QTest::qWait(200);
    QCOMPARE(readAll(m_orvaneLog), launched);
    QCOMPARE(readAll(m_browserLog), browsed);
    QVERIFY2(
        complaint.isEmpty() ? written.isEmpty() : written.startsWith(complaint) && !written.contains('\n'),
        qPrintable(written));
    if (!dataVariable.isEmpty())
        QFile::remove(entryPath);
}

QTEST_MAIN(LauncherTest)
#include "tst_launcher.moc"
