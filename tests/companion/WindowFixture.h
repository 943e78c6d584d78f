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

    explicit WindowFixture(bool serviceRuns)
        : tool(QStringLiteral("while [ ! -e \"$(dirname \"$0\")/release\" ]; do sleep 0.02; done"))
        , mgr(new CompanionManager(service.port(), tool.binDir()))
        , view(mgr)
    {
        setServiceRunning(serviceRuns);
    }

    ~WindowFixture()
    {
        // No tool run outlives the test.
        release();
        if (!QTest::qWaitFor([this] { return !mgr->busy(); }, stateWaitMs))
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

    // Lets posted layout and paint work run out.
    static bool settle()
    {
        QTest::qWait(50);
        return true;
    }

    void release()
    {
        QFile flag(QFileInfo(tool.toolPath()).absolutePath() + QStringLiteral("/release"));
        flag.open(QIODevice::WriteOnly);
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
