#pragma once
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <functional>
#include <vector>

#include "gateway/exchange_queue.h"
#include "gateway/gateway_metrics.h"
#include "gateway/line_keeper.h"
#include "gateway/options.h"
#include "gateway/password_throttle.h"
#include "gateway/pjlink_udp.h"
#include "gateway/state_watcher.h"

namespace qm25::gateway {

class Session;

// PJLink connections at once; the next is closed as soon as it is accepted,
// before any greeting.
inline constexpr int kMaxPjlinkClients = 64;
// Raw exchange connections at once, the same way.
inline constexpr int kMaxRawClients = 16;

// qm25d: the line, the queue of exchanges on it, the PJLink and raw servers,
// and PJLink's search and notifications.
class Gateway : public QObject {
    Q_OBJECT
public:
    using Logger = std::function<void(const QString &line)>;

    Gateway(const Options &options, const QByteArray &password, Logger logger, QObject *parent = nullptr);
    ~Gateway() override;

    // Listens on the ports and starts holding the line. False, with *error,
    // when a port cannot be listened on.
    bool start(QString *error);

    // For the other front doors (the web panel), which share the line.
    ExchangeQueue *queue() { return &queue_; }
    LineKeeper *keeper() { return &keeper_; }
    // Wrong passwords per client address, PJLink's and the web's together.
    PasswordThrottle *throttle() { return &throttle_; }
    StateWatcher *watcher() { return &watcher_; }
    GatewayMetrics *metrics() { return &metrics_; }

private:
    void log(const QString &line, bool verboseOnly = false);
    void accept(QTcpServer &server, bool pjlink);
    static DeviceChoice chooseDevice(const Options &options);

    Options options_;
    QByteArray password_;
    Logger logger_;
    LineKeeper keeper_;
    ExchangeQueue queue_;
    PasswordThrottle throttle_;
    StateWatcher watcher_;
    GatewayMetrics metrics_;
    PjlinkUdp udp_;
    QTcpServer pjlinkServer_;
    QTcpServer rawServer_;
    std::vector<Session *> pjlinkSessions_;
    std::vector<Session *> rawSessions_;
};

}  // namespace qm25::gateway
