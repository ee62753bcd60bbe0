#pragma once
// One connection to an MQTT broker through libmosquitto, driven by Qt's
// event loop: its socket watched with QSocketNotifier, its keep-alive on a
// timer, no thread of its own. It connects in the background, and while the
// broker cannot be reached, or goes away, tries again after 1 s, 2 s, 4 s
// ... at most every 30 s. It says once that the broker cannot be had, and
// again only when the broker refuses it for another reason (its login, its
// certificate), until the connection works again.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <set>

#include "mqtt/topics.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
class QSocketNotifier;

namespace qm25::mqtt {

class BrokerLink : public QObject {
    Q_OBJECT
public:
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kMaxRetryMs = 30000;
    static constexpr int kKeepAliveSeconds = 30;
    // How long a broker may take to accept the connection (TCP, TLS, CONNACK).
    static constexpr int kAnswerMs = 10000;

    struct Settings {
        BrokerAddress broker;
        QString clientId;
        QString user;
        QByteArray password;
        QString caFile;       // empty: the system's certificate authorities
        QString willTopic;    // empty: no last will
        QByteArray willPayload;
    };

    explicit BrokerLink(Settings settings, QObject *parent = nullptr);
    ~BrokerLink() override;

    // Checks the settings (a CA file that cannot be read, ...) and starts
    // connecting; false, with *error, when it cannot start at all.
    bool start(QString *error);
    bool isConnected() const { return connected_; }

    // At QoS 1. Nothing is sent, or kept for later, while not connected:
    // false then. `correlation`, where given, goes with it (MQTT 5).
    bool publish(const QString &topic, const QByteArray &payload, bool retain, const QByteArray &correlation = {});
    // At QoS 1; without `retained`, what the broker keeps under the filters
    // is not sent at the subscription (MQTT 5).
    bool subscribe(const QStringList &filters, bool retained = true);
    // QoS 1 messages published and not yet acknowledged by the broker.
    int unacknowledged() const { return int(unacknowledged_.size()); }

    // Ends the connection, the bytes waiting for the broker sent first
    // (bounded: 1 s); with `withWill` the broker publishes the last will as
    // if the gateway had vanished.
    void stop(bool withWill);

signals:
    void connected();
    void disconnected();
    // Something about the connection worth a line in the log, once per cause.
    void trouble(const QString &text);
    void message(const QString &topic, const QByteArray &payload, const QString &responseTopic,
                 const QByteArray &correlation);
    void acknowledged();  // a QoS 1 publication was acknowledged

private:
    static void onConnect(mosquitto *, void *self, int rc, int flags, const mqtt5__property *props);
    static void onDisconnect(mosquitto *, void *self, int rc, const mqtt5__property *props);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *m, const mqtt5__property *props);
    static void onPublish(mosquitto *, void *self, int mid, int rc, const mqtt5__property *props);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    void connectNow();
    // Why an attempt failed or the connection ended, from the library's code.
    QString causeOf(int rc, int error) const;
    void failed(const QString &why, bool lost);
    // After every call into the library: watch the socket it has now, for
    // writing only while it has bytes to send.
    void syncSocket();
    void readable();
    void writable();
    void afterLoop(int rc);
    void unwatch();

    Settings settings_;
    mosquitto *mosq_ = nullptr;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> reader_, writer_;
    QTimer housekeeping_;
    QTimer retry_;
    QTimer answer_;
    int retryMs_ = kFirstRetryMs;
    bool connected_ = false;
    bool stopping_ = false;
    int disconnects_ = 0, disconnectsSeen_ = 0;  // the library's disconnect calls, and those handled
    QString refusal_;    // from the CONNACK, for the disconnect that follows
    QString libError_;   // the library's last error line (TLS)
    QString reported_;   // the trouble last told, since the last connection
    std::set<int> unacknowledged_;
};

}  // namespace qm25::mqtt
