// SPDX-License-Identifier: MIT
#include "Buttons.h"
#include "ContentView.h"
#include "OrvaneCompanionApp.h"

#include <QApplication>
#include <QLabel>
#include <QTest>

// Runs under a German locale (set by the test's environment).
class TranslationTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void noTranslationForOtherLanguages();
    void windowSpeaksTheSystemLanguage();
};

void TranslationTest::noTranslationForOtherLanguages()
{
    QVERIFY(!OrvaneCompanionApp::loadTranslation(*qApp, QLocale(QLocale::French)));
    QCOMPARE(ContentView::tr("Not running"), QStringLiteral("Not running"));
}

void TranslationTest::windowSpeaksTheSystemLanguage()
{
    QCOMPARE(QLocale::system().language(), QLocale::German);
    OrvaneCompanionApp::prepare(*qApp);
    ContentView view;
    QCOMPARE(view.windowTitle(), QStringLiteral("Orvane Companion"));
    QCOMPARE(view.findChild<QLabel *>(QStringLiteral("headline"))->text(), QStringLiteral("Läuft nicht"));
    auto *install = view.findChild<StyledButton *>(QStringLiteral("installButton"));
    QCOMPARE(install->label(), QStringLiteral("Installieren & starten"));
    view.show();
    // Longer German labels still fit their 187 px buttons.
    for (StyledButton *button : view.findChildren<StyledButton *>())
        QVERIFY2(QFontMetrics(button->font()).horizontalAdvance(button->label()) < button->width(),
            qPrintable(button->label()));
}

QTEST_MAIN(TranslationTest)
#include "tst_translation.moc"
