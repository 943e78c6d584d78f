// SPDX-License-Identifier: MIT
// The toolkit's floor: a bare Qt Widgets window holding one label.
#include "FootprintProbe.h"

#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    FootprintProbe probe(argc > 1 && qstrcmp(argv[1], "start") == 0);
    QLabel label(QStringLiteral("Orvane Companion"));
    label.show();
    return app.exec();
}
