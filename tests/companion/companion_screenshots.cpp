// SPDX-License-Identifier: MIT
// Renders the window offscreen in its four looks, driven by a local service and a stand-in tool.
#include "OrvaneCompanionApp.h"
#include "WindowFixture.h"

#include <QApplication>
#include <QDir>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
    QDir().mkpath(folder);
    OrvaneCompanionApp::prepare(app, QLocale(QLocale::English));
    WindowFixture w(false);
    const auto save = [&](const char *name) {
        const QString path = folder + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
        const bool saved = w.view.grab().save(path);
        std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
        return saved;
    };
    bool ok = w.ready() && save("not-running");
    // An install on a machine without sensors, as in a virtual machine.
    w.tool.write(QStringLiteral("echo 'no readable sensors on this machine' >&2; exit 1"));
    w.action()->click();
    ok = ok
        && QTest::qWaitFor([&] { return w.mgr->lastError() && !w.mgr->busy(); }, WindowFixture::stateWaitMs)
        && w.settle() && save("failure");
    w.tool.write(WindowFixture::heldRun);
    w.action()->click();
    ok = ok && w.reach(CompanionStatus::stopped, true) && save("busy");
    w.service.setResponse(200, TestHttpServer::sampleDocument());
    return ok && w.release() && w.reach(CompanionStatus::running, false) && save("running") ? 0 : 1;
}
