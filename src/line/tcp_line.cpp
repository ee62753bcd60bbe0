#include "line/tcp_line.h"

#include <QTcpSocket>
#include <QTimer>

namespace qm25 {
namespace {

const QString kServerClosed = QStringLiteral("the device server closed the connection");

}  // namespace

TcpLine::TcpLine(const QString &device, QObject *parent)
    : DeviceLine(parent), device_(device), socket_(new QTcpSocket(this)), connectTimer_(new QTimer(this))
{
    connectTimer_->setSingleShot(true);
    connect(connectTimer_, &QTimer::timeout, this, [this] { connectFailed(ConnectFailure::TimedOut, {}); });
    connect(socket_, &QTcpSocket::connected, this, [this] {
        connectTimer_->stop();
        // Each frame leaves at once, not when the last one is acknowledged:
        // a held button repeats every 5 ms.
        socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connecting_ = false;
        open_ = true;
        if (!opening_)  // made at once: open() says so itself
            emit opened();
    });
    connect(socket_, &QTcpSocket::readyRead, this, [this] {
        if (!open_)
            return;
        const QByteArray bytes = socket_->readAll();
        if (!bytes.isEmpty())
            emit received(bytes);
    });
    connect(socket_, &QTcpSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError e) { onSocketError(static_cast<int>(e)); });
    connect(socket_, &QTcpSocket::disconnected, this, [this] {
        if (open_)
            connectionLost(kServerClosed);
    });
}

TcpLine::~TcpLine()
{
    disconnect(socket_, nullptr, this, nullptr);
    socket_->abort();
}

bool TcpLine::open(const LineSettings &, QString *why)
{
    if (open_ || connecting_)
        return true;
    server_ = parseTcpDevice(device_, why);
    if (!server_)
        return false;
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
    if (socket_->write(bytes) != bytes.size()) {
        *why = socket_->errorString();
        return false;
    }
    // Onto the connection now, not at the next turn of the event loop.
    socket_->flush();
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
    // What the system holds for the socket too, not only what was read.
    socket_->waitForReadyRead(0);
    socket_->readAll();
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

void TcpLine::onSocketError(int code)
{
    const auto e = static_cast<QAbstractSocket::SocketError>(code);
    const QString system = socket_->errorString();
    if (connecting_) {
        const ConnectFailure failure = e == QAbstractSocket::ConnectionRefusedError ? ConnectFailure::Refused
                                       : e == QAbstractSocket::HostNotFoundError    ? ConnectFailure::NameNotFound
                                       : e == QAbstractSocket::SocketTimeoutError   ? ConnectFailure::TimedOut
                                       : e == QAbstractSocket::NetworkError         ? ConnectFailure::NoRoute
                                                                                    : ConnectFailure::Other;
        connectFailed(failure, system);
    } else if (open_ && e != QAbstractSocket::SocketTimeoutError) {
        // (A wait that found nothing, as discardInput()'s does, reports a
        // time-out: the connection is still there.)
        connectionLost(e == QAbstractSocket::RemoteHostClosedError ? kServerClosed : system);
    }
}

}  // namespace qm25
