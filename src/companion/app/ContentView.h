// SPDX-License-Identifier: MIT
#pragma once

#include <QCoroTask>
#include <QWidget>
#include <chrono>

class CompanionManager;
class QLabel;
class QTimer;
class BusyIndicator;
class StyledButton;
class StatusSymbol;

// The companion's scene: header, status card, action row and footer over a dark gradient, at the size its
// content needs. It owns the manager and the ticker that keeps the manager's state current.
class ContentView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int windowWidth = 440;
    // The narrowest the scene gets in a window given less room (a tile); its texts wrap onto more lines.
    static constexpr int minimumWidth = 300;
    static constexpr int padding = 28;
    static constexpr int rowSpacing = 16;
    static constexpr std::chrono::milliseconds tickInterval { 2500 };

    // Takes ownership of the manager; without one it makes the production manager.
    explicit ContentView(CompanionManager *manager = nullptr, QWidget *parent = nullptr);

    // Takes the widest size up to the designed width that the room allows, and leaves out the icon when the
    // room is too short for all of it.
    void fitTo(QSize available);
    // Where the action row ends: what a window too short for the scene keeps in view.
    int actionsBottom() const;

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QWidget *makeHeader();
    QWidget *makeStatusBlock();
    QWidget *makeActions();
    QWidget *makeFooter();

    // The only reactions to the manager: status picks symbol and texts, status and busy the controls.
    void showStatus();
    void showControls();
    // The failed run's line, shown while lastError holds a text and no run is under way.
    void showFailure();
    void fitHeight();
    void elideFailure();
    QCoro::Task<> startTicker();

    CompanionManager *const m_mgr;
    QTimer *m_ticker = nullptr;
    bool m_tickerStarted = false;
    // Which button started the last run, so the failure line names what failed.
    enum class Operation
    {
        install,
        uninstall
    } m_lastRun
        = Operation::install;

    QWidget *m_icon = nullptr;
    QWidget *m_statusBlock = nullptr;
    StatusSymbol *m_symbol = nullptr;
    QLabel *m_headline = nullptr;
    QLabel *m_explanation = nullptr;
    QLabel *m_failureLine = nullptr;
    QWidget *m_busyRow = nullptr;
    BusyIndicator *m_busyIndicator = nullptr;

    QWidget *m_actions = nullptr;
    StyledButton *m_installButton = nullptr;
    StyledButton *m_uninstallButton = nullptr;
};
