#pragma once
// qm25d's MQTT front door: the gateway as one device on a broker, beside
// PJLink, raw and HTTP, on the same queue of exchanges and the same watcher
// of the projector's state. It publishes what the watcher knows (never a
// read of its own), runs the commands it is sent as one client of the queue,
// and offers Home Assistant its discovery configurations. The topics and
// payloads are made in topics.h.
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <map>
#include <optional>

#include "gateway/gateway_metrics.h"
#include "mqtt/broker_link.h"
#include "mqtt/topics.h"

namespace qm25::gateway {
class ExchangeQueue;
class StateWatcher;
struct Options;
}  // namespace qm25::gateway

namespace qm25::mqtt {

struct DoorSettings {
    BrokerAddress broker;
    QString user;
    QByteArray password;  // null: none
    QString caFile;
    QString base = QStringLiteral("qm25");
    QStringList groups;   // besides "all"
    bool discovery = true;
    QString discoveryPrefix = QStringLiteral("homeassistant");
    DeviceInfo device;    // its name gives the id
};

class MqttDoor : public QObject {
    Q_OBJECT
public:
    using Logger = std::function<void(const QString &line, bool verboseOnly)>;

    MqttDoor(gateway::ExchangeQueue *queue, gateway::StateWatcher *watcher, DoorSettings settings, Logger logger,
             QObject *parent = nullptr);
    // A clean stop: the broker is told the gateway is offline.
    ~MqttDoor() override;

    // Starts connecting; false, with *error, when it cannot start at all.
    bool start(QString *error);
    const Topics &topics() const { return topics_; }
    bool connected() const { return link_.isConnected(); }

signals:
    // For the metrics: a message that names no command (Malformed), a
    // command dropped for a full queue (Busy).
    void refused(gateway::RefusalReason reason);

private:
    void online();
    void offline();
    void publishState();
    void received(const QString &topic, const QByteArray &payload, const QString &responseTopic,
                  const QByteArray &correlation);
    void answer(const QByteArray &payload, const QString &responseTopic, const QByteArray &correlation);

    gateway::ExchangeQueue *queue_;
    gateway::StateWatcher *watcher_;
    DoorSettings settings_;
    Logger logger_;
    Topics topics_;
    BrokerLink link_;
    int client_ = 0;
    bool watching_ = false;
    std::map<QString, QByteArray> published_;  // the retained values as last published
    quint64 dropped_ = 0;  // commands dropped: the queue held the most it takes from one client
    quint64 droppedLogged_ = 0;
    QTimer dropReport_;
};

// --mqtt-forget: removes what the gateway left on the broker (its discovery
// configurations, state, values and availability, by publishing them empty
// and retained), then disconnects. Runs its own event loop; false, with
// *error, when the broker could not be reached or did not acknowledge
// within 10 s.
bool forgetOnBroker(const DoorSettings &settings, QString *error);

// The front door's settings from qm25d's options (its password file read);
// nothing, with *error, when they do not make a broker and a login.
// *warning: a password file others may read, or a broker beyond loopback
// reached without a login or in the clear.
std::optional<DoorSettings> doorSettings(const gateway::Options &options, const QString &version,
                                         const QString &configurationUrl, QString *error, QString *warning);

BrokerLink::Settings linkSettings(const DoorSettings &settings, const Topics &topics, bool withWill);
Topics topicsOf(const DoorSettings &settings);

}  // namespace qm25::mqtt
