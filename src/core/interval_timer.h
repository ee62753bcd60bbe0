#pragma once
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

namespace qm25 {

// An interval timer in milliseconds, stopped until enabled.
//
// Enabling a timer that already runs restarts its count, and so does a new
// interval set while it runs: every send gives its own command the whole
// reply time-out and display clear, instead of a remainder left over from
// the command before it.
//
// On Linux the ticks come from a timer file descriptor, which wakes the
// event loop when the tick falls due. A QTimer (the fallback) wakes it
// through the loop's poll time-out, which the GLib event loop counts in
// whole milliseconds: each tick would come up to a millisecond late, and a
// 5 ms repeat would wobble by a fifth of its period.
class IntervalTimer : public QObject {
    Q_OBJECT
public:
    IntervalTimer(int interval, QObject *parent);
    ~IntervalTimer() override;
    int interval() const { return interval_; }
    void setInterval(int ms);
    bool isEnabled() const;
    void setEnabled(bool on);
    // Milliseconds until the next tick, or -1 when stopped.
    int remainingTime() const;
signals:
    void tick();
private:
    void expired();
    int interval_;
    bool running_ = false;
    int fd_ = -1;                        // timer file descriptor, -1: QTimer instead
    QSocketNotifier *notifier_ = nullptr;
    QTimer timer_;
};

}  // namespace qm25
