#include "gateway/gateway.h"

#include <QTcpSocket>
#include <algorithm>

#include "gateway/peer.h"
#include "gateway/sessions.h"
#include "line/port_devices.h"
#include "line/remembered_devices.h"

namespace qm25::gateway {
namespace {

// Bytes as the log shows them: printable ASCII as it is, others by name.
QString spelled(QByteArrayView bytes)
{
    QString out;
    for (const char c : bytes) {
        if (c == '\r')
            out += QLatin1String("<CR>");
        else if (c == kAck)
            out += QLatin1String("<ACK>");
        else if (c == kNak)
            out += QLatin1String("<NAK>");
        else if (c >= 0x20 && c <= 0x7e)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("<%1>").arg(uint(uchar(c)), 2, 16, QLatin1Char('0'));
        if (out.size() > 200) {
            out += QLatin1String("...");
            break;
        }
    }
    return out;
}

QString outcomeName(ExchangeResult::Outcome o)
{
    using O = ExchangeResult::Outcome;
    switch (o) {
    case O::Ack: return QStringLiteral("acknowledged");
    case O::Nak: return QStringLiteral("refused");
    case O::Unknown: return QStringLiteral("unknown to the projector");
    case O::Data: return QStringLiteral("data");
    case O::NoReply: return QStringLiteral("no reply");
    case O::Lost: return QStringLiteral("line down");
    }
    return {};
}

}  // namespace

DeviceChoice Gateway::chooseDevice(const Options &options)
{
    if (!options.device.isEmpty()) {
        const QString device = resolveDeviceName(options.device);
        return {device, device == options.device ? QString() : QStringLiteral("%1 (%2)").arg(options.device, device)};
    }
    RememberedDevices remembered;
    const PortDevices devices(&remembered);
    return {devices.deviceFor(options.com), devices.label(options.com)};
}

Gateway::Gateway(const Options &options, const QByteArray &password, Logger logger, QObject *parent)
    : QObject(parent),
      options_(options),
      password_(password),
      logger_(std::move(logger)),
      keeper_([options] { return chooseDevice(options); }, QStringLiteral("%1,N,8,1").arg(options.baud),
              options.retryMs),
      queue_(keeper_.client()),
      watcher_(&queue_, options.pollSeconds * 1000),
      metrics_(&queue_, &watcher_, GatewayMetrics::holdFor(options.pollSeconds * 1000)),
      udp_(&watcher_, [this](const QString &line, bool verboseOnly) { log(line, verboseOnly); })
{
    metrics_.countClients(FrontDoor::Pjlink, [this] { return int(pjlinkSessions_.size()); });
    metrics_.countClients(FrontDoor::Raw, [this] { return int(rawSessions_.size()); });
    connect(&udp_, &PjlinkUdp::refused, this, [this](RefusalReason why) { metrics_.refused(FrontDoor::Pjlink, why); });
    connect(&keeper_, &LineKeeper::up, this, [this](const QString &label) {
        watcher_.lineOpened();
        udp_.lineUp();
        log(keeper_.isDeviceServer() ? QStringLiteral("line open: %1 (the device server sets its speed)").arg(label)
                                     : QStringLiteral("line open: %1 at %2 baud").arg(label).arg(options_.baud));
    });
    connect(&keeper_, &LineKeeper::down, this, [this](const QString &why) {
        if (watcher_.lineUp())
            metrics_.lineLost();
        watcher_.lineDown(why);
        log(QStringLiteral("line down: %1 (trying again every %2 s; PJLink answers ERR4 meanwhile)")
                .arg(why)
                .arg(options_.retryMs / 1000.0));
        // A raw client is told as a device server's client is: the
        // connection goes.
        const std::vector<Session *> raw = rawSessions_;  // a session may end within finish()
        for (Session *s : raw)
            s->finish(QStringLiteral("the line is down"), true);
    });
    connect(&queue_, &ExchangeQueue::exchanged, this,
            [this](const QString &label, const ExchangeResult &r, int sharedWith) {
                if (!options_.verbose)
                    return;
                QString line = QStringLiteral("exchange for %1: %2 -> %3 %4, %5 ms")
                                   .arg(label, spelled(r.frame), spelled(r.reply), outcomeName(r.outcome))
                                   .arg(double(r.elapsedNs) / 1e6, 0, 'f', 1);
                if (sharedWith)
                    line += QStringLiteral(", shared with %1 more").arg(sharedWith);
                log(line, true);
            });
    connect(&throttle_, &PasswordThrottle::log, this, [this](const QString &line) { log(line); });
    connect(&pjlinkServer_, &QTcpServer::newConnection, this, [this] { accept(pjlinkServer_, true); });
    connect(&rawServer_, &QTcpServer::newConnection, this, [this] { accept(rawServer_, false); });
}

Gateway::~Gateway()
{
    // The sessions, those that have ended among them, before the queue they
    // take part in goes with the members.
    qDeleteAll(findChildren<Session *>(Qt::FindDirectChildrenOnly));
}

void Gateway::log(const QString &line, bool verboseOnly)
{
    if (!verboseOnly || options_.verbose)
        logger_(line);
}

bool Gateway::start(QString *error)
{
    const auto listen = [&](QTcpServer &server, Endpoint &at, const char *what) {
        if (server.listen(at.host, at.port)) {
            at.port = server.serverPort();
            return true;
        }
        *error = QStringLiteral("cannot listen for %1 on %2: %3").arg(QLatin1String(what), at.text(), server.errorString());
        return false;
    };
    // TCP and UDP on the same number: for a free port, one free for both.
    const bool anyPort = options_.pjlink.port == 0;
    for (int attempt = 0;; ++attempt) {
        Endpoint at = options_.pjlink;
        if (!listen(pjlinkServer_, at, "PJLink"))
            return false;
        QString udpError;
        if (udp_.start(at, options_.search, &udpError)) {
            options_.pjlink = at;
            break;
        }
        if (!anyPort || attempt == 8) {
            // Another program holds the UDP port: PJLink itself still serves.
            options_.pjlink = at;
            log(udpError + QStringLiteral(" (searches go unanswered; say --no-search to have no search)"));
            udp_.start(at, false, &udpError);
            break;
        }
        pjlinkServer_.close();
    }
    if (options_.raw && !listen(rawServer_, *options_.raw, "raw exchanges"))
        return false;
    log(QStringLiteral("PJLink on %1 (%2)")
            .arg(options_.pjlink.text(), password_.isEmpty() ? QStringLiteral("no password") : QStringLiteral("password")));
    if (options_.raw)
        log(QStringLiteral("raw exchanges on %1").arg(options_.raw->text()));
    keeper_.start();
    return true;
}

void Gateway::accept(QTcpServer &server, bool pjlink)
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        const QString label = QStringLiteral("%1 %2").arg(pjlink ? "PJLink" : "raw", peerOf(socket));
        std::vector<Session *> &sessions = pjlink ? pjlinkSessions_ : rawSessions_;
        const int max = pjlink ? kMaxPjlinkClients : kMaxRawClients;
        const FrontDoor door = pjlink ? FrontDoor::Pjlink : FrontDoor::Raw;
        QString refusal;
        RefusalReason reason = RefusalReason::TooManyConnections;
        if (int(sessions.size()) >= max)
            refusal = QStringLiteral("%1 connections open already").arg(max);
        else if (!pjlink && !keeper_.isUp()) {
            refusal = QStringLiteral("the line is down");
            reason = RefusalReason::LineDown;
        } else if (pjlink && !password_.isEmpty() && !throttle_.admits(socket->peerAddress(), QStringLiteral("PJLink"))) {
            refusal = QStringLiteral("too many wrong passwords");  // the throttle says so, once a minute
            reason = RefusalReason::Throttled;
        }
        if (!refusal.isEmpty()) {
            metrics_.refused(door, reason);
            // Closed before a byte is sent: the client sees the connection
            // end, and may try again later.
            log(QStringLiteral("refused %1: %2").arg(label, refusal), refusal == QLatin1String("too many wrong passwords"));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const pjlink::Identity identity{options_.name, [this] { return watcher_.freeze(); }};
        Session *session = pjlink ? static_cast<Session *>(new PjlinkSession(
                                        socket, &queue_, label, password_, &throttle_, identity,
                                        options_.idleSeconds, this))
                                  : new RawSession(socket, &queue_, label, this);
        sessions.push_back(session);
        // A client on the gateway's own address cannot hear notifications: the port there is the gateway's.
        if (pjlink && udp_.reaches(socket->peerAddress()))
            connect(static_cast<PjlinkSession *>(session), &PjlinkSession::spoke, this,
                    [this, peer = socket->peerAddress(), mac = PjlinkUdp::macOfLocal(socket->localAddress())] {
                        udp_.spoke(peer, mac);
                    });
        connect(session, &Session::log, this, [this](const QString &line, bool verboseOnly) { log(line, verboseOnly); });
        connect(session, &Session::refused, this, [this, door](RefusalReason why) { metrics_.refused(door, why); });
        connect(session, &Session::authFailed, this, [this, door] { metrics_.authFailed(door); });
        connect(session, &Session::ended, this, [this, pjlink](Session *s) {
            std::vector<Session *> &list = pjlink ? pjlinkSessions_ : rawSessions_;
            list.erase(std::remove(list.begin(), list.end(), s), list.end());
            log(QStringLiteral("%1 has left").arg(s->label()), true);
        });
        log(QStringLiteral("%1 connected").arg(label), true);
    }
}

}  // namespace qm25::gateway
