#pragma once
// What qm25d says on an MQTT broker and what it takes from it, as plain
// functions: the topics of one gateway, the retained values a dashboard
// reads, the command a message asks for, the broker's address, and Home
// Assistant's discovery configurations. The adapter that talks to the broker
// (mqtt_door.h) only sends and receives what these make.
//
//   BASE/ID/state            the status object (retained), as GET /api/status
//   BASE/ID/power ...        one retained topic per value (valueMessages())
//   BASE/ID/availability     "online", or "offline" (the broker's last will)
//   BASE/ID/result           each command's outcome object (not retained)
//   BASE/ID/set/NAME         runs the catalogue's command NAME
//   BASE/group/GROUP/set/NAME   the same for every gateway in GROUP
#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>
#include <vector>

#include "core/catalogue.h"
#include "core/outcome.h"

namespace qm25::mqtt {

// A topic and its payload.
using Message = std::pair<QString, QByteArray>;

// A name made fit for one level of a topic and for the identifiers Home
// Assistant builds from it: letters and digits in lower case, "-" and "_"
// kept, anything else "_". "Room 101" gives "room_101".
QString topicSafe(QStringView name);

struct Topics {
    QString base;  // "qm25"
    QString id;    // topicSafe(--name)
    QStringList groups;  // "all" first

    QString of(QStringView leaf) const { return base + QLatin1Char('/') + id + QLatin1Char('/') + leaf.toString(); }
    QString state() const { return of(u"state"); }
    QString availability() const { return of(u"availability"); }
    QString result() const { return of(u"result"); }
    // What the gateway subscribes to: its own commands and its groups'.
    QStringList commandFilters() const;
};

// What a message on a command topic asks for: a catalogue row, or why not.
struct CommandRequest {
    const CommandRow *row = nullptr;
    QString name;   // the name asked for, as it was understood
    QString error;  // when row is null
};

// The command of a message. The topic's last level is the command's name
// ("BASE/ID/set/power off"); the payload is ignored, except where the name
// and the payload together make a command ("set/power" with "off": what a
// switch or a select in Home Assistant sends).
CommandRequest commandOf(const Topics &topics, QStringView topic, QByteArrayView payload);

// The outcome object of a command run through MQTT: qm25ctl --json's, and
// the gateway it ran on.
QByteArray resultPayload(const Result &result, const QString &id);
// The same for a message that could not be run: outcome "refused" and why.
QByteArray refusalPayload(const QString &name, const QString &why, const QString &id);

// The retained values a dashboard wants, each on its own topic leaf, made
// from the status object (StateWatcher::snapshot()) and the freeze:
//   power          on, standby, count-down, cooling, fail
//   input          pc1, pc2, video, input4
//   lamp_hours     the hours
//   temperature/1..3   degrees Celsius
//   mute           mute-off, video-mute, audio-mute, video-audio-mute, no-signal, standby
//   signal         on, off
//   freeze         on, off (as last set through the gateway)
//   line           up, down
// "unknown" where the value is not known.
std::vector<Message> valueMessages(const QJsonObject &status, std::optional<bool> freeze);

// Where the broker is: mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT]
// (8883, TLS). HOST is a name, an IPv4 address or [an IPv6 address].
struct BrokerAddress {
    QString host;
    int port = 0;
    bool tls = false;
    QString text() const;  // "mqtts://broker:8883"
};
std::optional<BrokerAddress> parseBrokerUrl(QStringView url, QString *error);

// What a broker's refusal of the connection means, from the CONNACK's
// reason code (MQTT 5, or 3.1.1's return codes 1 to 5).
QString refusalReason(int reasonCode);

// Home Assistant's MQTT discovery: one device per gateway, its entities'
// configurations, retained under PREFIX/COMPONENT/NODE/OBJECT/config.
struct DeviceInfo {
    QString name;      // --name
    QString version;   // the gateway's
    QString configurationUrl;  // the web panel, when there is one
};
std::vector<Message> discoveryMessages(const Topics &topics, const QString &prefix, const DeviceInfo &device);

}  // namespace qm25::mqtt
