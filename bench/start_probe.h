#pragma once
// What the two start-up probes share: waiting for the first paint of the
// window and the one line they report. Header-only, so that each probe links
// no more than it needs.
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace qm25::bench {

inline std::int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Runs the event loop until the window has received its first paint event
// and that paint has been handled; returns the time then.
inline std::int64_t waitUntilPainted(QWidget *window)
{
    struct Watch : QObject {
        bool painted = false;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint)
                painted = true;
            return false;
        }
    } watch;
    window->installEventFilter(&watch);
    QTimer guard;
    guard.start(5000);
    QObject::connect(&guard, &QTimer::timeout, [&] { watch.painted = true; });
    while (!watch.painted)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    // The paint event is seen before it is handled: finish what is queued.
    QCoreApplication::processEvents();
    window->removeEventFilter(&watch);
    return monotonicNs();
}

inline long statusKb(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Times of the steps of the start-up, for the report of where it goes.
struct Steps {
    std::int64_t mainEntered = 0, appMade = 0, windowMade = 0, loaded = 0;
};

inline void reportShown(std::int64_t shownNs, bool portOpen, const Steps &s)
{
    std::printf("SHOWN %lld %ld %ld %d %lld %lld %lld %lld\n", static_cast<long long>(shownNs), statusKb("VmRSS"),
                statusKb("VmHWM"), portOpen ? 1 : 0, static_cast<long long>(s.mainEntered),
                static_cast<long long>(s.appMade), static_cast<long long>(s.windowMade),
                static_cast<long long>(s.loaded));
    std::fflush(stdout);
}

}  // namespace qm25::bench
