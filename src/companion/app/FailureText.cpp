// SPDX-License-Identifier: MIT
#include "FailureText.h"

#include <QFontMetrics>
#include <QTextLayout>

QString FailureText::firstLine(const QString &text)
{
    for (QStringView line : QStringView(text).split(QLatin1Char('\n'))) {
        QString shown = line.left(maxChars).toString();
        // Never split a surrogate pair at the cut.
        if (shown.size() == maxChars && shown.back().isHighSurrogate())
            shown.chop(1);
        for (QChar &c : shown) {
            if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
                c = QLatin1Char(' ');
        }
        shown = shown.simplified();
        if (!shown.isEmpty())
            return shown;
    }
    return {};
}

QString FailureText::elideToLines(const QString &text, const QFont &font, int width, int maxLines)
{
    QTextLayout layout(text, font);
    QTextOption option(Qt::AlignHCenter);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList lines;
    while (lines.size() < maxLines) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        const bool more = line.textStart() + line.textLength() < text.size();
        // Explicit breaks, so the label shows exactly these lines.
        if (lines.size() + 1 == maxLines && more)
            lines += QFontMetrics(font).elidedText(text.mid(line.textStart()), Qt::ElideRight, width);
        else
            lines += text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines.join(QLatin1Char('\n'));
}
