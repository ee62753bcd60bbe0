#pragma once
#include <QString>
#include <QtGlobal>
#include <optional>

namespace qm25 {

// A serial device server on the network, named tcp://HOST:PORT: the
// projector's RS-232C line ends at the server, which passes the bytes
// unchanged over a raw TCP connection. HOST is an IPv4 address, an IPv6
// address in brackets (tcp://[::1]:4001) or a host name.
struct TcpDevice {
    QString host;  // without brackets
    quint16 port = 0;
    // The host and port in words, e.g. "192.0.2.7 port 4001".
    QString where() const;
};

// How long connecting may take, the name look-up included.
constexpr int kTcpConnectTimeoutMs = 3000;

// Whether the device name names a device server (it starts with tcp://).
bool isTcpDevice(const QString &device);
// The host and port of a device server's name; nothing, with *why set, when
// the name is malformed.
std::optional<TcpDevice> parseTcpDevice(const QString &device, QString *why);

enum class ConnectFailure { Refused, NoRoute, NameNotFound, TimedOut, Other };
// Why connecting to the server failed, naming its host and port, followed by
// what the operator can do about it; `system` is the system's description.
QString connectFailureText(const TcpDevice &server, ConnectFailure failure, const QString &system);

}  // namespace qm25
