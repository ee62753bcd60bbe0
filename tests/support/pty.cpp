#include "support/pty.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cerrno>
#include <functional>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace qm25::test {

PtyPeer::PtyPeer()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0)
        return;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        ::close(master_);
        master_ = -1;
        return;
    }
    path_ = QString::fromLocal8Bit(ptsname(master_));
    termios t{};
    if (tcgetattr(master_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
}

PtyPeer::PtyPeer(const QString &devicePath) : path_(devicePath)
{
    master_ = ::open(devicePath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (master_ >= 0 && tcgetattr(master_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
}

PtyPeer::~PtyPeer() { hangUp(); }

void PtyPeer::hangUp()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

bool PtyPeer::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0) {
            if (errno == EAGAIN) {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += n;
    }
    return true;
}

namespace {

// Waits for the master to become readable while the panel's event loop keeps
// running (the panel lives in this same process).
QByteArray readWhile(int fd, int timeoutMs, const std::function<bool(const QByteArray &)> &done)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (!done(got) && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, n);
        }
    }
    return got;
}

}  // namespace

QByteArray PtyPeer::readExactly(int count, int timeoutMs)
{
    return readWhile(master_, timeoutMs, [count](const QByteArray &g) { return g.size() >= count; });
}

QByteArray PtyPeer::readUntil(char terminator, int timeoutMs)
{
    return readWhile(master_, timeoutMs, [terminator](const QByteArray &g) { return g.contains(terminator); });
}

QByteArray PtyPeer::drain(int ms)
{
    return readWhile(master_, ms, [](const QByteArray &) { return false; });
}

int PtyPeer::deviceBaud() const
{
    const int fd = ::open(path_.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios t{};
    const int rc = tcgetattr(fd, &t);
    ::close(fd);
    if (rc != 0)
        return -1;
    switch (cfgetospeed(&t)) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B115200: return 115200;
    default: return 0;
    }
}

double processCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0
           + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

}  // namespace qm25::test
