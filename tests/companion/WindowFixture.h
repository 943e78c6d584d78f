// SPDX-License-Identifier: MIT
#pragma once

#include "CompanionManager.h"
#include "CompanionWindow.h"
#include "ContentView.h"
#include "FakeTool.h"
#include "TestHttpServer.h"

#include <QAbstractButton>
#include <QFile>
#include <QFileInfo>
#include <QTest>

// The window around a real manager, a local metrics service and a stand-in tool that holds runs.
struct WindowFixture
{
    static constexpr int stateWaitMs = 10000;
    static inline const QString heldRun
        = QStringLiteral("while [ ! -e \"$(dirname \"$0\")/release\" ]; do sleep 0.02; done");

    explicit WindowFixture(bool serviceRuns, CompanionWindow::Sizing sizing = CompanionWindow::Sizing::scene)
        : tool(heldRun)
        , mgr(new CompanionManager(service.port(), tool.binDir()))
        , window(mgr, sizing)
        , view(*window.scene())
        , initial(serviceRuns ? CompanionStatus::running : CompanionStatus::stopped)
    {
        service.setResponse(
            serviceRuns ? 200 : 503, serviceRuns ? TestHttpServer::sampleDocument() : QByteArray());
    }

    // No tool run outlives the test.
    ~WindowFixture()
    {
        if (!release() || !QTest::qWaitFor([this] { return !mgr->busy(); }, stateWaitMs))
            qWarning("the stand-in tool did not end");
    }

    // Shows the window and waits until its first poll has set the status the service was set up for.
    bool ready()
    {
        window.show();
        return QTest::qWaitFor([this] { return child<QObject>("ticker"); }, stateWaitMs)
            && reach(initial, false);
    }

    // Lets posted work run out; false when the shown window never takes its content's height.
    bool settle()
    {
        QTest::qWait(50);
        return QTest::qWaitFor(
            [this] { return window.isVisible() && view.height() == view.heightForWidth(view.width()); },
            stateWaitMs);
    }

    // Lets the held tool run end; false when the flag it waits for cannot be made.
    bool release()
    {
        return QFile(QFileInfo(tool.toolPath()).path() + "/release").open(QIODevice::WriteOnly);
    }

    bool reach(CompanionStatus status, bool busy)
    {
        return QTest::qWaitFor([&] { return mgr->status() == status && mgr->busy() == busy; }, stateWaitMs)
            && settle();
    }

    // The button that starts a run in the initial status.
    QAbstractButton *action() const
    {
        return child<QAbstractButton>(
            initial == CompanionStatus::running ? "uninstallButton" : "installButton");
    }

    template<typename T> T *child(const char *name) const { return view.findChild<T *>(QLatin1String(name)); }

    TestHttpServer service;
    FakeTool tool;
    CompanionManager *mgr;
    CompanionWindow window;
    ContentView &view;
    const CompanionStatus initial;
};
