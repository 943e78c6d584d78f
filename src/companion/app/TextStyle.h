// SPDX-License-Identifier: MIT
#pragma once

#include <QFont>

// The named text styles of the window; their sizes live in one table in TextStyle.cpp.
enum class TextStyle
{
    title2,
    title3,
    button,
    subheadline,
    callout,
    caption,
    caption2
};

// The application font at the style's size (in device-independent pixels, like every layout length).
QFont textFont(TextStyle style, QFont::Weight weight = QFont::Normal);
