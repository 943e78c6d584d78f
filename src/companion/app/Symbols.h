// SPDX-License-Identifier: MIT
#pragma once

#include <QPainterPath>
#include <QRectF>
#include <QTimer>
#include <QWidget>

class CompanionManager;

// A filled circle with the check mark cut out of it.
QPainterPath checkCirclePath(const QRectF &box);
// A filled crescent moon with two small z letters above it.
QPainterPath moonZzzPath(const QRectF &box);

// The status card's symbol: the check circle in green while running, the moon in faint white otherwise.
class StatusSymbol : public QWidget
{
    Q_OBJECT

public:
    static constexpr int size = 46;

    explicit StatusSymbol(const CompanionManager *mgr, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const CompanionManager *const m_mgr;
};

// A small indeterminate spinner that animates only while it is shown.
class BusyIndicator : public QWidget
{
    Q_OBJECT

public:
    static constexpr int size = 16;
    static constexpr int spokes = 12;
    static constexpr std::chrono::milliseconds revolution { 1000 };

    explicit BusyIndicator(QWidget *parent = nullptr);

    bool isAnimating() const { return m_step.isActive(); }
    QSize sizeHint() const override { return { size, size }; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QTimer m_step;
    int m_phase = 0;
};
