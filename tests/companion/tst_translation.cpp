// SPDX-License-Identifier: MIT
#include "Buttons.h"
#include "ContentView.h"
#include "OrvaneCompanionApp.h"

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTranslator>

// Runs under a German locale (set by the test's environment): every text of the window fits its place.
class TranslationTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void everyTextFits_data();
    void everyTextFits();
};

namespace {

// The text fits on one line, or every word fits the width and the text wrapped to it fits the height.
bool fits(const QFont &font, const QString &text, const QSize &room, int flags)
{
    const QFontMetrics metrics(font);
    if (metrics.horizontalAdvance(text) <= room.width())
        return metrics.height() <= room.height();
    const QStringList words = text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    return std::all_of(words.cbegin(), words.cend(), [&](const QString &w) {
        return metrics.horizontalAdvance(w) <= room.width();
    }) && metrics.boundingRect(QRect(QPoint(), room), flags, text).height() <= room.height();
}

} // namespace

void TranslationTest::initTestCase()
{
    QCOMPARE(QLocale::system().language(), QLocale::German);
    OrvaneCompanionApp::prepare(*qApp);
}

void TranslationTest::everyTextFits_data()
{
    QTest::addColumn<QString>("pseudo");
    QTest::addColumn<QString>("install");
    // German comes from the system's language; the pseudo-languages stretch each English text.
    QTest::newRow("German") << QString() << "Installieren & starten";
    QTest::newRow("40 % longer") << PSEUDO_QM_DIR "/pseudo40.qm"
                                 << "Installisa & starttrt";
    QTest::newRow("100 % longer") << PSEUDO_QM_DIR "/pseudo100.qm"
                                  << "Installisalslli & starttrttsta";
}

void TranslationTest::everyTextFits()
{
    QFETCH(QString, pseudo);
    QFETCH(QString, install);
    QTranslator translator;
    QVERIFY(pseudo.isEmpty() || translator.load(pseudo));
    QCoreApplication::installTranslator(&translator);
    ContentView view;
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QTest::qWait(50);
    QCOMPARE(view.findChild<StyledButton *>(QStringLiteral("installButton"))->label(), install);

    int checked = 0;
    for (const QLabel *label : view.findChildren<QLabel *>()) {
        if (label->isVisible() && ++checked)
            QVERIFY2(fits(label->font(), label->text(), label->size(), Qt::TextWordWrap),
                qPrintable(label->text()));
    }
    for (const StyledButton *button : view.findChildren<StyledButton *>()) {
        const QSize room = button->size() - QSize(0, 2 * StyledButton::verticalPadding);
        QVERIFY2(fits(button->font(), button->label(), room, Qt::TextWordWrap), qPrintable(button->label()));
    }
    for (const LinkButton *link : view.findChildren<LinkButton *>()) {
        QVERIFY2(
            fits(link->font(), link->text(), link->size(), Qt::TextSingleLine), qPrintable(link->text()));
        QVERIFY(
            view.rect().contains(link->geometry().translated(link->parentWidget()->mapTo(&view, QPoint()))));
    }
    QCOMPARE(checked, 5);
}

QTEST_MAIN(TranslationTest)
#include "tst_translation.moc"
