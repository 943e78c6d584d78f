// SPDX-License-Identifier: MIT
#pragma once

#include <QFont>
#include <QString>

// The one line of a failed tool run that the status card shows, made safe and short from the tool's text.
namespace FailureText {

// More than two card lines ever show; the rest is not laid out, however long the tool's text.
inline constexpr qsizetype maxChars = 240;

// The first non-blank line of the text, control characters blanked, cut to maxChars; empty when none.
QString firstLine(const QString &text);
// The text wrapped at width into at most maxLines lines, the last one ending in "…" when it goes on.
QString elideToLines(const QString &text, const QFont &font, int width, int maxLines);

} // namespace FailureText
