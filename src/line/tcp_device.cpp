#include "line/tcp_device.h"

#include <QRegularExpression>

#include "line/tcp_socket.h"

namespace qm25 {
namespace {

const QString kScheme = QStringLiteral("tcp://");
const QString kForm = QStringLiteral("write tcp://HOST:PORT, e.g. tcp://rack-server:4001");

}  // namespace

QString TcpDevice::where() const { return QStringLiteral("%1 port %2").arg(host).arg(port); }

bool isTcpDevice(const QString &device) { return device.startsWith(kScheme, Qt::CaseInsensitive); }

std::optional<TcpDevice> parseTcpDevice(const QString &device, QString *why)
{
    const QString rest = device.mid(kScheme.size());
    TcpDevice server;
    QString portText;
    bool hasPort = false;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0) {
            *why = QStringLiteral("the IPv6 address lacks its closing bracket: %1").arg(kForm);
            return std::nullopt;
        }
        server.host = rest.mid(1, close - 1);
        const TcpModule *network = tcpModule(why);
        if (!network)
            return std::nullopt;
        if (!network->isIpv6Address(server.host)) {
            *why = QStringLiteral("\"%1\" in brackets is no IPv6 address").arg(server.host);
            return std::nullopt;
        }
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(u':')) {
            *why = QStringLiteral("unexpected \"%1\" after the address: %2").arg(after, kForm);
            return std::nullopt;
        }
        hasPort = !after.isEmpty();
        portText = after.mid(1);
    } else {
        const qsizetype colon = rest.lastIndexOf(u':');
        hasPort = colon >= 0;
        server.host = hasPort ? rest.left(colon) : rest;
        portText = rest.mid(colon + 1);
        if (server.host.contains(u':')) {
            *why = QStringLiteral("an IPv6 address goes in brackets: tcp://[%1]:PORT").arg(server.host);
            return std::nullopt;
        }
        static const QRegularExpression hostName(QStringLiteral("^[A-Za-z0-9_.-]*$"));
        if (!hostName.match(server.host).hasMatch()) {
            *why = QStringLiteral("\"%1\" is no host name or address: %2").arg(server.host, kForm);
            return std::nullopt;
        }
    }
    if (server.host.isEmpty()) {
        *why = QStringLiteral("the host is missing: %1").arg(kForm);
        return std::nullopt;
    }
    if (!hasPort || portText.isEmpty()) {
        *why = QStringLiteral("the port number is missing: %1").arg(kForm);
        return std::nullopt;
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    const int port = digits.match(portText).hasMatch() ? portText.toInt() : 0;
    if (port < 1 || port > 65535) {
        *why = QStringLiteral("the port is a number from 1 to 65535, not \"%1\"").arg(portText);
        return std::nullopt;
    }
    server.port = static_cast<quint16>(port);
    return server;
}

QString connectFailureText(const TcpDevice &server, ConnectFailure failure, const QString &system)
{
    switch (failure) {
    case ConnectFailure::Refused:
        return QStringLiteral("connection refused by %1. Check that the device server is on and serves "
                              "this port.")
            .arg(server.where());
    case ConnectFailure::NoRoute:
        return QStringLiteral("no route to %1 (%2). Check the network connection and the address.")
            .arg(server.where(), system);
    case ConnectFailure::NameNotFound:
        return QStringLiteral("the host name %1 was not found (%2). Check the name, or type the server's "
                              "address instead.")
            .arg(server.host, system);
    case ConnectFailure::TimedOut:
        return QStringLiteral("connecting to %1 timed out after %2 s. Check that the device server is on "
                              "and can be reached; a firewall may be dropping the connection.")
            .arg(server.where())
            .arg(kTcpConnectTimeoutMs / 1000);
    case ConnectFailure::Other: break;
    }
    return QStringLiteral("cannot connect to %1: %2").arg(server.where(), system);
}

}  // namespace qm25
