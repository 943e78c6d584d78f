// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>

// The window's fixed colours; every painted element takes its colour from here by name.
namespace C {

inline QColor white(qreal opacity)
{
    return QColor::fromRgbF(1.0f, 1.0f, 1.0f, float(opacity));
}

inline const QColor teal { 15, 181, 168 };
inline const QColor mint { 61, 217, 201 };
inline const QColor tp = white(0.96);
inline const QColor ts = white(0.64);
inline const QColor tt = white(0.46);
// The desktop's usual "system green" (dark variant), as no portable named green exists here.
inline const QColor green { 48, 209, 88 };
// A warm amber for failures, well over 4.5:1 against the status card.
inline const QColor amber { 255, 179, 64 };

} // namespace C
