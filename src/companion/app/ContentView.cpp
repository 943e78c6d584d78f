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
const QColor cardFill = C::white(0.05);
const QColor cardBorder = C::white(0.08);
constexpr int glowBlur = 2 * 10;
const QColor glowColor = [] {
    QColor glow = C::green;
    glow.setAlphaF(0.45f);
    return glow;
}();
constexpr int cardRowWidth = ContentView::columnWidth - 2 * cardPaddingHorizontal;
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
public:
    explicit WrappedLabel(int columnWidth)
        : m_columnWidth(columnWidth)
    {
        setWordWrap(true);
    }
    QSize sizeHint() const override { return { m_columnWidth, heightForWidth(m_columnWidth) }; }
    QSize minimumSizeHint() const override { return sizeHint(); }

private:
    const int m_columnWidth;
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
    const char *objectName = nullptr, int width = ContentView::columnWidth)
{
    return styleLabel(new WrappedLabel(width), text, style, weight, colour, objectName);
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
    , mgr(manager ? manager : new CompanionManager(this))
{
    mgr->setParent(this);
    setFixedWidth(windowWidth);
    // Keyboard focus starts on the window itself, so the focus ring appears only once Tab is pressed.
    setFocusPolicy(Qt::ClickFocus);
    setFocus(Qt::OtherFocusReason);

    auto *column = new QVBoxLayout(this);
    column->setSizeConstraint(QLayout::SetNoConstraint);
    column->setContentsMargins(padding, padding, padding, padding);
    column->setSpacing(rowSpacing);
    column->addWidget(new HeaderIcon, 0, Qt::AlignHCenter);
    column->addWidget(makeHeader());
    column->addWidget(makeStatusBlock());
    column->addWidget(makeActions());
    column->addWidget(makeFooter());

    connect(mgr, &CompanionManager::statusChanged, this, &ContentView::showStatus);
    connect(mgr, &CompanionManager::busyChanged, this, &ContentView::showControls);
    connect(mgr, &CompanionManager::lastErrorChanged, this, &ContentView::showFailure);
    showStatus();
    showControls();
    fitHeight();
}

QWidget *ContentView::makeHeader()
{
    auto *group = new QWidget;
    auto *rows = new QVBoxLayout(group);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(titleSpacing);
    rows->addWidget(makeLabel(tr("Orvane"), TextStyle::title2, QFont::Bold, C::tp));
    rows->addWidget(
        makeLabel(tr("Companion · Unlocks Pro sensors"), TextStyle::subheadline, QFont::Normal, C::ts));
    return group;
}

QWidget *ContentView::makeStatusBlock()
{
    statusBlock = new CardBackground;
    statusBlock->setObjectName(QStringLiteral("statusBlock"));
    auto *rows = new QVBoxLayout(statusBlock);
    rows->setContentsMargins(
        cardPaddingHorizontal, cardPaddingVertical, cardPaddingHorizontal, cardPaddingVertical);
    rows->setSpacing(cardSpacing);

    symbol = new StatusSymbol(mgr);
    symbol->setObjectName(QStringLiteral("statusSymbol"));
    auto *glow = new QGraphicsDropShadowEffect(symbol);
    glow->setColor(glowColor);
    glow->setBlurRadius(glowBlur);
    glow->setOffset(0, 0);
    symbol->setGraphicsEffect(glow);
    rows->addWidget(symbol, 0, Qt::AlignHCenter);

    headline = makeLabel(QString(), TextStyle::title3, QFont::Bold, C::tp, "headline", cardRowWidth);
    rows->addWidget(headline);
    explanation = makeLabel(QString(), TextStyle::callout, QFont::Normal, C::ts, "explanation", cardRowWidth);
    rows->addWidget(explanation);
    failureLine = styleLabel(new FailureNotice(cardRowWidth), QString(), TextStyle::caption, QFont::Normal,
        C::amber, "failureLine");
    failureLine->hide();
    rows->addWidget(failureLine);

    busyRow = new QWidget;
    busyRow->setObjectName(QStringLiteral("busyRow"));
    auto *busyLayout = new QVBoxLayout(busyRow);
    busyLayout->setContentsMargins(0, busyRowTopPadding, 0, 0);
    busyIndicator = new BusyIndicator;
    busyIndicator->setObjectName(QStringLiteral("busyIndicator"));
    busyIndicator->setAccessibleName(tr("Working"));
    busyLayout->addWidget(busyIndicator, 0, Qt::AlignHCenter);
    rows->addWidget(busyRow);
    return statusBlock;
}

QWidget *ContentView::makeActions()
{
    actions = new QWidget;
    actions->setObjectName(QStringLiteral("actions"));
    auto *row = new QHBoxLayout(actions);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(actionSpacing);

    installButton = new PrimaryButton(tr("Install & start"));
    installButton->setObjectName(QStringLiteral("installButton"));
    connect(installButton, &QAbstractButton::clicked, mgr, [this] {
        lastRun = Operation::install;
        mgr->installAndStart();
    });
    uninstallButton = new GhostButton(tr("Uninstall"));
    uninstallButton->setObjectName(QStringLiteral("uninstallButton"));
    connect(uninstallButton, &QAbstractButton::clicked, mgr, [this] {
        lastRun = Operation::uninstall;
        mgr->uninstall();
    });
    // Equal stretch and no width of their own: the two buttons split the row evenly.
    row->addWidget(installButton, 1);
    row->addWidget(uninstallButton, 1);
    return actions;
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

    rows->addWidget(makeLabel(
        tr("Free · runs in background · 100% local"), TextStyle::caption2, QFont::Normal, C::tt, "note"));
    return footer;
}

void ContentView::showStatus()
{
    const bool running = mgr->status() == CompanionStatus::running;
    headline->setText(running ? tr("Pro sensors unlocked") : tr("Not running"));
    explanation->setText(running ? tr("Open Orvane to see CPU/GPU temperature, SoC power and GPU usage.")
                                 : tr("Install to unlock CPU/GPU temperature, SoC power and GPU usage inside "
                                      "Orvane."));
    symbol->graphicsEffect()->setEnabled(running);
    symbol->update();
    showControls();
}

void ContentView::showControls()
{
    const bool running = mgr->status() == CompanionStatus::running;
    const bool busy = mgr->busy();
    const bool installOn = !running && !busy;
    const bool uninstallOn = running && !busy;
    // A button disabled under the focus hands it to the window, not on to a link a keypress would open.
    const QWidget *focused = focusWidget();
    if ((focused == installButton && !installOn) || (focused == uninstallButton && !uninstallOn))
        setFocus(Qt::OtherFocusReason);
    busyRow->setVisible(busy);
    installButton->setEnabled(installOn);
    uninstallButton->setEnabled(uninstallOn);
    showFailure();
}

void ContentView::showFailure()
{
    const std::optional<QString> &error = mgr->lastError();
    QString text;
    if (error && !mgr->busy()) {
        text = lastRun == Operation::install ? tr("Couldn't install the sensor service:")
                                             : tr("Couldn't remove the sensor service:");
        const QString line = FailureText::firstLine(*error);
        if (!line.isEmpty())
            text += QLatin1Char(' ') + line;
    }
    if (text == failureLine->accessibleName())
        return;
    failureLine->setText(FailureText::elideToLines(text, failureLine->font(), cardRowWidth, failureLines));
    // Named before it shows: a screen reader speaks the notification as it starts showing.
    failureLine->setAccessibleName(text);
    failureLine->setVisible(!text.isEmpty());
}

void ContentView::fitHeight()
{
    setFixedHeight(heightForWidth(windowWidth));
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
    if (!tickerStarted) {
        tickerStarted = true;
        QTimer::singleShot(0, this, [this] {
            startTicker();
            window()->setWindowIcon(QIcon(AppIdentity::iconPixmap(windowIconSize)));
        });
    }
}

QCoro::Task<> ContentView::startTicker()
{
    QPointer<ContentView> guard(this);
    co_await mgr->refresh();
    if (!guard)
        co_return;
    ticker = new QTimer(this);
    ticker->setObjectName(QStringLiteral("ticker"));
    // A precise timer: the default coarse one may fire up to 5 % early.
    ticker->setTimerType(Qt::PreciseTimer);
    ticker->setInterval(tickInterval);
    connect(ticker, &QTimer::timeout, mgr, [m = mgr] { m->refresh(); });
    ticker->start();
}

#include "ContentView.moc"
