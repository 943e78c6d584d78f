// SPDX-License-Identifier: MIT
// A Qt input plugin the end-to-end test loads into the installed program (QT_QPA_GENERIC_PLUGINS): once the
// window is on screen it asks for a maximize, as the title bar's button does, since a headless compositor has
// no pointer to press it with.
#include <QGenericPlugin>
#include <QGuiApplication>
#include <QTimer>
#include <QWindow>
#include <cstdio>

class MaximizeRequest : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "maximize_request.json")

public:
    QObject *create(const QString &, const QString &) override
    {
        auto *poll = new QTimer;
        poll->setInterval(100);
        connect(poll, &QTimer::timeout, poll, [poll] {
            for (QWindow *window : QGuiApplication::topLevelWindows()) {
                if (window->isExposed()) {
                    window->setWindowStates(Qt::WindowMaximized);
                    std::fputs("e2e: maximize requested\n", stderr);
                    return poll->stop();
                }
            }
        });
        poll->start();
        return poll;
    }
};

#include "maximize_request.moc"
