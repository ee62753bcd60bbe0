#include "line/tcp_line.h"

#include <QTimer>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace qm25 {
namespace {

const QString kServerClosed = QStringLiteral("the device server closed the connection");

// A server that vanishes without closing (its cable pulled, its power or
// its network gone) is noticed within about ten seconds: an idle connection
// is probed after 3 s, every 2 s, three times; a frame not acknowledged for
// 10 s ends it. Without this the line would look open for many minutes.
void watchForAVanishedPeer(qintptr socket)
{
#ifdef Q_OS_LINUX
    const int fd = int(socket);
    const int on = 1, idle = 3, interval = 2, probes = 3;
    const unsigned int unacknowledgedMs = 10000;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
#else
    Q_UNUSED(socket);
#endif
}

}  // namespace

TcpLine::TcpLine(const QString &device, QObject *parent)
    : DeviceLine(parent), device_(device), connectTimer_(new QTimer(this))
{
    connectTimer_->setSingleShot(true);
    connect(connectTimer_, &QTimer::timeout, this, [this] { connectFailed(ConnectFailure::TimedOut, {}); });
}

TcpLine::~TcpLine() = default;

bool TcpLine::open(const LineSettings &, QString *why)
{
    if (open_ || connecting_)
        return true;
    server_ = parseTcpDevice(device_, why);
    if (!server_)
        return false;
    if (!socket_) {
        const TcpModule *module = tcpModule(why);
        if (!module)
            return false;
        TcpSocket::Handlers handlers;
        handlers.connected = [this] {
            connectTimer_->stop();
            // Each frame leaves at once, not when the last one is acknowledged:
            // a held button repeats every 5 ms.
            socket_->setLowDelay();
            watchForAVanishedPeer(socket_->descriptor());
            connecting_ = false;
            open_ = true;
            if (!opening_)  // made at once: open() says so itself
                emit opened();
        };
        handlers.readyRead = [this] {
            if (!open_)
                return;
            const QByteArray bytes = socket_->readAll();
            if (!bytes.isEmpty())
                emit received(bytes);
        };
        handlers.error = [this](TcpSocket::Error e, const QString &system) { onSocketError(e, system); };
        handlers.disconnected = [this] {
            if (open_)
                connectionLost(kServerClosed);
        };
        socket_ = module->makeSocket(std::move(handlers));
    }
    // A failure found while connecting starts is returned, not signalled.
    opening_ = connecting_ = true;
    connectTimer_->start(kTcpConnectTimeoutMs);
    socket_->connectToHost(server_->host, server_->port);
    opening_ = false;
    if (!connecting_ && !open_) {
        *why = failure_;
        return false;
    }
    return true;
}

void TcpLine::close()
{
    if (!open_ && !connecting_)
        return;
    // Closed before the socket is: aborting reports the disconnection, and
    // the report must find the line closed already.
    connecting_ = open_ = false;
    server_.reset();
    connectTimer_->stop();
    socket_->abort();
}

bool TcpLine::write(const QByteArray &bytes, QString *why)
{
    if (connecting_) {
        *why = QStringLiteral("still connecting to %1").arg(server_->where());
        return false;
    }
    if (!open_) {
        *why = QStringLiteral("port closed");
        return false;
    }
    // Onto the connection now, not at the next turn of the event loop.
    if (!socket_->write(bytes, why))
        return false;
    if (!open_) {
        *why = QStringLiteral("port closed");
        return false;
    }
    return true;
}

void TcpLine::discardInput()
{
    if (!open_)
        return;
    socket_->readAll();
#ifdef Q_OS_LINUX
    // And what the system holds for the socket, not read yet. (The end of
    // the connection is not taken: it stays for the socket to see.)
    char drop[512];
    while (::recv(int(socket_->descriptor()), drop, sizeof drop, MSG_DONTWAIT) > 0) {
    }
#endif
}

void TcpLine::connectFailed(ConnectFailure failure, const QString &system)
{
    if (!connecting_)
        return;
    const TcpDevice server = *server_;
    close();
    failure_ = connectFailureText(server, failure, system);
    if (!opening_)
        emit openFailed(failure_);
}

void TcpLine::connectionLost(const QString &why)
{
    close();
    emit lost(why);
}

void TcpLine::onSocketError(TcpSocket::Error e, const QString &system)
{
    using Error = TcpSocket::Error;
    if (connecting_) {
        const ConnectFailure failure = e == Error::Refused        ? ConnectFailure::Refused
                                       : e == Error::NameNotFound ? ConnectFailure::NameNotFound
                                       : e == Error::TimedOut     ? ConnectFailure::TimedOut
                                       : e == Error::NoRoute      ? ConnectFailure::NoRoute
                                                                  : ConnectFailure::Other;
        connectFailed(failure, system);
    } else if (open_) {
        connectionLost(e == Error::RemoteClosed ? kServerClosed : system);
    }
}

}  // namespace qm25
