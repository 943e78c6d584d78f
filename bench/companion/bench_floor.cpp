// SPDX-License-Identifier: MIT
// The toolkit's floor: a bare Qt Widgets window holding one label.
#include "FootprintProbe.h"

#include <QLabel>
#ifdef BENCH_LOAD_LIBCURL
#include <curl/curl.h>
#endif

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    FootprintProbe probe(argc > 1 && qstrcmp(argv[1], "start") == 0);
#ifdef BENCH_LOAD_LIBCURL
    // A use, so the linker keeps the library: it is loaded at start as in the companion.
    if (!curl_version_info(CURLVERSION_NOW))
        return 1;
#endif
    QLabel label(QStringLiteral("Orvane Companion"));
    label.show();
    return app.exec();
}
