// SPDX-License-Identifier: MIT
#include "CompanionWindow.h"

#include "ContentView.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QResizeEvent>

#include <algorithm>

CompanionWindow::CompanionWindow(CompanionManager *mgr, Sizing sizing)
    : m_sizing(sizing)
    , m_scene(new ContentView(mgr, this))
{
    setWindowTitle(tr("Orvane Companion"));
    // No maximize control where the window manager draws the title bar and honours the hint.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
        | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    m_scene->installEventFilter(this);
    if (m_sizing == Sizing::compositor) {
        // Announced to the compositor: below it the scene would cut its buttons.
        m_scene->fitTo({ ContentView::minimumWidth, 0 });
        m_scene->layout()->activate();
        setMinimumSize(ContentView::minimumWidth, m_scene->actionsBottom() + ContentView::rowSpacing);
    }
    fit();
}

CompanionWindow::Sizing CompanionWindow::platformSizing()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland")) ? Sizing::compositor
                                                                                : Sizing::scene;
}

bool CompanionWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_scene && event->type() == QEvent::Resize)
        fit();
    return QWidget::eventFilter(watched, event);
}

void CompanionWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // A size the window did not ask for is the compositor's (a tile, a drag on the frame): it is kept from
    // then on, as the compositor's choice. Maximized or full screen says nothing of that: such a size is
    // taken only while the state lasts.
    if (!m_fitting && windowState() == Qt::WindowNoState && event->size() != m_asked)
        m_followsScene = false;
    fit();
}

void CompanionWindow::fit()
{
    if (m_fitting)
        return;
    m_fitting = true;
    const bool given = m_sizing == Sizing::compositor
        && ((windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) || !m_followsScene);
    m_scene->fitTo(given ? size() : QSize(ContentView::windowWidth, QWIDGETSIZE_MAX));
    const QSize scene = m_scene->size();
    if (m_sizing == Sizing::scene) {
        setFixedSize(scene);
    } else if (!given && windowState() == Qt::WindowNoState) {
        // Minimized says nothing of the size the compositor holds it to (it may still be maximized there).
        m_asked = scene;
        resize(scene);
    }
    // Centred; in a window too short for the scene, the footer goes out of view, then the header.
    const int y = scene.height() <= height() ? (height() - scene.height()) / 2
                                             : std::min(0, height() - m_scene->actionsBottom());
    m_scene->move((width() - scene.width()) / 2, y);
    m_fitting = false;
}
