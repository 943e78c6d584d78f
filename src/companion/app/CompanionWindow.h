// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

class CompanionManager;
class ContentView;

// The program's one top-level window: the scene at its designed size, the title and the size rules.
// An X11 window manager keeps a window at the size it asks for, so there the window is the scene's size and
// offers no maximize. A Wayland compositor may maximize any window (a client-drawn title bar always has the
// button, weston has a shortcut) and ends a client whose surface then keeps another size than the one it
// configured; there a maximized or full-screen window takes the size it is given and centres the scene on its
// background, and otherwise keeps the scene's size.
class CompanionWindow : public QWidget
{
    Q_OBJECT

public:
    enum class Sizing
    {
        scene, // fixed to the scene
        compositor // maximized or full screen, the size configured; otherwise the scene's
    };

    // Takes ownership of the manager, as the scene does.
    explicit CompanionWindow(CompanionManager *mgr = nullptr, Sizing sizing = platformSizing());

    // Compositor sizing on Wayland, scene sizing elsewhere.
    static Sizing platformSizing();
    ContentView *scene() const { return m_scene; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void fit();

    const Sizing m_sizing;
    ContentView *const m_scene;
};
