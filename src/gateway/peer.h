#pragma once
// A client's address as every front door logs it and the password throttle
// counts it: an IPv4 address as IPv4 also when the socket took it as IPv6
// (::ffff:192.0.2.7), an IPv6 address in brackets before its port.
#include <QHostAddress>
#include <QString>

class QAbstractSocket;

namespace qm25::gateway {

// 192.0.2.7 for ::ffff:192.0.2.7; any other address as it is.
QHostAddress plainAddress(const QHostAddress &address);
// "192.0.2.7:41298", "[2001:db8::7]:41298"
QString peerText(const QHostAddress &address, quint16 port);
QString peerOf(const QAbstractSocket *socket);

}  // namespace qm25::gateway
