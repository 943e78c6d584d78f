// SPDX-License-Identifier: MIT
#include "Buttons.h"

#include "Palette.h"
#include "TextStyle.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor primaryTextColor { 4, 32, 29 };
const QColor ghostFill = Palette::white(0.06);
const QColor ghostBorder = Palette::white(0.14);
const QColor focusRingColor = Palette::white(0.9);
constexpr qreal focusRingWidth = 2;
constexpr qreal linkPressedOpacity = 0.6;
constexpr int labelFlags = Qt::AlignCenter | Qt::TextWordWrap;

QString escapeMnemonic(QString text)
{
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QString unescapeMnemonic(QString text)
{
    return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

// Enter and Return fire a focused button too, as Space already does.
bool clickOnEnter(QAbstractButton *button, QKeyEvent *event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    button->click();
    return true;
}

// The keyboard focus ring, drawn inside the bounds as nothing outside them is painted.
void paintFocusRing(QPainter &painter, const QRectF &bounds, qreal radius)
{
    const qreal inset = focusRingWidth / 2;
    painter.setOpacity(1.0);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(focusRingColor, focusRingWidth));
    painter.drawRoundedRect(bounds.adjusted(inset, inset, -inset, -inset), radius - inset, radius - inset);
}

} // namespace

StyledButton::StyledButton(Role role, const QString &label, QWidget *parent)
    : QAbstractButton(parent)
    , m_role(role)
{
    setText(escapeMnemonic(label));
    setFont(textFont(TextStyle::button, QFont::Bold));
    // Keyboard users reach the buttons with Tab; a click leaves the focus where it was.
    setFocusPolicy(Qt::TabFocus);
    QSizePolicy policy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Preferred, not fixed, height: both buttons of a row take the taller one's wrapped height.
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

QString StyledButton::label() const
{
    return unescapeMnemonic(text());
}

qreal StyledButton::opacity() const
{
    if (!isEnabled())
        return disabledOpacity;
    return isDown() ? pressedOpacity : 1.0;
}

QSize StyledButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return { metrics.horizontalAdvance(label()), metrics.height() + 2 * verticalPadding };
}

QSize StyledButton::minimumSizeHint() const
{
    return { 0, sizeHint().height() };
}

int StyledButton::heightForWidth(int width) const
{
    if (QFontMetrics(font()).horizontalAdvance(label()) <= width)
        return sizeHint().height();
    const QRect text
        = QFontMetrics(font()).boundingRect(QRect(0, 0, width, QWIDGETSIZE_MAX), labelFlags, label());
    return text.height() + 2 * verticalPadding;
}

void StyledButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(opacity());
    const QRectF shape = rect();
    paintBackground(painter, shape);
    painter.setPen(m_role == Role::primary ? primaryTextColor : Palette::primaryText);
    painter.drawText(shape, labelFlags, label());
    if (hasFocus())
        paintFocusRing(painter, shape, cornerRadius);
}

void StyledButton::keyPressEvent(QKeyEvent *event)
{
    if (!clickOnEnter(this, event))
        QAbstractButton::keyPressEvent(event);
}

void StyledButton::paintBackground(QPainter &painter, const QRectF &shape) const
{
    painter.setPen(Qt::NoPen);
    if (m_role == Role::primary) {
        QLinearGradient gradient(shape.left(), 0, shape.right(), 0);
        gradient.setColorAt(0, Palette::teal);
        gradient.setColorAt(1, Palette::mint);
        painter.setBrush(gradient);
        painter.drawRoundedRect(shape, cornerRadius, cornerRadius);
        return;
    }
    painter.setBrush(ghostFill);
    painter.drawRoundedRect(shape, cornerRadius, cornerRadius);
    // The 1 px border lies wholly inside the button: its centre line is inset by half its width.
    QPen border(ghostBorder, 1.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    painter.setPen(border);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(shape.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius - 0.5, cornerRadius - 0.5);
}

LinkButton::LinkButton(const QString &label, QWidget *parent)
    : QAbstractButton(parent)
{
    setText(escapeMnemonic(label));
    setFont(textFont(TextStyle::callout, QFont::DemiBold));
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString LinkButton::label() const
{
    return unescapeMnemonic(text());
}

QSize LinkButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    // Room below the text for the focus underline; none at the sides, so the row's spacing stays exact.
    return { metrics.horizontalAdvance(label()), metrics.height() + int(focusRingWidth) };
}

void LinkButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(isDown() ? linkPressedOpacity : 1.0);
    painter.setPen(Palette::mint);
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, label());
    if (hasFocus()) {
        painter.setOpacity(1.0);
        painter.fillRect(QRectF(0, height() - focusRingWidth, width(), focusRingWidth), focusRingColor);
    }
}

void LinkButton::keyPressEvent(QKeyEvent *event)
{
    if (!clickOnEnter(this, event))
        QAbstractButton::keyPressEvent(event);
}
