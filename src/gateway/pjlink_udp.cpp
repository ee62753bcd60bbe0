#include "gateway/pjlink_udp.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>

#include "gateway/peer.h"
#include "gateway/state_watcher.h"

namespace qm25::gateway {

PjlinkUdp::PjlinkUdp(StateWatcher *watcher, Logger logger, QObject *parent)
    : QObject(parent), watcher_(watcher), logger_(std::move(logger))
{
    clock_.start();
    connect(&socket_, &QUdpSocket::readyRead, this, &PjlinkUdp::readDatagrams);
    connect(watcher_, &StateWatcher::valueChanged, this, &PjlinkUdp::changed);
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &PjlinkUdp::flush);
    // Controllers not heard from for an hour are forgotten; with the last
    // one the watching ends.
    age_.setInterval(60 * 1000);
    connect(&age_, &QTimer::timeout, this, [this] {
        controllers_.age(now());
        if (controllers_.all().empty() && std::exchange(watching_, false))
            watcher_->unwatch();
    });
}

PjlinkUdp::~PjlinkUdp()
{
    if (watching_)
        watcher_->unwatch();
}

bool PjlinkUdp::start(const Endpoint &at, bool search, QString *error)
{
    port_ = at.port;
    search_ = search;
    if (!search)
        return true;
    // A socket bound to one address hears no broadcasts: for an address
    // beyond loopback it listens on every address and answers only what came
    // in on that address's interface.
    QHostAddress bindTo = at.host;
    if (!at.host.isLoopback() && at.host != QHostAddress(QHostAddress::Any)
        && at.host != QHostAddress(QHostAddress::AnyIPv4) && at.host != QHostAddress(QHostAddress::AnyIPv6)) {
        onlyOn_ = at.host;
        bindTo = at.host.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress(QHostAddress::AnyIPv6)
                                                                     : QHostAddress(QHostAddress::AnyIPv4);
    }
    if (!socket_.bind(bindTo, at.port, QAbstractSocket::DontShareAddress)) {
        *error = QStringLiteral("cannot listen for PJLink searches on UDP %1: %2").arg(at.text(), socket_.errorString());
        return false;
    }
    logger_(QStringLiteral("PJLink search and notifications on UDP %1").arg(at.text()), false);
    return true;
}

QByteArray PjlinkUdp::macOfLocal(const QHostAddress &local)
{
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
        for (const QNetworkAddressEntry &e : i.addressEntries())
            if (e.ip().isEqual(local, QHostAddress::TolerantConversion))
                return pjlink::macOf(i.hardwareAddress());
    return pjlink::macOf({});
}

void PjlinkUdp::readDatagrams()
{
    // Everything waiting, at once: the system's receive buffer bounds it, and
    // a datagram left unread would keep the socket from signalling more.
    while (socket_.hasPendingDatagrams()) {
        const QNetworkDatagram d = socket_.receiveDatagram(pjlink::kMaxDatagram + 1);
        const QHostAddress from = d.senderAddress();
        if (!search_)
            continue;  // only notifications go from this socket: nothing is answered
        // The interface it came in on, looked up only for a datagram that
        // gets that far: a listing of the system's interfaces each time.
        const auto in = [&d] { return QNetworkInterface::interfaceFromIndex(int(d.interfaceIndex())); };
        const auto cameOnListened = [&] {
            const QList<QNetworkAddressEntry> entries = in().addressEntries();
            return std::any_of(entries.begin(), entries.end(), [&](const QNetworkAddressEntry &e) { return e.ip() == onlyOn_; });
        };
        using R = RefusalReason;
        if (d.data().size() > pjlink::kMaxDatagram)
            dropped(from, R::TooLarge, QStringLiteral("longer than %1 bytes").arg(pjlink::kMaxDatagram));
        else if (!pjlink::isSearch(d.data()))
            dropped(from, R::Malformed, QStringLiteral("no PJLink search"));
        else if (from.isNull() || from.isMulticast() || from.isBroadcast() || from == QHostAddress(QHostAddress::AnyIPv4))
            dropped(from, R::Forbidden, QStringLiteral("from an address no answer can go to"));
        else if (!onlyOn_.isNull() && !cameOnListened())
            dropped(from, R::Forbidden, QStringLiteral("from a network PJLink does not listen on"));
        else if (!limit_.allow(from, now()))
            dropped(from, R::Throttled, QStringLiteral("one search too many from it"));
        else if (!reaches(from))
            dropped(from, R::Forbidden, QStringLiteral("from the gateway's own address"));
        else {
            const QNetworkInterface at = in();
            const QByteArray mac = at.isValid() ? pjlink::macOf(at.hardwareAddress()) : macOfLocal(d.destinationAddress());
            socket_.writeDatagram(pjlink::searchAnswer(mac), from, port_);
            logger_(QStringLiteral("PJLink search from %1 answered").arg(plainAddress(from).toString()), true);
        }
    }
}

void PjlinkUdp::dropped(const QHostAddress &from, RefusalReason reason, const QString &why)
{
    emit refused(reason);
    ++dropped_;
    if (dropLoggedMs_ >= 0 && now() - dropLoggedMs_ < kDropLogMs)
        return;
    logger_(QStringLiteral("UDP: dropped %1 datagram(s) since the last said so; the last from %2: %3")
                .arg(dropped_)
                .arg(plainAddress(from).toString(), why),
            false);
    dropped_ = 0;
    dropLoggedMs_ = now();
}

bool PjlinkUdp::reaches(const QHostAddress &peer) const
{
    if (socket_.state() != QAbstractSocket::BoundState)
        return true;  // nothing of the gateway's holds the port
    const QHostAddress bound = socket_.localAddress();
    if (bound != QHostAddress(QHostAddress::Any) && bound != QHostAddress(QHostAddress::AnyIPv4)
        && bound != QHostAddress(QHostAddress::AnyIPv6))
        return !peer.isEqual(bound, QHostAddress::TolerantConversion);
    // On every address: every address of this machine is the gateway's.
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return !peer.isLoopback() && std::none_of(own.begin(), own.end(), [&](const QHostAddress &a) {
        return a.isEqual(peer, QHostAddress::TolerantConversion);
    });
}

void PjlinkUdp::spoke(const QHostAddress &peer, const QByteArray &mac)
{
    controllers_.seen(peer, mac, now());
    if (!std::exchange(watching_, true)) {
        watcher_->watch();  // so that changes made elsewhere are learnt without asking
        age_.start();
    }
}

void PjlinkUdp::lineUp()
{
    linkUpPending_ = true;
    scheduleFlush();
}

void PjlinkUdp::changed(Reading reading)
{
    const std::optional<StatusValue> &value = watcher_->value(reading);
    if (!value)
        return;  // not known now: the last value sent stands
    for (auto &[command, line] : pjlink::notificationsOf(*value)) {
        // The first value seen is where changes are counted from.
        if (sent_.emplace(command, line).second)
            continue;
        pending_[command] = line;
        scheduleFlush();
    }
}

void PjlinkUdp::scheduleFlush()
{
    if (flushTimer_.isActive())
        return;
    const qint64 wait = lastFlushMs_ < 0 ? 0 : kNotifyGapMs - (now() - lastFlushMs_);
    if (wait <= 0)
        flush();
    else
        flushTimer_.start(int(wait));
}

void PjlinkUdp::flush()
{
    lastFlushMs_ = now();
    QByteArrayList lines;
    for (auto &[command, line] : std::exchange(pending_, {}))
        if (std::exchange(sent_[command], line) != line)
            lines << line;
    const bool linkUp = std::exchange(linkUpPending_, false);
    for (const pjlink::Controller &c : controllers_.all()) {
        if (linkUp)
            socket_.writeDatagram(pjlink::linkUp(c.mac), c.address, port_);
        for (const QByteArray &line : lines)
            socket_.writeDatagram(line, c.address, port_);
    }
    if ((linkUp || !lines.isEmpty()) && !controllers_.all().empty())
        logger_(QStringLiteral("notified %1 controller(s): %2")
                    .arg(controllers_.all().size())
                    .arg(QString::fromLatin1((linkUp ? QByteArrayList{"%2LKUP"} + lines : lines).join(' ')).remove('\r')),
                true);
}

}  // namespace qm25::gateway
