// SPDX-License-Identifier: MIT
#include "AppIdentity.h"

#include <QPainter>
#include <QSvgRenderer>

QPixmap AppIdentity::iconPixmap(int pixels)
{
    // Parsed once for the program's life: the window icon and the header both draw from it.
    static QSvgRenderer renderer(iconResource);
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(0, 0, pixels, pixels));
    return pixmap;
}
