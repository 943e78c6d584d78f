// SPDX-License-Identifier: MIT
#include "CompanionWindow.h"

#include "ContentView.h"

#include <QEvent>
#include <QGuiApplication>

CompanionWindow::CompanionWindow(CompanionManager *mgr, Sizing sizing)
    : m_sizing(sizing)
    , m_scene(new ContentView(mgr, this))
{
    setWindowTitle(tr("Orvane Companion"));
    // No maximize control where the window manager draws the title bar and honours the hint.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
        | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    m_scene->installEventFilter(this);
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
    // A drag on the frame or a tiling compositor proposes a size the window may decline in the normal state;
    // back from maximized or full screen, the compositor's restored size may be one the scene has outgrown.
    fit();
}

void CompanionWindow::fit()
{
    const QSize scene = m_scene->size();
    if (m_sizing == Sizing::scene)
        setFixedSize(scene);
    // A maximized or full-screen surface must take the configured size; the scene is centred in it. Minimized
    // says nothing of the size the compositor holds it to (a minimized window may still be maximized there).
    else if (windowState() == Qt::WindowNoState)
        resize(scene);
    m_scene->move((width() - scene.width()) / 2, (height() - scene.height()) / 2);
}
