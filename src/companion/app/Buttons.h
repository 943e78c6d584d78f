// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractButton>

// Shared look of the action row's buttons: 14 px bold label, 12 px above and below, radius 11 corners,
// and the whole button faded by the opacity table.
class StyledButton : public QAbstractButton
{
    Q_OBJECT

public:
    static constexpr int verticalPadding = 12;
    static constexpr qreal cornerRadius = 11;
    static constexpr qreal pressedOpacity = 0.8;
    static constexpr qreal disabledOpacity = 0.4;

    enum class Role
    {
        primary, // the main action: teal-to-mint gradient with dark text
        ghost // the secondary one: faint fill, thin light border, light text
    };

    // The label is shown as given: an "&" is text, never a keyboard mnemonic.
    StyledButton(Role role, const QString &label, QWidget *parent = nullptr);

    QString label() const;
    // 1.0 at rest, 0.8 while held down, 0.4 when disabled (pressed is not consulted then).
    qreal opacity() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // A label wider than the button wraps onto more lines and the button grows, so no text is cut.
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void paintBackground(QPainter &painter, const QRectF &shape) const;

    const Role m_role;
};

// A bezel-less text button in the footer (callout semibold, mint).
class LinkButton : public QAbstractButton
{
    Q_OBJECT

public:
    explicit LinkButton(const QString &label, QWidget *parent = nullptr);

    QString label() const;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};
