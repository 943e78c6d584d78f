// SPDX-License-Identifier: MIT
#include "TextStyle.h"

#include <QApplication>

namespace {

struct StyleSize
{
    TextStyle style;
    int pixels;
};

// Sized in the same device-independent pixels as the 440-wide layout, so text keeps its proportion to it.
constexpr StyleSize styleSizes[] = {
    { TextStyle::title2, 17 },
    { TextStyle::title3, 15 },
    { TextStyle::button, 14 },
    { TextStyle::subheadline, 11 },
    { TextStyle::callout, 12 },
    { TextStyle::caption, 11 },
    { TextStyle::caption2, 10 },
};

} // namespace

QFont textFont(TextStyle style, QFont::Weight weight)
{
    QFont font = QApplication::font();
    for (const StyleSize &entry : styleSizes) {
        if (entry.style == style)
            font.setPixelSize(entry.pixels);
    }
    font.setWeight(weight);
    return font;
}
