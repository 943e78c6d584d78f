// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>

// The window's fixed colours; every painted element takes its colour from here by name.
namespace Palette {

inline QColor white(qreal opacity)
{
    return QColor::fromRgbF(1.0f, 1.0f, 1.0f, float(opacity));
}

inline const QColor teal { 15, 181, 168 };
inline const QColor mint { 61, 217, 201 };
// Text by its rank: titles and figures, then explanations, then the footer's small print.
inline const QColor primaryText = white(0.96);
inline const QColor secondaryText = white(0.64);
inline const QColor tertiaryText = white(0.46);
// The desktop's usual "system green" (dark variant), as no portable named green exists here.
inline const QColor green { 48, 209, 88 };
// A warm amber for failures, well over 4.5:1 against the status card.
inline const QColor amber { 255, 179, 64 };

} // namespace Palette
