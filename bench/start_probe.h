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

// When the window's first frame was done, and when what that frame queued
// (work the window leaves until it is shown) was done too.
struct Shown {
    std::int64_t painted = 0, settled = 0;
};

// Runs the event loop until the window has received its first paint event
// and that paint has been handled and flushed, then until the event loop has
// nothing queued.
inline Shown waitUntilPainted(QWidget *window)
{
    Shown times;
    // The paint event is seen before it is handled; a call queued then runs
    // once the whole frame is done, before what the window queues itself
    // while it paints.
    struct Watch : QObject {
        Shown *times = nullptr;
        bool eventFilter(QObject *watched, QEvent *e) override
        {
            if (e->type() == QEvent::Paint) {
                watched->removeEventFilter(this);
                QMetaObject::invokeMethod(
                    this, [t = times] { t->painted = monotonicNs(); }, Qt::QueuedConnection);
            }
            return false;
        }
    } watch;
    watch.times = &times;
    window->installEventFilter(&watch);
    QTimer guard;
    guard.start(5000);
    QObject::connect(&guard, &QTimer::timeout, [&] { times.painted = monotonicNs(); });
    while (!times.painted)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
    times.settled = monotonicNs();
    return times;
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

// One line: SHOWN, the time of the first frame, VmRSS and VmHWM in kB (once
// settled), the port open (0/1), the step times and the time settled.
inline void reportShown(const Shown &shown, bool portOpen, const Steps &s)
{
    std::printf("SHOWN %lld %ld %ld %d %lld %lld %lld %lld %lld\n", static_cast<long long>(shown.painted),
                statusKb("VmRSS"), statusKb("VmHWM"), portOpen ? 1 : 0, static_cast<long long>(s.mainEntered),
                static_cast<long long>(s.appMade), static_cast<long long>(s.windowMade),
                static_cast<long long>(s.loaded), static_cast<long long>(shown.settled));
    std::fflush(stdout);
}

}  // namespace qm25::bench
