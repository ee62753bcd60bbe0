#pragma once
// PJLink Class 2 over UDP on the PJLink port's number: answers searches
// ("%2SRCH") from the networks the PJLink port listens on, and tells the
// controllers that have spoken to the gateway what changed: the link-up
// when the line opens, and the power, input, mute and errors as the one
// watcher of the projector's state learns them. A thin front door: it has
// no reads of its own, only the last value it sent of each.
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>
#include <functional>
#include <map>

#include "gateway/gateway_metrics.h"
#include "gateway/options.h"
#include "gateway/pjlink_datagrams.h"

namespace qm25::gateway {

class StateWatcher;

class PjlinkUdp : public QObject {
    Q_OBJECT
public:
    using Logger = std::function<void(const QString &line, bool verboseOnly)>;
    // Search answers: one a second to a source, 32 a second in all, 256
    // sources remembered.
    static constexpr qint64 kSearchGapMs = 1000;
    static constexpr int kSearchesPerSecond = 32;
    static constexpr std::size_t kSearchSources = 256;
    // Notifications go out at most every 50 ms; what changed meanwhile goes
    // with the next, the last value of each.
    static constexpr int kNotifyGapMs = 50;
    // Dropped datagrams are logged once a minute at most.
    static constexpr qint64 kDropLogMs = 60 * 1000;

    PjlinkUdp(StateWatcher *watcher, Logger logger, QObject *parent = nullptr);
    ~PjlinkUdp() override;

    // Sends to port `at.port` of the controllers; with `search`, listens on
    // it for searches. False, with *error, when the port cannot be had.
    bool start(const Endpoint &at, bool search, QString *error);
    // Whether datagrams to `peer` on the port reach someone else than the
    // gateway itself (which holds the port on its own addresses).
    bool reaches(const QHostAddress &peer) const;
    // A controller at `peer` spoke, through the gateway's interface `mac`.
    void spoke(const QHostAddress &peer, const QByteArray &mac);
    // The line has opened: the gateway serves the projector.
    void lineUp();
    // The MAC address of the interface that carries a local address.
    static QByteArray macOfLocal(const QHostAddress &local);

signals:
    // A datagram dropped, and why: for the metrics.
    void refused(RefusalReason reason);

private:
    void readDatagrams();
    void dropped(const QHostAddress &from, RefusalReason reason, const QString &why);
    void changed(Reading reading);
    void scheduleFlush();
    void flush();
    qint64 now() const { return clock_.elapsed(); }

    StateWatcher *watcher_;
    Logger logger_;
    QUdpSocket socket_;
    quint16 port_ = 0;
    bool search_ = false;
    QHostAddress onlyOn_;  // bound to every address, answering on this one's interface only
    QElapsedTimer clock_;
    pjlink::SourceLimit limit_{kSearchGapMs, kSearchesPerSecond, kSearchSources};
    pjlink::ControllerTable controllers_;
    QTimer age_;
    bool watching_ = false;
    std::map<QByteArray, QByteArray> sent_;     // command: the last line sent (or first seen)
    std::map<QByteArray, QByteArray> pending_;  // command: the line to send next
    bool linkUpPending_ = false;
    QTimer flushTimer_;
    qint64 lastFlushMs_ = -1;
    int dropped_ = 0;
    qint64 dropLoggedMs_ = -1;
};

}  // namespace qm25::gateway
