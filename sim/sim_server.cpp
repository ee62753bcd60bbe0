#include "sim_server.h"

#include <QSocketNotifier>

#include <algorithm>
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
    : QObject(parent), m_options(std::move(options)), m_model(m_options.model, 0)
{
    m_clock.start();
    m_sendTimer.setSingleShot(true);
    m_sendTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_sendTimer, &QTimer::timeout, this, &SimServer::sendDue);
    m_powerTimer.setSingleShot(true);
    m_powerTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_powerTimer, &QTimer::timeout, this, &SimServer::onPowerTimer);
}

SimServer::~SimServer()
{
    closeLine();
    removeLink();
    delete m_listenNotifier;
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

bool SimServer::start(QString *error)
{
    if (!m_options.traceFile.isEmpty()) {
        m_traceFile.setFileName(m_options.traceFile);
        if (!m_traceFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            *error = QStringLiteral("cannot write the trace file %1: %2")
                         .arg(m_options.traceFile, m_traceFile.errorString());
            return false;
        }
    }
    const bool opened = m_options.tcpPort >= 0        ? listenTcp(error)
                        : m_options.device.isEmpty() ? openPseudoTerminal(error)
                                                     : openDevice(error);
    if (!opened)
        return false;
    if (!m_options.link.isEmpty() && !makeLink(error)) {
        closeLine();
        return false;
    }

    const quint32 seed = m_options.seed ? *m_options.seed : QRandomGenerator::global()->generate();
    m_random.seed(seed);

    if (m_fd >= 0)
        watchLine();
    const QString speed = m_listenFd >= 0 ? QString() : QStringLiteral(" at %1 baud").arg(m_options.baud);
    trace(QStringLiteral("serving on %1%2, seed %3").arg(m_linePath, speed).arg(seed));
    return true;
}

void SimServer::watchLine()
{
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimServer::onReadable);
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimServer::onWritable);
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
    if (slave < 0 || !setRawLine(slave, m_options.baud)) {
        *error = systemError(QStringLiteral("cannot open %1").arg(QString::fromLocal8Bit(name)));
        if (slave >= 0)
            ::close(slave);
        ::close(master);
        return false;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    m_fd = master;
    m_heldSlave = slave;
    m_linePath = QString::fromLocal8Bit(name);
    return true;
}

bool SimServer::openDevice(QString *error)
{
    const QByteArray path = QFile::encodeName(m_options.device);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(QStringLiteral("cannot open %1").arg(m_options.device));
        return false;
    }
    if (!setRawLine(fd, m_options.baud)) {
        *error = systemError(QStringLiteral("%1 is no usable serial device").arg(m_options.device));
        ::close(fd);
        return false;
    }
    ::tcflush(fd, TCIOFLUSH);
    m_fd = fd;
    m_linePath = m_options.device;
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
    const QByteArray host = m_options.tcpHost.toUtf8(), port = QByteArray::number(m_options.tcpPort);
    if (const int rc = ::getaddrinfo(host.constData(), port.constData(), &hints, &found); rc != 0) {
        *error = QStringLiteral("cannot serve on %1: %2").arg(m_options.tcpHost, QString::fromLocal8Bit(::gai_strerror(rc)));
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
        *error = systemError(QStringLiteral("cannot serve on %1 port %2").arg(m_options.tcpHost).arg(m_options.tcpPort));
        return false;
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &size);
    m_linePath = QStringLiteral("tcp://") + addressText(reinterpret_cast<sockaddr *>(&bound), size);
    m_listenFd = fd;
    m_listenNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_listenNotifier, &QSocketNotifier::activated, this, &SimServer::onClient);
    return true;
}

void SimServer::onClient()
{
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const QString who = addressText(reinterpret_cast<sockaddr *>(&peer), size);
    if (m_fd >= 0 || m_hangupPending) {
        // One client at a time: the one that has the line keeps it, and a
        // second is closed at once, so it sees its link lost.
        trace(QStringLiteral("client %1 turned away: %2 has the line").arg(who, m_client));
        ::close(fd);
        return;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_fd = fd;
    m_client = who;
    m_assembler = FrameAssembler();
    watchLine();
    trace(QStringLiteral("client %1 connected").arg(who));
}

bool SimServer::makeLink(QString *error)
{
    const QByteArray link = QFile::encodeName(m_options.link);
    const QByteArray target = QFile::encodeName(m_linePath);
    struct stat st {};
    if (::lstat(link.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = QStringLiteral("%1 exists and is no symbolic link; not replacing it").arg(m_options.link);
        return false;
    }
    // Made under a temporary name and renamed, so the link is never missing.
    const QByteArray temporary = link + ".tmp" + QByteArray::number(::getpid());
    ::unlink(temporary.constData());
    if (::symlink(target.constData(), temporary.constData()) != 0
        || ::rename(temporary.constData(), link.constData()) != 0) {
        *error = systemError(QStringLiteral("cannot make the link %1").arg(m_options.link));
        ::unlink(temporary.constData());
        return false;
    }
    m_linkMade = true;
    return true;
}

void SimServer::removeLink()
{
    if (!m_linkMade)
        return;
    m_linkMade = false;
    // Only our own link goes; a newer simulator may have taken the name over.
    const QByteArray link = QFile::encodeName(m_options.link);
    char target[512] = {};
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    if (n > 0 && QFile::decodeName(QByteArray(target, n)) == m_linePath)
        ::unlink(link.constData());
}

void SimServer::closeLine()
{
    // Gone later: the line may close from within a notifier's own signal.
    for (QSocketNotifier *n : {m_readNotifier, m_writeNotifier}) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    }
    m_readNotifier = m_writeNotifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_heldSlave >= 0)
        ::close(m_heldSlave);
    m_fd = m_heldSlave = -1;
    m_sendTimer.stop();
    m_queue.clear();
    m_outBuffer.clear();
}

void SimServer::onReadable()
{
    char buffer[512];
    while (m_fd >= 0) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0) {
            const auto out = m_assembler.feed(QByteArrayView(buffer, n));
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
        if (m_listenFd >= 0) {  // the client has gone; the next one may come
            trace(QStringLiteral("client %1 left: %2").arg(m_client, why));
            closeLine();
            return;
        }
        trace(QStringLiteral("line lost: %1").arg(why));
        closeLine();
        emit failed(QStringLiteral("line %1 lost: %2").arg(m_linePath, why));
        return;
    }
}

void SimServer::onFrame(const QByteArray &frame)
{
    const QString shown = QLatin1Char('"') + spellOut(frame + kCr) + QLatin1Char('"');
    if (m_hangupPending) {
        trace(QStringLiteral("in  %1  ignored: hanging up").arg(shown));
        return;
    }
    ++m_frames;
    const Reply reply = m_model.handle(frame, now());
    trace(QStringLiteral("in  %1  %2").arg(shown, reply.note));
    if (m_options.noReply)
        trace(QStringLiteral("    no reply sent"));
    else
        queueReply(reply.bytes);
    armPowerTimer();
    if (m_options.hangupAfter > 0 && m_frames >= m_options.hangupAfter) {
        m_hangupPending = true;
        checkHangup();
    }
}

void SimServer::queueReply(QByteArray bytes)
{
    if (m_options.garbagePercent > 0
        && m_random.bounded(100) < m_options.garbagePercent) {
        const auto at = static_cast<qsizetype>(m_random.bounded(static_cast<quint32>(bytes.size() + 1)));
        bytes.insert(at, static_cast<char>(m_random.bounded(256u)));
    }
    const qsizetype pieces = std::clamp<qsizetype>(m_options.splitPieces, 1, bytes.size());
    const qint64 start = std::max(now() + m_options.delayMs, m_lastDueMs);
    qsizetype from = 0;
    for (qsizetype i = 0; i < pieces; ++i) {
        const qsizetype to = bytes.size() * (i + 1) / pieces;
        m_lastDueMs = start + i * m_options.splitGapMs;
        m_queue.push_back({m_lastDueMs, bytes.mid(from, to - from)});
        from = to;
    }
    sendDue();
}

void SimServer::sendDue()
{
    const qint64 t = now();
    while (!m_queue.empty() && m_queue.front().dueMs <= t) {
        trace(QStringLiteral("out \"%1\"").arg(spellOut(m_queue.front().bytes)));
        m_outBuffer += m_queue.front().bytes;
        m_queue.pop_front();
    }
    writeOut();
    if (!m_queue.empty())
        m_sendTimer.start(static_cast<int>(std::max<qint64>(m_queue.front().dueMs - t, 0)));
    checkHangup();
}

void SimServer::writeOut()
{
    while (!m_outBuffer.isEmpty() && m_fd >= 0) {
        const ssize_t n = ::write(m_fd, m_outBuffer.constData(), static_cast<size_t>(m_outBuffer.size()));
        if (n > 0) {
            m_outBuffer.remove(0, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_writeNotifier->setEnabled(true);  // the other side is not reading; wait
            return;
        } else {
            trace(systemError(QStringLiteral("write failed, %1 bytes dropped").arg(m_outBuffer.size())));
            m_outBuffer.clear();
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void SimServer::onWritable()
{
    writeOut();
    checkHangup();
}

void SimServer::checkHangup()
{
    if (!m_hangupPending || m_hangupScheduled || m_fd < 0 || !m_queue.empty()
        || !m_outBuffer.isEmpty())
        return;
    m_hangupScheduled = true;
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);  // whatever still comes is not read any more
    QTimer::singleShot(kHangupGraceMs, this, [this] {
        if (m_fd < 0)
            return;
        trace(QStringLiteral("hang-up after %1 frames").arg(m_frames));
        closeLine();
        emit hungUp();
    });
}

void SimServer::armPowerTimer()
{
    if (const auto due = m_model.nextTransitionMs())
        m_powerTimer.start(static_cast<int>(std::max<qint64>(*due - now(), 0)));
    else
        m_powerTimer.stop();
}

void SimServer::onPowerTimer()
{
    for (const QString &note : m_model.advance(now()))
        trace(note);
    armPowerTimer();
}

void SimServer::trace(const QString &text)
{
    if (!m_options.traceToStderr && !m_traceFile.isOpen())
        return;
    const QByteArray line =
        QStringLiteral("%1  %2\n").arg(static_cast<double>(now()) / 1000.0, 10, 'f', 3).arg(text).toUtf8();
    if (m_options.traceToStderr) {
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
        std::fflush(stderr);
    }
    if (m_traceFile.isOpen()) {
        m_traceFile.write(line);
        m_traceFile.flush();
    }
}

}  // namespace qm25::sim
