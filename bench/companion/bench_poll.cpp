// SPDX-License-Identifier: MIT
// The poll's own cost, without a window: a precise timer that polls the service ("poll"), or that only
// parses a saved answer ("floor"). Prints the CPU time over the whole run, idle waits included.
#include "CompanionManager.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

double cpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s poll PORT|floor FILE INTERVAL_MS COUNT\n", argv[0]);
        return 2;
    }
    const bool floor = qstrcmp(argv[1], "floor") == 0;
    const std::chrono::milliseconds interval { QByteArray(argv[3]).toInt() };
    const int count = QByteArray(argv[4]).toInt();
    QByteArray saved;
    if (QFile file(QString::fromLocal8Bit(argv[2])); floor && file.open(QIODevice::ReadOnly))
        saved = file.readAll();
    CompanionManager manager(floor ? 0 : QByteArray(argv[2]).toUShort(), {});

    // The first poll sets up libcurl once per process: start-up cost, reported apart from polling.
    if (!floor) {
        const double before = cpuMs();
        QCoro::waitFor(manager.refresh());
        std::printf("first_poll_cpu_ms %.3f\n", cpuMs() - before);
    }

    int ticks = 0;
    bool readings = true;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &manager, [&] {
        if (++ticks > count) {
            ticker.stop();
            return QCoreApplication::quit();
        }
        if (floor)
            readings = readings && CompanionManager::parse(saved).has_value();
        else
            manager.refresh();
    });
    const double start = cpuMs();
    ticker.start(interval);
    app.exec();
    const double spent = cpuMs() - start;
    if (!floor)
        readings = manager.status() == CompanionStatus::running;
    std::printf("polls %d\ncpu_ms %.3f\nper_poll_ms %.4f\n", count, spent, spent / count);
    if (QFile status(QStringLiteral("/proc/self/status")); status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                std::printf("rss_kb %s\n", line.mid(6).trimmed().split(' ').first().constData());
        }
    }
    return readings ? 0 : 1;
}
