// SPDX-License-Identifier: MIT
#pragma once

#include "CompanionManager.h"
#include "ContentView.h"
#include "FakeTool.h"
#include "TestHttpServer.h"

#include <QFile>
#include <QFileInfo>
#include <QTest>

// A shown window around a real manager, a local metrics service and a stand-in tool that holds each
// run until released.
struct WindowFixture
{
    static constexpr int stateWaitMs = 10000;
    // The stand-in tool's body that holds each run until release().
    static inline const QString heldRun
        = QStringLiteral("while [ ! -e \"$(dirname \"$0\")/release\" ]; do sleep 0.02; done");

    explicit WindowFixture(bool serviceRuns)
        : tool(heldRun)
        , mgr(new CompanionManager(service.port(), tool.binDir()))
        , view(mgr)
    {
        setServiceRunning(serviceRuns);
    }

    ~WindowFixture()
    {
        // No tool run outlives the test.
        if (!release() || !QTest::qWaitFor([this] { return !mgr->busy(); }, stateWaitMs))
            qWarning("the stand-in tool did not end");
    }

    void setServiceRunning(bool runs)
    {
        if (runs)
            service.setResponse(200, TestHttpServer::sampleDocument());
        else
            service.setResponse(503, {});
    }

    // Shows the window and waits until its first poll has finished.
    bool showAndSettle()
    {
        view.show();
        return QTest::qWaitFor(
                   [this] { return view.findChild<QObject *>(QStringLiteral("ticker")); }, stateWaitMs)
            && settle();
    }

    // Lets posted layout and paint work run out; false when the shown window never takes its content's
    // height.
    bool settle()
    {
        QTest::qWait(50);
        return QTest::qWaitFor(
            [this] { return view.isVisible() && view.height() == view.heightForWidth(view.width()); },
            stateWaitMs);
    }

    // Lets the held tool run end; false when the flag it waits for cannot be made.
    bool release()
    {
        QFile flag(QFileInfo(tool.toolPath()).absolutePath() + QStringLiteral("/release"));
        return flag.open(QIODevice::WriteOnly);
    }

    bool reach(CompanionStatus status, bool busy)
    {
        return QTest::qWaitFor([&] { return mgr->status() == status && mgr->busy() == busy; }, stateWaitMs)
            && settle();
    }

    template<typename T> T *child(const char *name) const { return view.findChild<T *>(QLatin1String(name)); }

    TestHttpServer service;
    FakeTool tool;
    CompanionManager *mgr;
    ContentView view;
};
