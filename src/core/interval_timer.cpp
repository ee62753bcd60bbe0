#include "core/interval_timer.h"

#include <algorithm>
#include <cstdint>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace qm25 {

IntervalTimer::IntervalTimer(int interval, QObject *parent) : QObject(parent), interval_(interval)
{
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(interval);
    connect(&timer_, &QTimer::timeout, this, &IntervalTimer::tick);
#ifdef Q_OS_LINUX
    fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ >= 0) {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &IntervalTimer::expired);
    }
#endif
}

IntervalTimer::~IntervalTimer()
{
#ifdef Q_OS_LINUX
    if (fd_ >= 0) {
        delete notifier_;
        ::close(fd_);
    }
#endif
}

void IntervalTimer::setInterval(int ms)
{
    interval_ = ms;
    if (fd_ < 0)
        timer_.setInterval(ms);  // restarts a running QTimer
    else if (running_)
        setEnabled(true);
}

bool IntervalTimer::isEnabled() const { return fd_ < 0 ? timer_.isActive() : running_; }

void IntervalTimer::setEnabled(bool on)
{
    if (fd_ < 0) {
        if (on)
            timer_.start();  // (re)starts the count with the current interval
        else
            timer_.stop();
        return;
    }
#ifdef Q_OS_LINUX
    // Arming (again) starts the count afresh and drops a tick that fell due
    // but has not been handled yet; disarming drops it too.
    itimerspec due{};
    if (on) {
        const std::int64_t ns = std::max<std::int64_t>(1, std::int64_t(std::max(0, interval_)) * 1'000'000);
        due.it_value.tv_sec = time_t(ns / 1'000'000'000);
        due.it_value.tv_nsec = long(ns % 1'000'000'000);
        due.it_interval = due.it_value;
    }
    timerfd_settime(fd_, 0, &due, nullptr);
    running_ = on;
#endif
}

int IntervalTimer::remainingTime() const
{
    if (fd_ < 0)
        return timer_.remainingTime();
    if (!running_)
        return -1;
#ifdef Q_OS_LINUX
    itimerspec now{};
    timerfd_gettime(fd_, &now);
    const std::int64_t ns = std::int64_t(now.it_value.tv_sec) * 1'000'000'000 + now.it_value.tv_nsec;
    return int((ns + 999'999) / 1'000'000);  // whole milliseconds, rounded up
#else
    return -1;
#endif
}

void IntervalTimer::expired()
{
#ifdef Q_OS_LINUX
    // One tick however many fell due meanwhile: a late tick is not made up.
    std::uint64_t count = 0;
    if (::read(fd_, &count, sizeof count) != ssize_t(sizeof count) || count == 0 || !running_)
        return;
    emit tick();
#endif
}

}  // namespace qm25
