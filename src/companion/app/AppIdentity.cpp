// SPDX-License-Identifier: MIT
#include "AppIdentity.h"

#include <QPainter>
#include <QSvgRenderer>

QPixmap AppIdentity::iconPixmap(int pixels)
{
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(iconResource);
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(0, 0, pixels, pixels));
    return pixmap;
}
