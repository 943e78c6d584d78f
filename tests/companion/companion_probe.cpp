// SPDX-License-Identifier: MIT
// The program's entry around a manager that polls a test service, for tests that need a second process.
#include "CompanionManager.h"
#include "OrvaneCompanionApp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    OrvaneCompanionApp::prepare(app, QLocale(QLocale::English));
    const auto port = quint16(QByteArray(argv[1]).toUShort());
    return OrvaneCompanionApp::exec(app, new CompanionManager(port, QString::fromLocal8Bit(argv[2])));
}
