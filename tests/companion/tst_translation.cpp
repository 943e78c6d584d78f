// SPDX-License-Identifier: MIT
#include "Buttons.h"
#include "OrvaneCompanionApp.h"
#include "ScratchEnvironment.h"
#include "WindowFixture.h"

#include <QApplication>
#include <QLabel>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace {

// The text fits on one line, or every word fits the width and the text wrapped to it fits the height.
bool fits(const QWidget *widget, const QString &text, const QSize &room, int flags)
{
    const QFontMetrics metrics(widget->font());
    if (metrics.horizontalAdvance(text) <= room.width())
        return metrics.height() <= room.height();
    const QStringList words = text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    return std::all_of(words.cbegin(), words.cend(), [&](const QString &w) {
        return metrics.horizontalAdvance(w) <= room.width();
    }) && metrics.boundingRect(QRect(QPoint(), room), flags, text).height() <= room.height();
}

} // namespace

// Runs under a German locale (set by the test's environment): every text of the window fits its place.
class TranslationTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(QLocale::system().language(), QLocale::German);
        OrvaneCompanionApp::prepare(*qApp);
    }

    void everyTextFits_data()
    {
        QTest::addColumn<QString>("pseudo");
        QTest::addColumn<QString>("install");
        // German comes from the system's language; the pseudo-languages stretch each English text.
        QTest::newRow("German") << QString() << u"Installieren & starten"_s;
        QTest::newRow("40 % longer") << PSEUDO_QM_DIR "/pseudo40.qm" << u"Installisa & starttrt"_s;
        QTest::newRow("100 % longer") << PSEUDO_QM_DIR "/pseudo100.qm" << u"Installisalslli & starttrttsta"_s;
    }

    void everyTextFits()
    {
        QFETCH(QString, pseudo);
        QFETCH(QString, install);
        QTranslator translator;
        QVERIFY(pseudo.isEmpty() || translator.load(pseudo));
        QCoreApplication::installTranslator(&translator);
        WindowFixture w(false);
        QVERIFY(w.ready());
        QCOMPARE(w.child<StyledButton>("installButton")->label(), install);
        int checked = 0;
        for (const QLabel *label : w.view.findChildren<QLabel *>())
            if (label->isVisible() && ++checked)
                QVERIFY2(
                    fits(label, label->text(), label->size(), Qt::TextWordWrap), qPrintable(label->text()));
        QCOMPARE(checked, 5);
        for (const StyledButton *button : w.view.findChildren<StyledButton *>()) {
            const QSize room = button->size() - QSize(0, 2 * StyledButton::verticalPadding);
            QVERIFY2(fits(button, button->label(), room, Qt::TextWordWrap), qPrintable(button->label()));
        }
        for (const LinkButton *link : w.view.findChildren<LinkButton *>()) {
            QVERIFY2(fits(link, link->text(), link->size(), Qt::TextSingleLine), qPrintable(link->text()));
            QVERIFY(w.view.rect().contains(
                link->geometry().translated(link->parentWidget()->mapTo(&w.view, QPoint()))));
        }
    }

private:
    ScratchEnvironment m_env;
};

QTEST_MAIN(TranslationTest)
#include "tst_translation.moc"
