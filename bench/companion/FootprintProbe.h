// SPDX-License-Identifier: MIT
#pragma once

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <ctime>

// Watches a program from inside: when its first window first painted, its resident and proportional memory
// once settled, and its CPU time over the following idle minute. Prints one "key value" per line.
class FootprintProbe : public QObject
{
public:
    static constexpr std::chrono::seconds settleTime { 10 };
    static constexpr std::chrono::seconds idleTime { 60 };

    // startOnly: quit right after the first frame; otherwise run the whole settle and idle time.
    explicit FootprintProbe(bool startOnly)
        : m_startOnly(startOnly)
    {
        qApp->installEventFilter(this);
        if (startOnly)
            return;
        QTimer::singleShot(settleTime, this, [this] {
            std::printf("rss_kb %ld\n", kilobytes("/proc/self/status", "VmRSS:"));
            std::printf("pss_kb %ld\n", kilobytes("/proc/self/smaps_rollup", "Pss:"));
            m_cpuAtSettle = cpuNanoseconds();
            QTimer::singleShot(idleTime, this, [this] {
                std::printf("idle_cpu_ms %.3f\n", double(cpuNanoseconds() - m_cpuAtSettle) / 1e6);
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        });
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_painted && event->type() == QEvent::Paint && watched->isWidgetType()
            && static_cast<QWidget *>(watched)->isWindow()) {
            m_painted = true;
            // Reported once this frame's painting and flushing have finished.
            QTimer::singleShot(0, this, [this] {
                std::printf("first_paint_ns %lld\n", clockNanoseconds(CLOCK_REALTIME));
                std::fflush(stdout);
                if (m_startOnly)
                    QCoreApplication::quit();
            });
        }
        return false;
    }

private:
    static long long clockNanoseconds(clockid_t clock)
    {
        timespec now {};
        clock_gettime(clock, &now);
        return now.tv_sec * 1000000000LL + now.tv_nsec;
    }
    static long long cpuNanoseconds() { return clockNanoseconds(CLOCK_PROCESS_CPUTIME_ID); }
    // The first "key: value kB" line of a /proc file.
    static long kilobytes(const char *path, const QByteArray &key)
    {
        QFile file(QString::fromLatin1(path));
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith(key))
                return line.mid(key.size()).trimmed().split(' ').first().toLong();
        }
        return -1;
    }

    const bool m_startOnly;
    bool m_painted = false;
    long long m_cpuAtSettle = 0;
};
