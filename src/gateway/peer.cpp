#include "gateway/peer.h"

#include <QAbstractSocket>
#include <algorithm>

namespace qm25::gateway {

QHostAddress plainAddress(const QHostAddress &address)
{
    // ::ffff:a.b.c.d only; "::" and the other addresses stay as they are.
    const Q_IPV6ADDR a = address.toIPv6Address();
    const bool mapped = address.protocol() == QAbstractSocket::IPv6Protocol
                        && std::all_of(a.c, a.c + 10, [](quint8 b) { return b == 0; }) && a[10] == 0xff && a[11] == 0xff;
    return mapped ? QHostAddress(quint32(a[12]) << 24 | quint32(a[13]) << 16 | quint32(a[14]) << 8 | a[15]) : address;
}

QString peerText(const QHostAddress &address, quint16 port)
{
    const QHostAddress a = plainAddress(address);
    const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? '[' + a.toString() + ']' : a.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

QString peerOf(const QAbstractSocket *socket) { return peerText(socket->peerAddress(), socket->peerPort()); }

}  // namespace qm25::gateway
