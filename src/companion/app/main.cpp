// SPDX-License-Identifier: MIT
#include "OrvaneCompanionApp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    OrvaneCompanionApp::prepare(app);
    return OrvaneCompanionApp::exec(app);
}
