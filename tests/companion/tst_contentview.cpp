// SPDX-License-Identifier: MIT
#include "Buttons.h"
#include "OrvaneCompanionApp.h"
#include "ScratchEnvironment.h"
#include "Symbols.h"
#include "WindowFixture.h"

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLayout>
#include <QSignalSpy>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

// Counts paint events of the window and everything in it.
struct PaintCounter : QObject
{
    explicit PaintCounter(QWidget *w)
        : window(w)
    {
        qApp->installEventFilter(this);
    }
    bool eventFilter(QObject *o, QEvent *e) override
    {
        const bool ours
            = o->isWidgetType() && (o == window || window->isAncestorOf(static_cast<QWidget *>(o)));
        count += e->type() == QEvent::Paint && ours;
        return false;
    }
    QWidget *window;
    int count = 0;
};

// WCAG contrast ratio of two opaque colours.
double contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto lin = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

class ContentViewTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void states_data();
    void states();
    void failureLine_data();
    void failureLine();
    void keyboard_data();
    void keyboard();
    void pressedButtonFades();
    void footerLinksAreLinks();
    void raisedWithActivationToken();
    void samePollPaintsNothing_data();
    void samePollPaintsNothing();
    void tickerStartsAfterFirstPoll();

private:
    std::unique_ptr<ScratchEnvironment> m_env;
};

void ContentViewTest::initTestCase()
{
    m_env = std::make_unique<ScratchEnvironment>();
    OrvaneCompanionApp::prepare(*qApp, QLocale(QLocale::English));
}

void ContentViewTest::states_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QString>("headline");
    QTest::addColumn<QString>("explanation");
    QTest::addColumn<bool>("installEnabled");
    QTest::addColumn<bool>("uninstallEnabled");
    const QString stopped = QStringLiteral("Not running");
    const QString running = QStringLiteral("Pro sensors unlocked");
    const QString install
        = QStringLiteral("Install to unlock CPU/GPU temperature, SoC power and GPU usage inside Orvane.");
    const QString open = QStringLiteral("Open Orvane to see CPU/GPU temperature, SoC power and GPU usage.");
    QTest::newRow("stopped") << false << false << stopped << install << true << false;
    QTest::newRow("stopped, installing") << false << true << stopped << install << false << false;
    QTest::newRow("running") << true << false << running << open << false << true;
    QTest::newRow("running, uninstalling") << true << true << running << open << false << false;
}

void ContentViewTest::states()
{
    QFETCH(bool, running);
    QFETCH(bool, busy);
    QFETCH(QString, headline);
    QFETCH(QString, explanation);
    QFETCH(bool, installEnabled);
    QFETCH(bool, uninstallEnabled);
    WindowFixture w(running);
    QVERIFY(w.ready());
    const int idleHeight = w.view.height();
    if (busy) {
        w.action()->click();
        QVERIFY(w.reach(w.initial, true));
    }
    QCOMPARE(w.child<QLabel>("headline")->text(), headline);
    QCOMPARE(w.child<QLabel>("explanation")->text(), explanation);
    QVERIFY(!w.child<QWidget>("failureLine")->isVisible());
    // The symbol is decorative: the headline alone says the status.
    QVERIFY(w.child<QWidget>("statusSymbol")->accessibleName().isEmpty());
    auto *card = w.child<QWidget>("statusBlock");
    auto *busyRow = w.child<QWidget>("busyRow");
    QCOMPARE(busyRow->isVisible(), busy);
    QCOMPARE(w.child<BusyIndicator>("busyIndicator")->isAnimating(), busy);
    QVERIFY(!w.child<QWidget>("busyIndicator")->accessibleName().isEmpty());
    QCOMPARE(w.view.height() - idleHeight, busy ? busyRow->height() + card->layout()->spacing() : 0);
    QCOMPARE(w.view.width(), ContentView::windowWidth);
    QVERIFY(!(w.view.windowFlags() & Qt::WindowMaximizeButtonHint));

    // The card and the button row fill the column; the two buttons are equal and fill the row.
    auto *row = w.child<QWidget>("actions");
    auto *install = w.child<StyledButton>("installButton");
    auto *uninstall = w.child<StyledButton>("uninstallButton");
    QCOMPARE(card->width(), w.view.width() - 2 * ContentView::padding);
    QCOMPARE(card->geometry().left(), row->geometry().left());
    QCOMPARE(card->width(), row->width());
    QCOMPARE(install->size(), uninstall->size());
    QCOMPARE(install->width() + row->layout()->spacing() + uninstall->width(), row->width());
    QCOMPARE(install->isEnabled(), installEnabled);
    QCOMPARE(uninstall->isEnabled(), uninstallEnabled);
    for (StyledButton *button : { install, uninstall })
        QCOMPARE(button->opacity(), button->isEnabled() ? 1.0 : 0.4);

    // The glow shows just below the symbol's circle (2 px out) only while running.
    auto *symbol = w.child<QWidget>("statusSymbol");
    const QColor below = w.view.grab().toImage().pixelColor(
        symbol->mapTo(&w.view, QPoint(symbol->width() / 2, symbol->height())));
    const int greenLean = below.green() - below.red();
    QVERIFY2(running ? greenLean > 8 : qAbs(greenLean) <= 2, qPrintable(QString::number(greenLean)));
}

void ContentViewTest::failureLine_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("shown");
    const QString install = QStringLiteral("Couldn't install the sensor service: ");
    QTest::newRow("install") << false << "printf 'no readable sensors on this machine\\nmore\\n' >&2; exit 1"
                             << install + "no readable sensors on this machine";
    QTest::newRow("uninstall") << true << "echo 'cannot remove unit' >&2; exit 3"
                               << "Couldn't remove the sensor service: cannot remove unit";
    QTest::newRow("blank first line, controls")
        << false << "printf '\\n  \\n\\033[1mred\\007 alert\\n' >&2; exit 1" << install + "[1mred alert";
    QTest::newRow("long line") << false << "printf 'word %.0s' $(seq 300) >&2; exit 1"
                               << install + QStringLiteral("word ").repeated(48).trimmed();
}

void ContentViewTest::failureLine()
{
    QFETCH(bool, running);
    QFETCH(QString, tool);
    QFETCH(QString, shown);
    WindowFixture w(running);
    QVERIFY(w.ready());
    auto *line = w.child<QLabel>("failureLine");
    w.tool.write(tool);
    w.action()->click();
    QTRY_VERIFY(w.mgr->lastError() && !w.mgr->busy());
    QVERIFY(w.settle());
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
    w.action()->click();
    QVERIFY(w.reach(w.initial, true));
    QVERIFY(!line->isVisible());
    QVERIFY(line->accessibleName().isEmpty());
    QVERIFY(w.release());
    QVERIFY(w.reach(w.initial, false));
    QVERIFY(!line->isVisible());
}

void ContentViewTest::keyboard_data()
{
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<bool>("running");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("space, install") << Qt::Key_Space << false << QStringList { "--install" };
    QTest::newRow("return, uninstall") << Qt::Key_Return << true << QStringList { "serve", "--uninstall" };
    QTest::newRow("enter, install") << Qt::Key_Enter << false << QStringList { "--install" };
}

void ContentViewTest::keyboard()
{
    QFETCH(Qt::Key, key);
    QFETCH(bool, running);
    QFETCH(QStringList, arguments);
    WindowFixture w(running);
    QVERIFY(w.ready());
    QApplication::setActiveWindow(&w.view);
    QVERIFY(QTest::qWaitForWindowActive(&w.view));
    QAbstractButton *button = w.action();
    QVERIFY(!button->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QVERIFY(button->hasFocus());
    QTest::keyClick(button, key);
    QVERIFY(w.reach(w.initial, true));
    if (!running)
        arguments = QStringList { "serve", "--port", QString::number(w.service.port()) } + arguments;
    QTRY_COMPARE(w.tool.recordedCalls(), QList<QStringList> { arguments });

    // The disabled button hands the focus to the window, so no ring shows and no key reaches a link.
    QCOMPARE(QApplication::focusWidget(), &w.view);
    QSignalSpy linkClicks(w.child<QAbstractButton>("openOrvaneButton"), &QAbstractButton::clicked);
    for (Qt::Key again : { Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter })
        QTest::keyClick(QApplication::focusWidget(), again);
    QVERIFY(w.release());
    QVERIFY(w.reach(w.initial, false));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(linkClicks.count(), 0);
    QCOMPARE(QApplication::focusWidget(), &w.view);
    QTest::keyClick(&w.view, Qt::Key_Tab);
    QVERIFY(button->hasFocus());
}

void ContentViewTest::pressedButtonFades()
{
    WindowFixture w(false);
    QVERIFY(w.ready());
    auto *install = w.child<StyledButton>("installButton");
    QTest::mousePress(install, Qt::LeftButton);
    QCOMPARE(install->opacity(), 0.8);
    // Let go outside the button: no click, back to full strength.
    QTest::mouseRelease(install, Qt::LeftButton, {}, QPoint(-10, -10));
    QCOMPARE(install->opacity(), 1.0);
    QVERIFY(!w.mgr->busy());
}

void ContentViewTest::footerLinksAreLinks()
{
    WindowFixture w(false);
    QVERIFY(w.ready());
    // Nothing can be launched from here: a link that fires opens no real browser.
    ScratchEnvironment noLauncher;
    noLauncher.set("PATH", noLauncher.path().toUtf8());
    for (const char *name : { "openOrvaneButton", "privacyButton" }) {
        auto *link = w.child<QAbstractButton>(name);
        QAccessibleInterface *node = QAccessible::queryAccessibleInterface(link);
        QCOMPARE(node->role(), QAccessible::Link);
        QCOMPARE(node->text(QAccessible::Name), link->text());
        QSignalSpy clicks(link, &QAbstractButton::clicked);
        QCOMPARE(node->actionInterface()->actionNames(),
            QStringList { QAccessibleActionInterface::pressAction() });
        node->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(clicks.count(), 1);
    }
}

void ContentViewTest::raisedWithActivationToken()
{
    WindowFixture w(false);
    QVERIFY(w.ready());
    m_env->set("XDG_ACTIVATION_TOKEN", {});
    w.view.showMinimized();
    OrvaneCompanionApp::bringForward(&w.view, QStringLiteral("launch-2"));
    QCOMPARE(qgetenv("XDG_ACTIVATION_TOKEN"), QByteArrayLiteral("launch-2"));
    QVERIFY(w.view.isVisible() && !w.view.isMinimized());
}

void ContentViewTest::samePollPaintsNothing_data()
{
    QTest::addColumn<bool>("running");
    QTest::newRow("stopped") << false;
    QTest::newRow("running, new readings") << true;
}

void ContentViewTest::samePollPaintsNothing()
{
    QFETCH(bool, running);
    WindowFixture w(running);
    QVERIFY(w.ready());
    PaintCounter paints(&w.view);
    const std::optional<CompanionSensors> readings = w.mgr->sensors();
    // Readings the window does not show change nothing on it either.
    if (running)
        w.service.setResponse(200, TestHttpServer::sampleDocument().replace("51.5", "77.25"));
    const int served = w.service.requestCount();
    constexpr int polls = 3;
    for (int i = 0; i < polls; ++i)
        w.mgr->refresh();
    QTRY_VERIFY(w.service.requestCount() >= served + polls);
    QTest::qWait(200);
    QCOMPARE(w.mgr->sensors() != readings, running);
    QCOMPARE(paints.count, 0);
}

void ContentViewTest::tickerStartsAfterFirstPoll()
{
    WindowFixture w(true);
    QElapsedTimer clock;
    QList<qint64> servedAt;
    bool timerDuringFirstPoll = true;
    QObject::connect(&w.service, &TestHttpServer::requestServed, &w.service, [&] {
        if (servedAt.isEmpty())
            timerDuringFirstPoll = w.view.findChild<QTimer *>(QStringLiteral("ticker")) != nullptr;
        servedAt << clock.elapsed();
    });
    qint64 firstFinished = -1;
    QObject::connect(
        w.mgr, &CompanionManager::statusChanged, w.mgr, [&] { firstFinished = clock.elapsed(); });
    QVERIFY(w.view.windowIcon().isNull());
    clock.start();
    w.view.show();
    QTRY_COMPARE_WITH_TIMEOUT(servedAt.size(), 2, 6000);
    // The program's own icon is set once the window has appeared.
    QVERIFY(!w.view.windowIcon().isNull());
    QVERIFY(!timerDuringFirstPoll);
    const qint64 gap = servedAt[1] - firstFinished;
    QVERIFY2(firstFinished >= 0 && gap >= 2400 && gap <= 3300, qPrintable(QString::number(gap)));
    QCOMPARE(w.view.findChild<QTimer *>(QStringLiteral("ticker"))->intervalAsDuration(), 2500ms);
}

QTEST_MAIN(ContentViewTest)
#include "tst_contentview.moc"
