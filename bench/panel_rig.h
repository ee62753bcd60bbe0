#pragma once
// The real window on the real serial control, driven through a
// pseudo-terminal or a loopback TCP connection, and a projector on the other end that runs in a thread of
// its own and time-stamps every frame the moment it can be read.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/panel_window.h"
#include "bench_util.h"

namespace qm25::bench {

// Builds the window as the program does (COM1 on `device`), loads it, shows
// it and opens the whole window (Ctrl+H, then a double-click on the picture)
// so that the display lines are on the screen and get painted. Warnings go
// to `warnings` instead of a modal box. Returns nullptr when the port does not
// open.
std::unique_ptr<PanelWindow> openPanel(const QString &device, QStringList *warnings);

// The click buttons of the window (object name and command), in the order
// of the layout table.
struct ClickButton {
    const char *control;
    const CommandRow *command;
};
std::vector<ClickButton> clickButtons();

// Runs the event loop until `ms` milliseconds have passed.
void runEventLoopFor(int ms);
// Runs the event loop until `done()` holds or `timeoutMs` passed; true if it
// held. `done` is looked at after every batch of events and every 2 ms.
bool runEventLoopUntil(const std::function<bool()> &done, int timeoutMs);

// One frame received from the panel.
struct Frame {
    QByteArray text;          // CR included
    std::int64_t readNs = 0;  // when the reader found its last byte readable
    std::int64_t replyNs = 0; // when the reply was written (0: none)
    QByteArray reply;
};

// The projector end of the line. A reader thread waits in poll() on the
// master (or the TCP connection), cuts frames at CR and, when replying is on, answers each frame as
// the simulator's projector model would, after `replyDelayNs`.
class Device {
public:
    explicit Device(PeerEnd &pty);
    ~Device();
    void start();
    void stop();

    void setReplying(bool on) { replying_ = on; }
    void setReplyDelayNs(std::int64_t ns) { replyDelayNs_ = ns; }

    std::size_t frameCount() const;
    // Waits (without the panel's event loop) until at least n frames came.
    bool waitFrames(std::size_t n, int timeoutMs) const;
    Frame frame(std::size_t i) const;
    std::vector<Frame> frames() const;
    void clearFrames();
    std::uint64_t bytesRead() const { return bytesRead_; }

private:
    void run();

    PeerEnd &pty_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> replying_{true};
    std::atomic<std::int64_t> replyDelayNs_{0};
    std::atomic<std::uint64_t> bytesRead_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Frame> frames_;
};

}  // namespace qm25::bench

