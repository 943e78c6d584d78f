// SPDX-License-Identifier: MIT
#include "OrvaneCompanionApp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (const std::optional<int> status = OrvaneCompanionApp::handleCommandLine(argc, argv))
        return *status;
    QApplication app(argc, argv);
    OrvaneCompanionApp::prepare(app);
    return OrvaneCompanionApp::exec(app);
}
