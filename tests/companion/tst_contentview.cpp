// SPDX-License-Identifier: MIT
// Runs on a private session bus (dbus-run-session), as the test's command line sets up.
#include "AppIdentity.h"
#include "Buttons.h"
#include "Launcher.h"
#include "OrvaneCompanionApp.h"
#include "ScratchEnvironment.h"
#include "SingleInstance.h"
#include "Symbols.h"
#include "WindowFixture.h"

#include <QAccessible>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLayout>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Writes the file, executable, with its folders.
void writeFile(const QString &path, const QString &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text.toUtf8()) >= 0);
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

// Runs the action and returns what it wrote to standard error.
QString standardError(const std::function<void()> &action)
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

// Counts paint events of the window and everything in it, once installed on the application.
struct PaintCounter : QObject
{
    bool eventFilter(QObject *o, QEvent *e) override
    {
        count += e->type() == QEvent::Paint
            && (o == window || window->isAncestorOf(qobject_cast<QWidget *>(o)));
        return false;
    }
    QWidget *window = nullptr;
    int count = 0;
};

// WCAG contrast ratio of two opaque colours.
double contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        double sum = 0.05;
        for (const auto &[v, weight] :
            { std::pair { c.redF(), 0.2126 }, { c.greenF(), 0.7152 }, { c.blueF(), 0.0722 } })
            sum += weight * (v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
        return sum;
    };
    return std::max(luminance(a), luminance(b)) / std::min(luminance(a), luminance(b));
}

// The program's entry as its own process, polling the given service, with one more variable set.
struct Instance
{
    Instance(const TestHttpServer &service, const FakeTool &tool, const QString &name, const QString &value)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // Only the token given here, never one this test process was started or raised with.
        for (const char *token : { "XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID" })
            env.remove(token);
        env.insert(name, value);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral(COMPANION_PROBE), { QString::number(service.port()), tool.binDir() });
    }
    ~Instance() { process.kill(), process.waitForFinished(WindowFixture::stateWaitMs); }
    bool exitsCleanly()
    {
        return QTest::qWaitFor(
                   [this] { return process.state() == QProcess::NotRunning; }, WindowFixture::stateWaitMs)
            && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    QProcess process;
};

} // namespace

class ContentViewTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        OrvaneCompanionApp::prepare(*qApp, QLocale(QLocale::English));
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run me under dbus-run-session");
        // The rest runs as under a screen reader.
        QAccessible::setActive(true);
        m_env.set("BROWSER", {});
        // The desktop's opener and Orvane only record that they were started, and with what.
        for (const QString name : { "xdg-open", "fake-orvane" })
            writeFile(m_tools + name, "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> '" + m_log + "'\n");
    }
    void states_data()
    {
        QTest::addColumn<bool>("running");
        QTest::addColumn<bool>("busy");
        for (bool running : { false, true })
            for (bool busy : { false, true })
                QTest::addRow("%s%s", running ? "running" : "stopped", busy ? ", busy" : "")
                    << running << busy;
    }

    void states()
    {
        QFETCH(bool, running);
        QFETCH(bool, busy);
        WindowFixture w(running);
        QVERIFY(w.ready());
        const int idleHeight = w.view.height();
        if (busy) {
            w.action()->click();
            QVERIFY(w.reach(w.initial, true));
        }
        QCOMPARE(w.child<QLabel>("headline")->text(), running ? "Pro sensors unlocked" : "Not running");
        QCOMPARE(w.child<QLabel>("explanation")->text().startsWith("Open Orvane"), running);
        QVERIFY(!w.child<QWidget>("failureLine")->isVisible());
        // The symbol is decorative: the headline alone says the status.
        QVERIFY(w.child<QWidget>("statusSymbol")->accessibleName().isEmpty());
        auto *card = w.child<QWidget>("statusBlock");
        auto *busyRow = w.child<QWidget>("busyRow");
        QCOMPARE(busyRow->isVisible(), busy);
        QCOMPARE(w.child<BusyIndicator>("busyIndicator")->isAnimating(), busy);
        const QAccessibleInterface *spinner
            = QAccessible::queryAccessibleInterface(w.child<QWidget>("busyIndicator"));
        QVERIFY(spinner->role() == QAccessible::ProgressBar && spinner->state().busy);
        QVERIFY(!spinner->text(QAccessible::Name).isEmpty());
        QCOMPARE(w.view.height() - idleHeight, busy ? busyRow->height() + card->layout()->spacing() : 0);
        QVERIFY(!(w.window.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(w.window.size(), w.view.size());

        // The two buttons are equal, and only the one that applies is enabled, none while busy.
        auto *install = w.child<StyledButton>("installButton");
        auto *uninstall = w.child<StyledButton>("uninstallButton");
        QCOMPARE(install->size(), uninstall->size());
        QCOMPARE(install->isEnabled(), !running && !busy);
        QCOMPARE(uninstall->isEnabled(), running && !busy);

        if (!busy) {
            // A poll that changes nothing shown paints nothing, even with new readings.
            PaintCounter paints;
            paints.window = &w.view;
            qApp->installEventFilter(&paints);
            const std::optional<CompanionSensors> readings = w.mgr->sensors();
            if (running)
                w.service.setResponse(200, TestHttpServer::sampleDocument().replace("51.5", "77.25"));
            const int served = w.service.requestCount();
            for (int i = 0; i < 3; ++i)
                w.mgr->refresh();
            QTRY_VERIFY(w.service.requestCount() >= served + 3);
            QTest::qWait(200);
            QCOMPARE(w.mgr->sensors() != readings, running);
            QCOMPARE(paints.count, 0);
        }
    }

    // What a Wayland compositor may do to the window: it takes the size given, and keeps the status and both
    // buttons in view, the scene centred; back in the normal state it fits the scene again.
    void compositorSizes_data()
    {
        QTest::addColumn<Qt::WindowState>("state");
        QTest::addColumn<bool>("busyMeanwhile"); // the scene grows before the state is left again
        QTest::addRow("a tile narrower and shorter than the scene") << Qt::WindowNoState << false;
        QTest::addRow("maximized") << Qt::WindowMaximized << false;
        QTest::addRow("full screen") << Qt::WindowFullScreen << false;
        QTest::addRow("back from maximized, grown meanwhile") << Qt::WindowMaximized << true;
        QTest::addRow("back from full screen, grown meanwhile") << Qt::WindowFullScreen << true;
    }

    void compositorSizes()
    {
        QFETCH(Qt::WindowState, state);
        QFETCH(bool, busyMeanwhile);
        WindowFixture w(false, CompanionWindow::Sizing::compositor);
        QVERIFY(w.ready());
        QCOMPARE(w.window.minimumWidth(), ContentView::minimumWidth);
        QSize given { 316, 373 };
        if (state == Qt::WindowNoState)
            w.window.resize(given);
        else {
            w.window.setWindowState(state);
            QTRY_VERIFY(w.window.width() > ContentView::windowWidth);
            given = w.window.size();
        }
        if (busyMeanwhile) {
            w.action()->click();
            QVERIFY(w.reach(w.initial, true));
            w.window.setWindowState(Qt::WindowNoState);
        }
        QTRY_COMPARE(w.window.size(), busyMeanwhile ? w.view.size() : given);
        QVERIFY(w.settle());
        QCOMPARE(w.view.width(), std::min(given.width(), int(ContentView::windowWidth)));
        QCOMPARE(w.view.x(), (w.window.width() - w.view.width()) / 2);
        for (const char *name : { "headline", "installButton", "uninstallButton" }) {
            auto *shown = w.child<QWidget>(name);
            QVERIFY2(w.window.rect().contains(QRect(shown->mapTo(&w.window, QPoint()), shown->size())), name);
        }
    }

    void failedRunFromKeyboard_data()
    {
        QTest::addColumn<bool>("running");
        QTest::addColumn<Qt::Key>("key");
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QString>("shown");
        const QString install = QStringLiteral("Couldn't install the sensor service: ");
        QTest::newRow("install") << false << Qt::Key_Space
                                 << "printf 'no readable sensors on this machine\\nmore\\n' >&2; exit 1"
                                 << install + "no readable sensors on this machine";
        QTest::newRow("uninstall") << true << Qt::Key_Return << "echo 'cannot remove unit' >&2; exit 3"
                                   << "Couldn't remove the sensor service: cannot remove unit";
        QTest::newRow("blank first line, controls")
            << false << Qt::Key_Enter << "printf '\\n  \\n\\033[1mred\\007 alert\\n' >&2; exit 1"
            << install + "[1mred alert";
        QTest::newRow("long line") << false << Qt::Key_Space << "printf 'word %.0s' $(seq 300) >&2; exit 1"
                                   << install + QStringLiteral("word ").repeated(48).trimmed();
    }

    void failedRunFromKeyboard()
    {
        QFETCH(bool, running);
        QFETCH(Qt::Key, key);
        QFETCH(QString, tool);
        QFETCH(QString, shown);
        WindowFixture w(running);
        QVERIFY(w.ready());
        QApplication::setActiveWindow(&w.window);
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        QAbstractButton *button = w.action();
        QVERIFY(!button->hasFocus());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(button->hasFocus());
        w.tool.write(tool);
        QTest::keyClick(button, key);
        QTRY_VERIFY(w.mgr->lastError() && !w.mgr->busy());
        QVERIFY(w.settle());
        auto *line = w.child<QLabel>("failureLine");
        QVERIFY(line->isVisible());
        QCOMPARE(line->accessibleName(), shown);
        // Two lines at most, each within the card; a longer text ends in an ellipsis.
        const QStringList lines = line->text().split(QLatin1Char('\n'));
        QVERIFY(lines.size() <= 2);
        QCOMPARE(lines.join(QLatin1Char(' ')) == shown, !line->text().endsWith(QChar(0x2026)));
        for (const QString &part : lines)
            QVERIFY2(line->fontMetrics().horizontalAdvance(part) <= line->width(), qPrintable(part));
        QVERIFY(line->geometry().bottom() < w.child<QWidget>("statusBlock")->height());
        const QColor card = w.view.grab().toImage().pixelColor(line->mapTo(&w.view, QPoint(1, 1)));
        QVERIFY(contrast(line->palette().color(QPalette::WindowText), card) >= 4.5);

        // The next run clears it as it starts, text and name alike.
        w.tool.write(WindowFixture::heldRun);
        button->click();
        QVERIFY(w.reach(w.initial, true));
        QVERIFY(!line->isVisible());
        QVERIFY(line->accessibleName().isEmpty());
        // The disabled button hands the focus to the window, so no ring shows and no key reaches a link.
        QCOMPARE(QApplication::focusWidget(), &w.view);
        QSignalSpy linkClicks(w.child<QAbstractButton>("openOrvaneButton"), &QAbstractButton::clicked);
        for (Qt::Key again : { Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter })
            QTest::keyClick(QApplication::focusWidget(), again);
        QVERIFY(w.release());
        QVERIFY(w.reach(w.initial, false));
        QVERIFY(!line->isVisible());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QCOMPARE(linkClicks.count(), 0);
        QCOMPARE(QApplication::focusWidget(), &w.view);
        QTest::keyClick(&w.view, Qt::Key_Tab);
        QVERIFY(button->hasFocus());
    }

    void links_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("dataVariable");
        QTest::addColumn<bool>("opener");
        QTest::addColumn<QString>("entry");
        // Exactly one thing happens: the program started with its arguments, or a line on standard error.
        QTest::addColumn<QString>("outcome");
        const QString orvane = u"openOrvaneButton"_s, privacy = u"privacyButton"_s,
                      system = u"XDG_DATA_DIRS"_s;
        const QString browse = u"xdg-open "_s, cannotStart = u"orvane-companion: cannot start Orvane from "_s;
        QTest::newRow("installed") << orvane << u"XDG_DATA_HOME"_s << true << uR"([Desktop Entry]
Exec=fake-orvane --from-menu "a b"\s%F --x=%f --share=50%%  "say \\"hi\\""
[Desktop Action x]
Exec=wrong
)"_s << uR"(fake-orvane --from-menu a b --x= --share=50% say "hi")"_s;
        QTest::newRow("entry without command")
            << orvane << system << true << u"[Desktop Entry]\nName=Orvane"_s << browse + Launcher::makerSite;
        QTest::newRow("missing program")
            << orvane << system << true << u"[Desktop Entry]\nExec=/nonexistent/orvane"_s << cannotStart;
        QTest::newRow("privacy page")
            << privacy << QString() << true << QString() << browse + Launcher::privacyPage;
        QTest::newRow("no opener") << privacy << QString() << false << QString()
                                   << "orvane-companion: nothing can open " + Launcher::privacyPage;
    }

    void links()
    {
        QFETCH(QString, link);
        QFETCH(QString, dataVariable);
        QFETCH(bool, opener);
        QFETCH(QString, entry);
        QFETCH(QString, outcome);
        WindowFixture w(false);
        QVERIFY(w.ready());
        QFile::remove(m_log);
        const QString entryPath = qEnvironmentVariable(qPrintable(dataVariable)) + "/applications/"
            + Launcher::orvaneAppId + ".desktop";
        if (!dataVariable.isEmpty())
            writeFile(entryPath, entry);
        const auto removeEntry = qScopeGuard([&] { QFile::remove(entryPath); });
        // Without the opener nothing can show a web page: the offscreen platform has no desktop services.
        m_env.set("PATH", opener ? m_tools.toUtf8() + ":/usr/bin:/bin" : m_env.path().toUtf8());

        // The footer link's one action for assistive technology follows it.
        QAccessibleInterface *node
            = QAccessible::queryAccessibleInterface(w.child<QWidget>(qPrintable(link)));
        QCOMPARE(node->actionInterface()->actionNames(),
            QStringList { QAccessibleActionInterface::pressAction() });
        const QString written = standardError(
            [&] { node->actionInterface()->doAction(QAccessibleActionInterface::pressAction()); });
        const bool complains = outcome.startsWith("orvane-companion: ");
        QTRY_COMPARE(readAll(m_log), complains ? QString() : outcome);
        // Nothing else follows: no browser when Orvane starts, no Orvane when a page opens.
        QTest::qWait(200);
        QCOMPARE(readAll(m_log), complains ? QString() : outcome);
        QVERIFY2(complains ? written.startsWith(outcome) && !written.contains('\n') : written.isEmpty(),
            qPrintable(written));
    }

    // The window's icon comes once it is shown, its ticker after the first poll; another launch raises it.
    void shownThenRaised()
    {
        WindowFixture w(true);
        QElapsedTimer clock;
        QList<qint64> servedAt;
        bool timerDuringFirstPoll = true;
        QObject::connect(&w.service, &TestHttpServer::requestServed, &w.service, [&] {
            if (servedAt.isEmpty())
                timerDuringFirstPoll = w.child<QTimer>("ticker") != nullptr;
            servedAt << clock.elapsed();
        });
        qint64 firstFinished = -1;
        connect(w.mgr, &CompanionManager::statusChanged, w.mgr, [&] { firstFinished = clock.elapsed(); });
        QVERIFY(w.window.windowIcon().isNull());
        clock.start();
        w.window.show();
        QTRY_COMPARE_WITH_TIMEOUT(servedAt.size(), 2, 6000);
        QVERIFY(!w.window.windowIcon().isNull());
        QVERIFY(!timerDuringFirstPoll);
        const qint64 gap = servedAt[1] - firstFinished;
        QVERIFY2(firstFinished >= 0 && gap >= 2400 && gap <= 3300, qPrintable(QString::number(gap)));
        m_env.set("XDG_ACTIVATION_TOKEN", {});
        w.window.showMinimized();
        OrvaneCompanionApp::bringForward(&w.window, QStringLiteral("launch-2"));
        QCOMPARE(qgetenv("XDG_ACTIVATION_TOKEN"), QByteArrayLiteral("launch-2"));
        QVERIFY(w.window.isVisible() && !w.window.isMinimized());
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
            QTRY_VERIFY_WITH_TIMEOUT(m_service.requestCount() > 0, WindowFixture::stateWaitMs);
            QVERIFY(Instance(m_service, m_tool, noBus[0], noBus[1]).exitsCleanly());
            QCOMPARE(first.process.state(), QProcess::Running);
        } // killed: its lock file stays behind
        QVERIFY(QFile::exists(SingleInstance::lockFilePath()));
        const int polled = m_service.requestCount();
        Instance next(m_service, m_tool, noBus[0], noBus[1]);
        QTRY_VERIFY_WITH_TIMEOUT(m_service.requestCount() > polled, WindowFixture::stateWaitMs);
        QCOMPARE(next.process.state(), QProcess::Running);
    }

private:
    ScratchEnvironment m_env;
    TestHttpServer m_service;
    FakeTool m_tool;
    const QString m_tools = m_env.path() + "/tools/", m_log = m_env.path() + "/started.log";
};

QTEST_MAIN(ContentViewTest)
#include "tst_contentview.moc"
