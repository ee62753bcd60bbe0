#include "panel_rig.h"

#include "core/layout_table.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWindow>
#include <QtTest/QTest>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "projector_model.h"

namespace qm25::bench {

void runEventLoopFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool runEventLoopUntil(const std::function<bool()> &done, int timeoutMs)
{
    const std::int64_t deadline = nowNs() + std::int64_t(timeoutMs) * 1'000'000;
    QTimer wake;
    wake.setInterval(2);
    wake.start();
    while (!done()) {
        if (nowNs() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

std::vector<ClickButton> clickButtons()
{
    std::vector<ClickButton> buttons;
    for (const DesignedControl &c : designedControls())
        if (c.command && c.command->repeat == Repeat::None)
            buttons.push_back({c.name, c.command});
    return buttons;
}

std::unique_ptr<PanelWindow> openPanel(const QString &device, QStringList *warnings)
{
    qputenv("QM25_COM1", device.toLocal8Bit());
    // COM1 from the environment only: nothing remembered is read.
    static PortDevices devices;
    auto form = std::make_unique<PanelWindow>(devices);
    form->warningBox = [warnings](const QString &text) {
        if (warnings)
            warnings->append(text);
    };
    form->endProgram = [] {};
    if (!form->startUp()) {
        if (warnings)
            warnings->append(form->startupError());
        return nullptr;
    }
    form->show();
    runEventLoopUntil([&] { return form->windowHandle() && form->windowHandle()->isExposed(); }, 5000);

    // Ctrl+H opens the display lines, a double-click on the picture the rest.
    QWidget *focus = QApplication::focusWidget();
    QTest::keyClick(focus ? focus : form.get(), Qt::Key_H, Qt::ControlModifier);
    if (!form->doubleClickOpensFullHeight())
        form->keyDown(Qt::Key_H, Qt::ControlModifier);
    QTest::mouseDClick(form->picture(), Qt::LeftButton);
    runEventLoopFor(100);
    return form;
}

// --- the projector end ---------------------------------------------------------

Device::Device(PeerEnd &pty) : pty_(pty) {}

Device::~Device() { stop(); }

void Device::start()
{
    stop_ = false;
    thread_ = std::thread([this] { run(); });
}

void Device::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

std::size_t Device::frameCount() const
{
    std::lock_guard lock(mutex_);
    return frames_.size();
}

bool Device::waitFrames(std::size_t n, int timeoutMs) const
{
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= n; });
}

Frame Device::frame(std::size_t i) const
{
    std::lock_guard lock(mutex_);
    return i < frames_.size() ? frames_[i] : Frame{};
}

std::vector<Frame> Device::frames() const
{
    std::lock_guard lock(mutex_);
    return frames_;
}

void Device::clearFrames()
{
    std::lock_guard lock(mutex_);
    frames_.clear();
}

void Device::run()
{
    sim::ProjectorModel model;
    const std::int64_t start = nowNs();
    QByteArray line;
    char buf[4096];
    while (!stop_) {
        pollfd p{pty_.fd(), POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const std::int64_t readable = nowNs();
        if (!(p.revents & POLLIN)) {
            // POLLHUP: the panel has the port closed for a moment.
            sleepForNs(1'000'000);
            continue;
        }
        const ssize_t n = ::read(pty_.fd(), buf, sizeof buf);
        if (n <= 0) {
            if (n == 0 || errno != EAGAIN)  // a connection closed reads as 0
                sleepForNs(1'000'000);
            continue;
        }
        bytesRead_ += static_cast<std::uint64_t>(n);
        if (!replying_) {
            // Acknowledge late, as a peer across a network does when it has
            // no reply to carry the acknowledgement (no effect on a terminal).
            const int off = 0;
            ::setsockopt(pty_.fd(), IPPROTO_TCP, TCP_QUICKACK, &off, sizeof off);
        }
        for (ssize_t i = 0; i < n; ++i) {
            line.append(buf[i]);
            if (buf[i] != '\r')
                continue;
            Frame f;
            f.text = line;
            f.readNs = readable;
            line.clear();
            if (replying_) {
                const sim::Reply reply = model.handle(QByteArrayView(f.text).chopped(1), (readable - start) / 1'000'000);
                if (!reply.bytes.isEmpty()) {
                    const std::int64_t delay = replyDelayNs_;
                    if (delay > 0)
                        sleepUntilNs(readable + delay);
                    f.reply = reply.bytes;
                    f.replyNs = nowNs();
                    pty_.writeAll(reply.bytes.constData(), std::size_t(reply.bytes.size()), f.replyNs + 1'000'000'000);
                }
            }
            {
                std::lock_guard lock(mutex_);
                frames_.push_back(std::move(f));
            }
            cv_.notify_all();
        }
    }
}

}  // namespace qm25::bench
