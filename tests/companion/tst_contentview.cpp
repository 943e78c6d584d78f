// SPDX-License-Identifier: MIT
#include "Buttons.h"
#include "OrvaneCompanionApp.h"
#include "ScratchEnvironment.h"
#include "Symbols.h"
#include "WindowFixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

// Counts paint events of one window and everything in it.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *window)
        : m_window(window)
    {
        qApp->installEventFilter(this);
    }
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && watched->isWidgetType()
            && (watched == m_window || m_window->isAncestorOf(static_cast<QWidget *>(watched))))
            ++count;
        return false;
    }

private:
    QWidget *m_window;
};

// How far a pixel leans to green: positive where the running symbol's glow lies.
int greenLean(const QImage &image, QPoint at)
{
    const QColor pixel = image.pixelColor(at);
    return pixel.green() - pixel.red();
}

} // namespace

class ContentViewTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void states_data();
    void states();
    void pressedButtonFades();
    void keyboardStartsInstall_data();
    void keyboardStartsInstall();
    void readingsAndErrorsChangeNoPixel();
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
    const CompanionStatus status = running ? CompanionStatus::running : CompanionStatus::stopped;
    WindowFixture w(running);
    QVERIFY(w.showAndSettle());
    QVERIFY(w.reach(status, false));
    const int idleHeight = w.view.height();
    if (busy) {
        // The one enabled button starts the tool, which holds until released.
        w.child<QAbstractButton>(running ? "uninstallButton" : "installButton")->click();
        QVERIFY(w.reach(status, true));
    }

    QCOMPARE(w.child<QLabel>("headline")->text(), headline);
    QCOMPARE(w.child<QLabel>("explanation")->text(), explanation);
    QCOMPARE(w.child<QWidget>("statusSymbol")->accessibleName(), w.child<QLabel>("headline")->text());

    auto *busyRow = w.child<QWidget>("busyRow");
    auto *indicator = w.child<BusyIndicator>("busyIndicator");
    QCOMPARE(busyRow->isVisible(), busy);
    QCOMPARE(indicator->isAnimating(), busy);
    QVERIFY(!indicator->accessibleName().isEmpty());
    const int busyGrowth = busy ? busyRow->sizeHint().height() + 12 : 0;
    QCOMPARE(w.view.height(), idleHeight + busyGrowth);
    QCOMPARE(w.view.width(), 440);
    QCOMPARE(w.child<QWidget>("statusBlock")->width(), 384);

    auto *install = w.child<StyledButton>("installButton");
    auto *uninstall = w.child<StyledButton>("uninstallButton");
    QCOMPARE(install->isEnabled(), installEnabled);
    QCOMPARE(uninstall->isEnabled(), uninstallEnabled);
    for (StyledButton *button : { install, uninstall }) {
        QCOMPARE(button->width(), 187);
        QCOMPARE(button->opacity(), button->isEnabled() ? 1.0 : 0.4);
    }
    QCOMPARE(uninstall->x() - install->geometry().right() - 1, 10);
    QVERIFY(w.child<QAbstractButton>("openOrvaneButton")->isEnabled());
    QVERIFY(w.child<QAbstractButton>("privacyButton")->isEnabled());

    // The glow shows just below the symbol's circle (2 px out) only while running.
    const QImage frame = w.view.grab().toImage();
    auto *symbol = w.child<QWidget>("statusSymbol");
    const QPoint belowSymbol = symbol->mapTo(&w.view, QPoint(symbol->width() / 2, symbol->height()));
    if (running)
        QVERIFY2(greenLean(frame, belowSymbol) > 8, "no green glow under the running symbol");
    else
        QVERIFY(qAbs(greenLean(frame, belowSymbol)) <= 2);
}

void ContentViewTest::pressedButtonFades()
{
    WindowFixture w(false);
    QVERIFY(w.showAndSettle());
    auto *install = w.child<StyledButton>("installButton");
    QTest::mousePress(install, Qt::LeftButton);
    QCOMPARE(install->opacity(), 0.8);
    // Let go outside the button: no click, back to full strength.
    QTest::mouseRelease(install, Qt::LeftButton, {}, QPoint(-10, -10));
    QCOMPARE(install->opacity(), 1.0);
    QVERIFY(!w.mgr->busy());
}

void ContentViewTest::keyboardStartsInstall_data()
{
    QTest::addColumn<Qt::Key>("key");
    QTest::newRow("space") << Qt::Key_Space;
    QTest::newRow("return") << Qt::Key_Return;
    QTest::newRow("enter") << Qt::Key_Enter;
}

void ContentViewTest::keyboardStartsInstall()
{
    QFETCH(Qt::Key, key);
    WindowFixture w(false);
    QVERIFY(w.showAndSettle());
    QApplication::setActiveWindow(&w.view);
    QVERIFY(QTest::qWaitForWindowActive(&w.view));
    auto *install = w.child<QWidget>("installButton");
    QVERIFY(!install->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QVERIFY(install->hasFocus());
    QTest::keyClick(install, key);
    QVERIFY(w.reach(CompanionStatus::stopped, true));
    const QStringList expected { QStringLiteral("serve"), QStringLiteral("--port"),
        QString::number(w.service.port()), QStringLiteral("--install") };
    QTRY_COMPARE(w.tool.recordedCalls(), QList<QStringList> { expected });
}

void ContentViewTest::readingsAndErrorsChangeNoPixel()
{
    WindowFixture w(true);
    QVERIFY(w.showAndSettle());
    QVERIFY(w.reach(CompanionStatus::running, false));
    const QImage before = w.view.grab().toImage();

    QByteArray otherReadings = TestHttpServer::sampleDocument();
    otherReadings.replace("51.5", "77.25");
    w.service.setResponse(200, otherReadings);
    const std::optional<CompanionSensors> oldReadings = w.mgr->sensors();
    QTRY_VERIFY(w.mgr->sensors() != oldReadings);
    QVERIFY(w.settle());
    QCOMPARE(w.view.grab().toImage(), before);

    // A failing uninstall leaves an error text; the service still answers, so the status stays.
    w.tool.write(QStringLiteral("echo 'cannot remove' >&2; exit 3"));
    w.child<QAbstractButton>("uninstallButton")->click();
    QTRY_VERIFY(w.mgr->lastError().has_value());
    QVERIFY(w.reach(CompanionStatus::running, false));
    QCOMPARE(w.view.grab().toImage(), before);
}

void ContentViewTest::samePollPaintsNothing_data()
{
    QTest::addColumn<bool>("running");
    QTest::newRow("stopped") << false;
    QTest::newRow("running") << true;
}

void ContentViewTest::samePollPaintsNothing()
{
    QFETCH(bool, running);
    WindowFixture w(running);
    QVERIFY(w.showAndSettle());
    QVERIFY(w.reach(running ? CompanionStatus::running : CompanionStatus::stopped, false));
    PaintCounter paints(&w.view);
    const int served = w.service.requestCount();
    constexpr int polls = 3;
    for (int i = 0; i < polls; ++i)
        w.mgr->refresh();
    QTRY_VERIFY(w.service.requestCount() >= served + polls);
    QTest::qWait(200);
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
    QVERIFY(!w.view.findChild<QTimer *>(QStringLiteral("ticker")));
    QVERIFY(w.view.windowIcon().isNull());
    clock.start();
    w.view.show();
    QTRY_COMPARE_WITH_TIMEOUT(servedAt.size(), 2, 6000);
    // The program's own icon is set once the window has appeared.
    QVERIFY(!w.view.windowIcon().isNull());
    QVERIFY(!timerDuringFirstPoll);
    QVERIFY(firstFinished >= 0);
    const qint64 gap = servedAt[1] - firstFinished;
    QVERIFY2(gap >= 2400 && gap <= 3300, qPrintable(QStringLiteral("second poll after %1 ms").arg(gap)));
    auto *ticker = w.view.findChild<QTimer *>(QStringLiteral("ticker"));
    QVERIFY(ticker && ticker->isActive());
    QCOMPARE(ticker->intervalAsDuration(), 2500ms);
}

QTEST_MAIN(ContentViewTest)
#include "tst_contentview.moc"
