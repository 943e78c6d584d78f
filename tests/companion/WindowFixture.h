// SPDX-License-Identifier: MIT
#pragma once

#include "CompanionManager.h"
#include "ContentView.h"
#include "FakeTool.h"
#include "TestHttpServer.h"

#include <QAbstractButton>
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
        , initial(serviceRuns ? CompanionStatus::running : CompanionStatus::stopped)
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
        service.setResponse(runs ? 200 : 503, runs ? TestHttpServer::sampleDocument() : QByteArray());
    }

    // Shows the window and waits until its first poll has set the status the service was set up for.
    bool ready()
    {
        view.show();
        return QTest::qWaitFor(
                   [this] { return view.findChild<QObject *>(QStringLiteral("ticker")); }, stateWaitMs)
            && reach(initial, false);
    }

    // Lets posted work run out; false when the shown window never takes its content's height.
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
    ContentView view;
    const CompanionStatus initial;
};
