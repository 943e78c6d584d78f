// SPDX-License-Identifier: MIT
#include "Symbols.h"

#include "CompanionManager.h"
#include "Palette.h"

#include <QPainter>
#include <QPainterPathStroker>

namespace {

// A stroked polyline turned into a fillable outline.
QPainterPath strokeOutline(const QPainterPath &line, qreal width, Qt::PenCapStyle cap, Qt::PenJoinStyle join)
{
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(cap);
    stroker.setJoinStyle(join);
    return stroker.createStroke(line);
}

QPainterPath zLetter(const QRectF &box, qreal weight)
{
    QPainterPath line(box.topLeft());
    line.lineTo(box.topRight());
    line.lineTo(box.bottomLeft());
    line.lineTo(box.bottomRight());
    return strokeOutline(line, weight, Qt::SquareCap, Qt::MiterJoin);
}

// Maps a shape drawn on a 46 x 46 grid into the given box.
QPainterPath fitted(const QPainterPath &shape, const QRectF &box)
{
    constexpr qreal grid = StatusSymbol::size;
    QTransform transform;
    transform.translate(box.left(), box.top());
    transform.scale(box.width() / grid, box.height() / grid);
    return transform.map(shape);
}

} // namespace

QPainterPath checkCirclePath(const QRectF &box)
{
    QPainterPath circle;
    circle.addEllipse(QPointF(23, 23), 21, 21);
    QPainterPath check(QPointF(13.5, 23.5));
    check.lineTo(20, 30);
    check.lineTo(32.5, 16);
    return fitted(circle.subtracted(strokeOutline(check, 4.2, Qt::RoundCap, Qt::RoundJoin)), box);
}

QPainterPath moonZzzPath(const QRectF &box)
{
    QPainterPath moon;
    moon.addEllipse(QPointF(19, 28), 16, 16);
    QPainterPath bite;
    bite.addEllipse(QPointF(28, 20), 13, 13);
    QPainterPath shape = moon.subtracted(bite);
    shape = shape.united(zLetter(QRectF(33, 4, 10, 9), 2.6));
    shape = shape.united(zLetter(QRectF(26, 13, 6.5, 6), 2.0));
    return fitted(shape, box);
}

StatusSymbol::StatusSymbol(const CompanionManager *mgr, QWidget *parent)
    : QWidget(parent)
    , m_mgr(mgr)
{
    setFixedSize(size, size);
}

void StatusSymbol::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool running = m_mgr->status() == CompanionStatus::running;
    painter.fillPath(running ? checkCirclePath(rect()) : moonZzzPath(rect()),
        running ? Palette::green : Palette::tertiaryText);
}

BusyIndicator::BusyIndicator(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(size, size);
    m_step.setInterval(revolution / spokes);
    connect(&m_step, &QTimer::timeout, this, [this] {
        m_phase = (m_phase + 1) % spokes;
        update();
    });
}

void BusyIndicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal outer = size / 2.0;
    QPen spoke(Qt::white, size / 8.0, Qt::SolidLine, Qt::RoundCap);
    for (int i = 0; i < spokes; ++i) {
        // The spoke at the current phase is brightest; the ones behind it fade out.
        const int age = (m_phase - i + spokes) % spokes;
        QColor colour = Palette::white(1.0 - 0.75 * age / spokes);
        spoke.setColor(colour);
        painter.setPen(spoke);
        painter.save();
        painter.rotate(360.0 * i / spokes);
        painter.drawLine(QPointF(0, -outer * 0.45), QPointF(0, -outer * 0.85));
        painter.restore();
    }
}

void BusyIndicator::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_step.start();
}

void BusyIndicator::hideEvent(QHideEvent *event)
{
    m_step.stop();
    QWidget::hideEvent(event);
}
