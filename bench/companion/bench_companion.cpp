// SPDX-License-Identifier: MIT
// The companion's own entry, polling the bench's local service instead of the production port.
#include "CompanionManager.h"
#include "FootprintProbe.h"
#include "OrvaneCompanionApp.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s start|idle PORT\n", argv[0]);
        return 2;
    }
    FootprintProbe probe(qstrcmp(argv[1], "start") == 0);
    OrvaneCompanionApp::prepare(app);
    const auto port = quint16(QByteArray(argv[2]).toUShort());
    return OrvaneCompanionApp::exec(app, new CompanionManager(port, QCoreApplication::applicationDirPath()));
}
