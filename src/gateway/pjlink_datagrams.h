#pragma once
// PJLink Class 2 over UDP, as pure functions and bounded tables: what a
// search looks like and what answers it, the link-up and status
// notifications, the limit on answers per source, and the table of
// controllers that notifications go to. No sockets: pjlink_udp.h sends and
// receives them.
#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QString>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "core/status.h"

namespace qm25::pjlink {

// The longest datagram read whole; a longer one is no search.
inline constexpr qsizetype kMaxDatagram = 136;

// "%2SRCH" and CR (an LF after it is allowed, as on TCP).
bool isSearch(QByteArrayView datagram);
// "AA:BB:CC:DD:EE:FF" from an interface's hardware address as the system
// gives it; six zero bytes for an interface without one (loopback).
QByteArray macOf(const QString &hardwareAddress);
// "%2ACKN=" and the MAC address, CR: 25 bytes for a search of 7.
QByteArray searchAnswer(const QByteArray &mac);
// "%2LKUP=" and the MAC address, CR.
QByteArray linkUp(const QByteArray &mac);

// The notifications a reading gives, each as the command it is about and
// the whole line: a power reading "%2POWR=1" and "%2ERST=000000", an input
// "%2INPT=11", mute and signal "%2AVMT=30". None where PJLink has no word
// for the value (power fail gives ERST alone).
std::vector<std::pair<QByteArray, QByteArray>> notificationsOf(const StatusValue &value);

// Answers to one source at most every gapMs, to all sources at most
// perSecond a second; at most maxSources are remembered at once, and while
// that many have had an answer within the gap, a new source gets none.
class SourceLimit {
public:
    SourceLimit(qint64 gapMs, int perSecond, std::size_t maxSources)
        : gapMs_(gapMs), perSecond_(perSecond), maxSources_(maxSources) {}
    bool allow(const QHostAddress &source, qint64 nowMs);
    std::size_t size() const { return last_.size(); }

private:
    qint64 gapMs_;
    int perSecond_;
    std::size_t maxSources_;
    std::map<QString, qint64> last_;  // source: when it last had an answer
    qint64 secondStart_ = -1;
    int inSecond_ = 0;
};

// The controllers that have spoken to the gateway's PJLink port: where
// notifications go. Bounded (the one heard from longest ago makes room for
// a new one) and aged (one not heard from for lifetimeMs is dropped).
struct Controller {
    QHostAddress address;
    QByteArray mac;  // of the gateway's interface it reached
    qint64 seenMs = 0;
};

class ControllerTable {
public:
    static constexpr std::size_t kMax = 16;
    static constexpr qint64 kLifetimeMs = 60 * 60 * 1000;

    // Adds or refreshes a controller.
    void seen(const QHostAddress &address, const QByteArray &mac, qint64 nowMs);
    // Drops those not heard from within the lifetime.
    void age(qint64 nowMs);
    const std::vector<Controller> &all() const { return controllers_; }

private:
    std::vector<Controller> controllers_;
};

}  // namespace qm25::pjlink
