#include "support/pty.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace qm25::test {
namespace {

int rawMode(int fd)
{
    termios t{};
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

}  // namespace

PtyPeer::PtyPeer()
{
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && grantpt(fd) == 0 && unlockpt(fd) == 0) {
        master_ = rawMode(fd);
        path_ = QString::fromLocal8Bit(ptsname(fd));
    } else if (fd >= 0) {
        ::close(fd);
    }
}

PtyPeer::PtyPeer(const QString &devicePath) : path_(devicePath)
{
    master_ = rawMode(::open(devicePath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
}

void PtyPeer::hangUp()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

bool PtyPeer::write(const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(master_, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd p{master_, POLLOUT, 0};
        if (n < 0)
            ::poll(&p, 1, 100);
        else
            done += n;
    }
    return true;
}

QByteArray PtyPeer::readExactly(int count, int timeoutMs)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (got.size() < count && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p{master_, POLLIN, 0};
        char buf[4096];
        if (::poll(&p, 1, 2) > 0 && (p.revents & POLLIN))
            if (const ssize_t n = ::read(master_, buf, sizeof buf); n > 0)
                got.append(buf, n);
    }
    return got;
}

int PtyPeer::deviceBaud() const
{
    termios t{};
    const int fd = ::open(path_.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    const bool read = fd >= 0 && tcgetattr(fd, &t) == 0;
    if (fd >= 0)
        ::close(fd);
    const speed_t speed = read ? cfgetospeed(&t) : B0;
    return speed == B9600 ? 9600 : speed == B19200 ? 19200 : 0;
}

double processCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0
           + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

}  // namespace qm25::test
