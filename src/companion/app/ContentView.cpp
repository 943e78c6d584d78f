// SPDX-License-Identifier: MIT
#include "ContentView.h"

#include "AppIdentity.h"
#include "Buttons.h"
#include "CompanionManager.h"
#include "FailureText.h"
#include "Launcher.h"
#include "Palette.h"
#include "Symbols.h"
#include "TextStyle.h"

#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int iconSize = 84;
// Large enough for any task switcher; a bigger one only costs time to convert.
constexpr int windowIconSize = 64;
constexpr qreal iconCornerRadius = 19;
// Shadow and glow blurs are twice their nominal radius (12 and 10), which matches their look by eye.
constexpr int iconShadowBlur = 2 * 12;
constexpr int iconShadowOffsetY = 6;
const QColor iconShadowColor { 0, 0, 0, int(0.4 * 255) };

constexpr int titleSpacing = 4;

constexpr int cardSpacing = 12;
constexpr int cardPaddingVertical = 20;
constexpr int cardPaddingHorizontal = 16;
constexpr qreal cardCornerRadius = 16;
const QColor cardFill = Palette::white(0.05);
const QColor cardBorder = Palette::white(0.08);
constexpr int glowBlur = 2 * 10;
const QColor glowColor = [] {
    QColor glow = Palette::green;
    glow.setAlphaF(0.45f);
    return glow;
}();
// How much narrower than the scene the texts of the column and of the card are.
constexpr int columnInset = 2 * ContentView::padding;
constexpr int cardInset = columnInset + 2 * cardPaddingHorizontal;
constexpr int busyRowTopPadding = 2;
constexpr int failureLines = 2;

constexpr int actionSpacing = 10;

constexpr int footerSpacing = 9;
constexpr int footerTopPadding = 2;
constexpr int linkSpacing = 18;

const QColor backgroundTop = QColor::fromRgbF(0.16f, 0.16f, 0.16f);
const QColor backgroundBottom = QColor::fromRgbF(0.08f, 0.08f, 0.08f);

QLabel *styleLabel(QLabel *label, const QString &text, TextStyle style, QFont::Weight weight,
    const QColor &colour, const char *objectName = nullptr)
{
    label->setText(text);
    label->setFont(textFont(style, weight));
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    if (objectName)
        label->setObjectName(QLatin1String(objectName));
    return label;
}

// The program's icon, clipped to a rounded square; an icon that fails to load leaves the place empty.
class HeaderIcon : public QWidget
{
public:
    HeaderIcon()
    {
        setObjectName(QStringLiteral("headerIcon"));
        setFixedSize(iconSize, iconSize);
        auto *shadow = new QGraphicsDropShadowEffect(this);
        shadow->setColor(iconShadowColor);
        shadow->setBlurRadius(iconShadowBlur);
        shadow->setOffset(0, iconShadowOffsetY);
        setGraphicsEffect(shadow);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath clip;
        clip.addRoundedRect(rect(), iconCornerRadius, iconCornerRadius);
        painter.setClipPath(clip);
        const qreal ratio = devicePixelRatioF();
        if (m_icon.isNull() || m_icon.devicePixelRatio() != ratio) {
            m_icon = AppIdentity::iconPixmap(qRound(iconSize * ratio));
            m_icon.setDevicePixelRatio(ratio);
        }
        painter.drawPixmap(rect(), m_icon);
    }

private:
    QPixmap m_icon; // rendered once per screen scale, not on every paint
};

// A wrapping label that always fills its column: its size hint skips QLabel's search for a pleasing
// width, which lays the text out several times on every layout pass.
class WrappedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit WrappedLabel(int inset)
        : m_inset(inset)
    {
        setWordWrap(true);
    }
    QSize sizeHint() const override { return { m_columnWidth, heightForWidth(m_columnWidth) }; }
    QSize minimumSizeHint() const override { return sizeHint(); }
    void fitScene(int sceneWidth)
    {
        if (m_columnWidth == sceneWidth - m_inset)
            return;
        m_columnWidth = sceneWidth - m_inset;
        updateGeometry();
    }

private:
    const int m_inset;
    int m_columnWidth = ContentView::windowWidth - m_inset;
};

// The failed run's line: a class of its own, so assistive technology hears of a notification.
class FailureNotice : public WrappedLabel
{
    Q_OBJECT

public:
    using WrappedLabel::WrappedLabel;
};

// Every text wraps within its column, so a longer language adds a line instead of being cut.
QLabel *makeLabel(const QString &text, TextStyle style, QFont::Weight weight, const QColor &colour,
    const char *objectName = nullptr, int inset = columnInset)
{
    return styleLabel(new WrappedLabel(inset), text, style, weight, colour, objectName);
}

// The status card's rounded, faintly filled and bordered background.
class CardBackground : public QWidget
{
protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF shape = rect();
        painter.setPen(Qt::NoPen);
        painter.setBrush(cardFill);
        painter.drawRoundedRect(shape, cardCornerRadius, cardCornerRadius);
        // The 1 px border lies wholly inside the card.
        painter.setPen(QPen(cardBorder, 1.0, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(
            shape.adjusted(0.5, 0.5, -0.5, -0.5), cardCornerRadius - 0.5, cardCornerRadius - 0.5);
    }
};

} // namespace

ContentView::ContentView(CompanionManager *manager, QWidget *parent)
    : QWidget(parent)
    , m_mgr(manager ? manager : new CompanionManager(this))
{
    m_mgr->setParent(this);
    // Keyboard focus starts on the window itself, so the focus ring appears only once Tab is pressed.
    setFocusPolicy(Qt::ClickFocus);
    setFocus(Qt::OtherFocusReason);

    auto *column = new QVBoxLayout(this);
    column->setSizeConstraint(QLayout::SetNoConstraint);
    column->setContentsMargins(padding, padding, padding, padding);
    column->setSpacing(rowSpacing);
    m_icon = new HeaderIcon;
    column->addWidget(m_icon, 0, Qt::AlignHCenter);
    column->addWidget(makeHeader());
    column->addWidget(makeStatusBlock());
    column->addWidget(makeActions());
    column->addWidget(makeFooter());

    connect(m_mgr, &CompanionManager::statusChanged, this, &ContentView::showStatus);
    connect(m_mgr, &CompanionManager::busyChanged, this, &ContentView::showControls);
    connect(m_mgr, &CompanionManager::lastErrorChanged, this, &ContentView::showFailure);
    showStatus();
    showControls();
    fitTo({ windowWidth, QWIDGETSIZE_MAX });
}

QWidget *ContentView::makeHeader()
{
    auto *group = new QWidget;
    auto *rows = new QVBoxLayout(group);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(titleSpacing);
    rows->addWidget(makeLabel(tr("Orvane"), TextStyle::title2, QFont::Bold, Palette::primaryText));
    rows->addWidget(makeLabel(tr("Companion · Unlocks Pro sensors"), TextStyle::subheadline, QFont::Normal,
        Palette::secondaryText));
    return group;
}

QWidget *ContentView::makeStatusBlock()
{
    m_statusBlock = new CardBackground;
    m_statusBlock->setObjectName(QStringLiteral("statusBlock"));
    auto *rows = new QVBoxLayout(m_statusBlock);
    rows->setContentsMargins(
        cardPaddingHorizontal, cardPaddingVertical, cardPaddingHorizontal, cardPaddingVertical);
    rows->setSpacing(cardSpacing);

    m_symbol = new StatusSymbol(m_mgr);
    m_symbol->setObjectName(QStringLiteral("statusSymbol"));
    auto *glow = new QGraphicsDropShadowEffect(m_symbol);
    glow->setColor(glowColor);
    glow->setBlurRadius(glowBlur);
    glow->setOffset(0, 0);
    m_symbol->setGraphicsEffect(glow);
    rows->addWidget(m_symbol, 0, Qt::AlignHCenter);

    m_headline
        = makeLabel(QString(), TextStyle::title3, QFont::Bold, Palette::primaryText, "headline", cardInset);
    rows->addWidget(m_headline);
    m_explanation = makeLabel(
        QString(), TextStyle::callout, QFont::Normal, Palette::secondaryText, "explanation", cardInset);
    rows->addWidget(m_explanation);
    m_failureLine = styleLabel(new FailureNotice(cardInset), QString(), TextStyle::caption, QFont::Normal,
        Palette::amber, "failureLine");
    m_failureLine->hide();
    rows->addWidget(m_failureLine);

    m_busyRow = new QWidget;
    m_busyRow->setObjectName(QStringLiteral("busyRow"));
    auto *busyLayout = new QVBoxLayout(m_busyRow);
    busyLayout->setContentsMargins(0, busyRowTopPadding, 0, 0);
    m_busyIndicator = new BusyIndicator;
    m_busyIndicator->setObjectName(QStringLiteral("busyIndicator"));
    m_busyIndicator->setAccessibleName(tr("Working"));
    busyLayout->addWidget(m_busyIndicator, 0, Qt::AlignHCenter);
    rows->addWidget(m_busyRow);
    return m_statusBlock;
}

QWidget *ContentView::makeActions()
{
    m_actions = new QWidget;
    m_actions->setObjectName(QStringLiteral("actions"));
    auto *row = new QHBoxLayout(m_actions);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(actionSpacing);

    m_installButton = new StyledButton(StyledButton::Role::primary, tr("Install & start"));
    m_installButton->setObjectName(QStringLiteral("installButton"));
    connect(m_installButton, &QAbstractButton::clicked, m_mgr, [this] {
        m_lastRun = Operation::install;
        m_mgr->installAndStart();
    });
    m_uninstallButton = new StyledButton(StyledButton::Role::ghost, tr("Uninstall"));
    m_uninstallButton->setObjectName(QStringLiteral("uninstallButton"));
    connect(m_uninstallButton, &QAbstractButton::clicked, m_mgr, [this] {
        m_lastRun = Operation::uninstall;
        m_mgr->uninstall();
    });
    // Equal stretch and no width of their own: the two buttons split the row evenly.
    row->addWidget(m_installButton, 1);
    row->addWidget(m_uninstallButton, 1);
    return m_actions;
}

QWidget *ContentView::makeFooter()
{
    auto *footer = new QWidget;
    auto *rows = new QVBoxLayout(footer);
    rows->setContentsMargins(0, footerTopPadding, 0, 0);
    rows->setSpacing(footerSpacing);

    auto *links = new QWidget;
    auto *linkRow = new QHBoxLayout(links);
    linkRow->setContentsMargins(0, 0, 0, 0);
    linkRow->setSpacing(linkSpacing);
    auto *openOrvane = new LinkButton(tr("Open Orvane"));
    openOrvane->setObjectName(QStringLiteral("openOrvaneButton"));
    connect(openOrvane, &QAbstractButton::clicked, this, &Launcher::openOrvane);
    auto *privacy = new LinkButton(tr("Privacy"));
    privacy->setObjectName(QStringLiteral("privacyButton"));
    connect(privacy, &QAbstractButton::clicked, this, &Launcher::openPrivacyPage);
    linkRow->addWidget(openOrvane, 0, Qt::AlignVCenter);
    linkRow->addWidget(privacy, 0, Qt::AlignVCenter);
    rows->addWidget(links, 0, Qt::AlignHCenter);

    rows->addWidget(makeLabel(tr("Free · runs in background · 100% local"), TextStyle::caption2,
        QFont::Normal, Palette::tertiaryText, "note"));
    return footer;
}

void ContentView::showStatus()
{
    const bool running = m_mgr->status() == CompanionStatus::running;
    m_headline->setText(running ? tr("Pro sensors unlocked") : tr("Not running"));
    m_explanation->setText(running
            ? tr("Open Orvane to see CPU/GPU temperature, SoC power and GPU usage.")
            : tr("Install to unlock CPU/GPU temperature, SoC power and GPU usage inside "
                 "Orvane."));
    m_symbol->graphicsEffect()->setEnabled(running);
    m_symbol->update();
    showControls();
}

void ContentView::showControls()
{
    const bool running = m_mgr->status() == CompanionStatus::running;
    const bool busy = m_mgr->busy();
    const bool installOn = !running && !busy;
    const bool uninstallOn = running && !busy;
    // A button disabled under the focus hands it to the window, not on to a link a keypress would open.
    const QWidget *focused = focusWidget();
    if ((focused == m_installButton && !installOn) || (focused == m_uninstallButton && !uninstallOn))
        setFocus(Qt::OtherFocusReason);
    m_busyRow->setVisible(busy);
    m_installButton->setEnabled(installOn);
    m_uninstallButton->setEnabled(uninstallOn);
    showFailure();
}

void ContentView::showFailure()
{
    const std::optional<QString> &error = m_mgr->lastError();
    QString text;
    if (error && !m_mgr->busy()) {
        text = m_lastRun == Operation::install ? tr("Couldn't install the sensor service:")
                                               : tr("Couldn't remove the sensor service:");
        const QString line = FailureText::firstLine(*error);
        if (!line.isEmpty())
            text += QLatin1Char(' ') + line;
    }
    if (text == m_failureLine->accessibleName())
        return;
    // Named before it shows: a screen reader speaks the notification as it starts showing.
    m_failureLine->setAccessibleName(text);
    elideFailure();
    m_failureLine->setVisible(!text.isEmpty());
}

void ContentView::elideFailure()
{
    m_failureLine->setText(FailureText::elideToLines(
        m_failureLine->accessibleName(), m_failureLine->font(), width() - cardInset, failureLines));
}

void ContentView::fitTo(QSize available)
{
    const int sceneWidth = std::clamp(available.width(), minimumWidth, windowWidth);
    const bool widthChanged = sceneWidth != width();
    setFixedWidth(sceneWidth);
    for (auto *label : findChildren<WrappedLabel *>())
        label->fitScene(sceneWidth);
    if (widthChanged)
        elideFailure();
    // Short of room, the icon goes first: the status and both buttons are what the window is for.
    m_icon->setVisible(true);
    if (heightForWidth(sceneWidth) > available.height())
        m_icon->setVisible(false);
    fitHeight();
}

int ContentView::actionsBottom() const
{
    return m_actions->mapTo(this, QPoint(0, m_actions->height())).y();
}

void ContentView::fitHeight()
{
    setFixedHeight(heightForWidth(width()));
}

bool ContentView::event(QEvent *event)
{
    const bool handled = QWidget::event(event);
    // The layout has just settled: the window takes the height its content now needs.
    if (event->type() == QEvent::LayoutRequest)
        fitHeight();
    return handled;
}

void ContentView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0, backgroundTop);
    gradient.setColorAt(1, backgroundBottom);
    painter.fillRect(rect(), gradient);

    // The view has appeared. The first poll and the window icon are queued behind this frame, so
    // neither the network stack nor the icon's conversion delays the window's first picture.
    if (!m_tickerStarted) {
        m_tickerStarted = true;
        QTimer::singleShot(0, this, [this] {
            startTicker();
            window()->setWindowIcon(QIcon(AppIdentity::iconPixmap(windowIconSize)));
        });
    }
}

QCoro::Task<> ContentView::startTicker()
{
    QPointer<ContentView> guard(this);
    co_await m_mgr->refresh();
    if (!guard)
        co_return;
    m_ticker = new QTimer(this);
    m_ticker->setObjectName(QStringLiteral("ticker"));
    // A precise timer: the default coarse one may fire up to 5 % early.
    m_ticker->setTimerType(Qt::PreciseTimer);
    m_ticker->setInterval(tickInterval);
    connect(m_ticker, &QTimer::timeout, m_mgr, [m = m_mgr] { m->refresh(); });
    m_ticker->start();
}

#include "ContentView.moc"
