// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

class CompanionManager;
class ContentView;

// The program's one top-level window: the scene at its designed size, the title and the size rules.
// An X11 window manager keeps a window at the size it asks for, so there the window is the scene's size and
// offers no maximize. A Wayland compositor may give a window any size (maximized, full screen, a tile; a
// client-drawn title bar always has the maximize button) and ends a client whose surface keeps another size
// than a maximized or full-screen configure's. There the window asks for the scene's size until the
// compositor gives it another; in a given size the scene narrows down to its minimum, is centred, and when
// the room is short leaves out its icon and keeps the status and buttons in view.
class CompanionWindow : public QWidget
{
    Q_OBJECT

public:
    enum class Sizing
    {
        scene, // fixed to the scene
        compositor // the scene's size until the compositor gives another
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
    // The size last asked for, and whether the window still follows the scene (no size given it since).
    QSize m_asked;
    bool m_followsScene = true;
    bool m_fitting = false;
};
