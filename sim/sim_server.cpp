#include "sim_server.h"

#include <QSocketNotifier>

#include <algorithm>
#include <limits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace qm25::sim {

namespace {

// After the last reply before a hang-up, the line stays up this long so the
// other side can still read it.
constexpr int kHangupGraceMs = 200;

QString systemError(const QString &what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

// Raw 8N1, no flow control, reads return as soon as one byte is there.
bool setRawLine(int fd, int baud)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = baud == 9600 ? B9600 : B19200;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

QString spellOut(QByteArrayView bytes)
{
    static constexpr const char *names[32] = {
        "NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL", "BS",  "HT",  "LF",
        "VT",  "FF",  "CR",  "SO",  "SI",  "DLE", "DC1", "DC2", "DC3", "DC4", "NAK",
        "SYN", "ETB", "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    QString text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32)
            text += QLatin1Char('<') + QLatin1String(names[byte]) + QLatin1Char('>');
        else if (byte == 127)
            text += QStringLiteral("<DEL>");
        else if (byte > 127)
            text += QStringLiteral("<x%1>").arg(byte, 2, 16, QLatin1Char('0'));
        else
            text += QLatin1Char(c);
    }
    return text;
}

SimServer::SimServer(ServerOptions options, QObject *parent)
    : QObject(parent), options_(std::move(options)), model_(options_.model, 0)
{
    clock_.start();
    sendTimer_.setSingleShot(true);
    sendTimer_.setTimerType(Qt::PreciseTimer);
    connect(&sendTimer_, &QTimer::timeout, this, &SimServer::sendDue);
    powerTimer_.setSingleShot(true);
    powerTimer_.setTimerType(Qt::PreciseTimer);
    connect(&powerTimer_, &QTimer::timeout, this, &SimServer::onPowerTimer);
}

SimServer::~SimServer()
{
    closeLine();
    removeLink();
    delete listenNotifier_;
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

bool SimServer::start(QString *error)
{
    if (!options_.traceFile.isEmpty()) {
        traceFile_.setFileName(options_.traceFile);
        if (!traceFile_.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            *error = QStringLiteral("cannot write the trace file %1: %2")
                         .arg(options_.traceFile, traceFile_.errorString());
            return false;
        }
    }
    const bool opened = options_.tcpPort >= 0        ? listenTcp(error)
                        : options_.device.isEmpty() ? openPseudoTerminal(error)
                                                     : openDevice(error);
    if (!opened)
        return false;
    if (!options_.link.isEmpty() && !makeLink(error)) {
        closeLine();
        return false;
    }

    const quint32 seed = options_.seed ? *options_.seed : QRandomGenerator::global()->generate();
    random_.seed(seed);

    if (fd_ >= 0)
        watchLine();
    const QString speed = listenFd_ >= 0 ? QString() : QStringLiteral(" at %1 baud").arg(options_.baud);
    trace(QStringLiteral("serving on %1%2, seed %3").arg(linePath_, speed).arg(seed));
    return true;
}

void SimServer::watchLine()
{
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &SimServer::onReadable);
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &SimServer::onWritable);
}

bool SimServer::openPseudoTerminal(QString *error)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        *error = systemError(QStringLiteral("cannot create a pseudo-terminal"));
        return false;
    }
    char name[128] = {};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0
        || ::ptsname_r(master, name, sizeof name) != 0) {
        *error = systemError(QStringLiteral("cannot set up the pseudo-terminal"));
        ::close(master);
        return false;
    }
    // Holding a slave handle of our own keeps the line up while the panel
    // closes and reopens its side: the master then neither reports hang-ups
    // nor becomes readable for nothing.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0 || !setRawLine(slave, options_.baud)) {
        *error = systemError(QStringLiteral("cannot open %1").arg(QString::fromLocal8Bit(name)));
        if (slave >= 0)
            ::close(slave);
        ::close(master);
        return false;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    fd_ = master;
    heldSlave_ = slave;
    linePath_ = QString::fromLocal8Bit(name);
    return true;
}

bool SimServer::openDevice(QString *error)
{
    const QByteArray path = QFile::encodeName(options_.device);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(QStringLiteral("cannot open %1").arg(options_.device));
        return false;
    }
    if (!setRawLine(fd, options_.baud)) {
        *error = systemError(QStringLiteral("%1 is no usable serial device").arg(options_.device));
        ::close(fd);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    linePath_ = options_.device;
    return true;
}

namespace {

QString addressText(const sockaddr *address, socklen_t size)
{
    char host[NI_MAXHOST] = {}, port[NI_MAXSERV] = {};
    if (::getnameinfo(address, size, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return QStringLiteral("?");
    const QString h = QString::fromLatin1(host);
    return (address->sa_family == AF_INET6 ? QLatin1Char('[') + h + QLatin1Char(']') : h) + QLatin1Char(':')
           + QString::fromLatin1(port);
}

}  // namespace

// Serves as a serial device server does: a raw TCP connection carries the
// line's bytes unchanged, one client at a time.
bool SimServer::listenTcp(QString *error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const QByteArray host = options_.tcpHost.toUtf8(), port = QByteArray::number(options_.tcpPort);
    if (const int rc = ::getaddrinfo(host.constData(), port.constData(), &hints, &found); rc != 0) {
        *error = QStringLiteral("cannot serve on %1: %2").arg(options_.tcpHost, QString::fromLocal8Bit(::gai_strerror(rc)));
        return false;
    }
    int fd = -1;
    for (const addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        const int on = 1;
        if (fd >= 0
            && (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
                || ::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 4) != 0)) {
            const int saved = errno;
            ::close(fd);
            fd = -1;
            errno = saved;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        *error = systemError(QStringLiteral("cannot serve on %1 port %2").arg(options_.tcpHost).arg(options_.tcpPort));
        return false;
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &size);
    linePath_ = QStringLiteral("tcp://") + addressText(reinterpret_cast<sockaddr *>(&bound), size);
    listenFd_ = fd;
    listenNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(listenNotifier_, &QSocketNotifier::activated, this, &SimServer::onClient);
    return true;
}

void SimServer::onClient()
{
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const QString who = addressText(reinterpret_cast<sockaddr *>(&peer), size);
    if (fd_ >= 0 || hangupPending_) {
        // One client at a time: the one that has the line keeps it, and a
        // second is closed at once, so it sees its link lost.
        trace(QStringLiteral("client %1 turned away: %2 has the line").arg(who, client_));
        ::close(fd);
        return;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fd_ = fd;
    client_ = who;
    assembler_ = FrameAssembler();
    watchLine();
    trace(QStringLiteral("client %1 connected").arg(who));
}

bool SimServer::makeLink(QString *error)
{
    const QByteArray link = QFile::encodeName(options_.link);
    const QByteArray target = QFile::encodeName(linePath_);
    struct stat st {};
    if (::lstat(link.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = QStringLiteral("%1 exists and is no symbolic link; not replacing it").arg(options_.link);
        return false;
    }
    // Made under a temporary name and renamed, so the link is never missing.
    const QByteArray temporary = link + ".tmp" + QByteArray::number(::getpid());
    ::unlink(temporary.constData());
    if (::symlink(target.constData(), temporary.constData()) != 0
        || ::rename(temporary.constData(), link.constData()) != 0) {
        *error = systemError(QStringLiteral("cannot make the link %1").arg(options_.link));
        ::unlink(temporary.constData());
        return false;
    }
    linkMade_ = true;
    return true;
}

void SimServer::removeLink()
{
    if (!linkMade_)
        return;
    linkMade_ = false;
    // Only our own link goes; a newer simulator may have taken the name over.
    const QByteArray link = QFile::encodeName(options_.link);
    char target[512] = {};
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    if (n > 0 && QFile::decodeName(QByteArray(target, n)) == linePath_)
        ::unlink(link.constData());
}

void SimServer::closeLine()
{
    // Gone later: the line may close from within a notifier's own signal.
    for (QSocketNotifier *n : {readNotifier_, writeNotifier_}) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    }
    readNotifier_ = writeNotifier_ = nullptr;
    if (fd_ >= 0)
        ::close(fd_);
    if (heldSlave_ >= 0)
        ::close(heldSlave_);
    fd_ = heldSlave_ = -1;
    sendTimer_.stop();
    queue_.clear();
    outBuffer_.clear();
}

void SimServer::onReadable()
{
    char buffer[512];
    while (fd_ >= 0) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            const auto out = assembler_.feed(QByteArrayView(buffer, n));
            if (out.discarded > 0)
                trace(QStringLiteral("discarded %1 bytes of a line without CR").arg(out.discarded));
            for (const QByteArray &frame : out.frames)
                onFrame(frame);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        const QString why = n == 0 ? QStringLiteral("end of input") : systemError(QStringLiteral("read"));
        if (listenFd_ >= 0) {  // the client has gone; the next one may come
            trace(QStringLiteral("client %1 left: %2").arg(client_, why));
            closeLine();
            return;
        }
        trace(QStringLiteral("line lost: %1").arg(why));
        closeLine();
        emit failed(QStringLiteral("line %1 lost: %2").arg(linePath_, why));
        return;
    }
}

void SimServer::onFrame(const QByteArray &frame)
{
    const QString shown = QLatin1Char('"') + spellOut(frame + kCr) + QLatin1Char('"');
    if (hangupPending_) {
        trace(QStringLiteral("in  %1  ignored: hanging up").arg(shown));
        return;
    }
    ++frames_;
    const Reply reply = model_.handle(frame, now());
    trace(QStringLiteral("in  %1  %2").arg(shown, reply.note));
    if (options_.noReply)
        trace(QStringLiteral("    no reply sent"));
    else
        queueReply(reply.bytes);
    armPowerTimer();
    if (options_.hangupAfter > 0 && frames_ >= options_.hangupAfter) {
        hangupPending_ = true;
        checkHangup();
    }
}

void SimServer::queueReply(QByteArray bytes)
{
    if (options_.garbagePercent > 0
        && random_.bounded(100) < options_.garbagePercent) {
        const auto at = static_cast<qsizetype>(random_.bounded(static_cast<quint32>(bytes.size() + 1)));
        bytes.insert(at, static_cast<char>(random_.bounded(256u)));
    }
    const qsizetype pieces = std::clamp<qsizetype>(options_.splitPieces, 1, bytes.size());
    const qint64 start = std::max(now() + options_.delayMs, lastDueMs_);
    qsizetype from = 0;
    for (qsizetype i = 0; i < pieces; ++i) {
        const qsizetype to = bytes.size() * (i + 1) / pieces;
        lastDueMs_ = start + i * options_.splitGapMs;
        queue_.push_back({lastDueMs_, bytes.mid(from, to - from)});
        from = to;
    }
    sendDue();
}

void SimServer::sendDue()
{
    const qint64 t = now();
    while (!queue_.empty() && queue_.front().dueMs <= t) {
        trace(QStringLiteral("out \"%1\"").arg(spellOut(queue_.front().bytes)));
        outBuffer_ += queue_.front().bytes;
        queue_.pop_front();
    }
    writeOut();
    if (!queue_.empty())
        sendTimer_.start(static_cast<int>(std::clamp<qint64>(queue_.front().dueMs - t, 0, std::numeric_limits<int>::max())));
    checkHangup();
}

void SimServer::writeOut()
{
    while (!outBuffer_.isEmpty() && fd_ >= 0) {
        const ssize_t n = ::write(fd_, outBuffer_.constData(), static_cast<size_t>(outBuffer_.size()));
        if (n > 0) {
            outBuffer_.remove(0, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            writeNotifier_->setEnabled(true);  // the other side is not reading; wait
            return;
        } else {
            trace(systemError(QStringLiteral("write failed, %1 bytes dropped").arg(outBuffer_.size())));
            outBuffer_.clear();
        }
    }
    if (writeNotifier_)
        writeNotifier_->setEnabled(false);
}

void SimServer::onWritable()
{
    writeOut();
    checkHangup();
}

void SimServer::checkHangup()
{
    if (!hangupPending_ || hangupScheduled_ || fd_ < 0 || !queue_.empty()
        || !outBuffer_.isEmpty())
        return;
    hangupScheduled_ = true;
    if (readNotifier_)
        readNotifier_->setEnabled(false);  // whatever still comes is not read any more
    QTimer::singleShot(kHangupGraceMs, this, [this] {
        if (fd_ < 0)
            return;
        trace(QStringLiteral("hang-up after %1 frames").arg(frames_));
        closeLine();
        emit hungUp();
    });
}

void SimServer::armPowerTimer()
{
    if (const auto due = model_.nextTransitionMs())
        powerTimer_.start(static_cast<int>(std::max<qint64>(*due - now(), 0)));
    else
        powerTimer_.stop();
}

void SimServer::onPowerTimer()
{
    for (const QString &note : model_.advance(now()))
        trace(note);
    armPowerTimer();
}

void SimServer::trace(const QString &text)
{
    if (!options_.traceToStderr && !traceFile_.isOpen())
        return;
    const QByteArray line =
        QStringLiteral("%1  %2\n").arg(static_cast<double>(now()) / 1000.0, 10, 'f', 3).arg(text).toUtf8();
    if (options_.traceToStderr) {
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
        std::fflush(stderr);
    }
    if (traceFile_.isOpen()) {
        traceFile_.write(line);
        traceFile_.flush();
    }
}

}  // namespace qm25::sim
