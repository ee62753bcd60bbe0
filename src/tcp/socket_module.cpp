// libqm25tcp: the device server's socket on Qt's network library, loaded by
// the line when a device server is first used (line/tcp_socket.h).
#include <QHostAddress>
#include <QTcpSocket>

#include "line/tcp_socket.h"

namespace qm25 {
namespace {

class NetworkSocket final : public TcpSocket {
public:
    explicit NetworkSocket(Handlers handlers) : handlers_(std::move(handlers))
    {
        QObject::connect(&socket_, &QTcpSocket::connected, &socket_, [this] { handlers_.connected(); });
        QObject::connect(&socket_, &QTcpSocket::readyRead, &socket_, [this] { handlers_.readyRead(); });
        QObject::connect(&socket_, &QTcpSocket::disconnected, &socket_, [this] { handlers_.disconnected(); });
        QObject::connect(&socket_, &QTcpSocket::errorOccurred, &socket_, [this](QAbstractSocket::SocketError e) {
            const Error error = e == QAbstractSocket::ConnectionRefusedError ? Error::Refused
                                : e == QAbstractSocket::HostNotFoundError    ? Error::NameNotFound
                                : e == QAbstractSocket::SocketTimeoutError   ? Error::TimedOut
                                : e == QAbstractSocket::NetworkError         ? Error::NoRoute
                                : e == QAbstractSocket::RemoteHostClosedError ? Error::RemoteClosed
                                                                              : Error::Other;
            handlers_.error(error, socket_.errorString());
        });
    }
    ~NetworkSocket() override
    {
        // Aborting reports the disconnection; nobody is left to hear it.
        QObject::disconnect(&socket_, nullptr, nullptr, nullptr);
        socket_.abort();
    }

    void connectToHost(const QString &host, quint16 port) override { socket_.connectToHost(host, port); }
    void setLowDelay() override { socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1); }
    void abort() override { socket_.abort(); }
    bool write(const QByteArray &bytes, QString *why) override
    {
        if (socket_.write(bytes) != bytes.size()) {
            *why = socket_.errorString();
            return false;
        }
        socket_.flush();
        return true;
    }
    QByteArray readAll() override { return socket_.readAll(); }
    qintptr descriptor() const override { return socket_.socketDescriptor(); }

private:
    Handlers handlers_;
    QTcpSocket socket_;
};

std::unique_ptr<TcpSocket> makeSocket(TcpSocket::Handlers handlers)
{
    return std::make_unique<NetworkSocket>(std::move(handlers));
}

bool isIpv6Address(const QString &text) { return QHostAddress(text).protocol() == QAbstractSocket::IPv6Protocol; }

}  // namespace
}  // namespace qm25

extern "C" Q_DECL_EXPORT const qm25::TcpModule *qm25TcpModule()
{
    static const qm25::TcpModule module{qm25::kTcpModuleVersion, &qm25::makeSocket, &qm25::isIpv6Address};
    return &module;
}
