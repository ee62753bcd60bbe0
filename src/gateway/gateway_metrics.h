#pragma once
// What qm25d tells a monitoring system (Prometheus) about the projector and
// about itself: the registry of its counters, gauges and the exchange
// histogram, and the text a scrape gets, in Prometheus's text exposition
// format 0.0.4.
//
// The projector's values come from the state watcher alone; the counting
// comes from the queue (every exchange) and from the front doors, which
// report a refused request, a failed authentication and how many clients
// they hold. A scrape reads nothing from the projector: it serves the last
// readings with their age, and keeps the watcher polling for a while, as a
// watcher of its own.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <vector>

namespace qm25 {
struct ExchangeResult;
}

namespace qm25::gateway {

class ExchangeQueue;
class StateWatcher;

// --- the exposition text, as pure values -------------------------------------

struct MetricSample {
    QByteArray suffix;                          // "_bucket", "_sum", "_count"; empty for the family's own name
    QList<QPair<QByteArray, QString>> labels;   // in the order written
    double value = 0;
};

struct MetricFamily {
    enum class Type { Counter, Gauge, Histogram };
    QByteArray name;
    QString help;
    Type type = Type::Gauge;
    std::vector<MetricSample> samples;
};

// Observations counted into buckets by their upper bounds (ascending).
class Histogram {
public:
    explicit Histogram(std::vector<double> bounds);
    void observe(double value);
    // Its samples: one cumulative _bucket per bound and "+Inf", _sum, _count.
    void addTo(MetricFamily &family) const;

private:
    std::vector<double> bounds_;
    std::vector<quint64> counts_;  // per bucket, not cumulative; the last one above every bound
    double sum_ = 0;
};

// The families as Prometheus's text format 0.0.4: HELP and TYPE once per
// family, then its samples; label values and help texts escaped.
QByteArray exposition(const std::vector<MetricFamily> &families);

// The content type a scrape is answered with.
inline constexpr char kExpositionType[] = "text/plain; version=0.0.4; charset=utf-8";

// --- the gateway's registry -----------------------------------------------------

// The ways into the gateway, as the metrics' "front_door" label names them.
enum class FrontDoor { Pjlink, Raw, Web, Live, Metrics, Mqtt, Panel };
inline constexpr int kFrontDoors = 7;

// Why a request or connection was refused, as the "reason" label names it.
enum class RefusalReason {
    Malformed,           // bytes that are not the protocol (or too long a PJLink request)
    TooLarge,            // over a size bound (head, path, body, raw frame)
    TooSlow,             // not whole within the request's time limit, or a live connection that takes nothing
    TooManyConnections,  // over a connection bound
    LineDown,            // a raw connection while the line is down
    NoPassword,          // no password given where one is needed
    Throttled,           // too many wrong passwords lately
    Forbidden,           // from another site's page, or a host name that is no address
    Busy,                // a client's queue of commands is full, or a command dropped for it
};
inline constexpr int kRefusalReasons = 9;

QByteArray frontDoorName(FrontDoor door);
QByteArray refusalReasonName(RefusalReason reason);

class GatewayMetrics : public QObject {
    Q_OBJECT
public:
    // The exchange histogram's upper bounds, in seconds: a frame and its
    // reply at 19200 baud take a few ms, the longest reply time-out 5 s.
    static constexpr std::array kDurationBounds{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0};

    // How long a scrape keeps the watcher watching: three poll periods, at
    // least two minutes, so that a scrape every minute or so keeps the
    // readings fresh.
    static int holdFor(int pollMs) { return std::max(3 * pollMs, 120000); }

    // `holdMs`: how long after a scrape it keeps watching the projector.
    GatewayMetrics(ExchangeQueue *queue, StateWatcher *watcher, int holdMs, QObject *parent = nullptr);
    ~GatewayMetrics() override;

    // What the front doors report: a request or connection refused, a
    // wrong password. The MQTT front door reports a message that names no
    // command as Malformed and a command dropped for a full queue as Busy.
    void refused(FrontDoor door, RefusalReason reason);
    void authFailed(FrontDoor door);
    // How many clients a front door holds now, asked at each scrape (for
    // MQTT: 1 while connected to the broker); an empty function takes it
    // back (the door has closed).
    void countClients(FrontDoor door, std::function<int()> count);
    // The line, open before, was lost.
    void lineLost() { ++lineLosses_; }

    // A scrape's answer. The watcher polls from now until holdMs after the
    // last scrape.
    QByteArray scrape();
    bool holding() const { return hold_.isActive(); }
    std::vector<MetricFamily> families() const;

private:
    void exchanged(const ExchangeResult &result);

    ExchangeQueue *queue_;
    StateWatcher *watcher_;
    QTimer hold_;
    std::array<quint64, 6> exchanges_{};  // by ExchangeResult::Outcome
    Histogram durations_;
    quint64 lineLosses_ = 0;
    std::array<std::function<int()>, kFrontDoors> clients_;
    std::map<std::pair<FrontDoor, RefusalReason>, quint64> refusals_;
    std::array<quint64, kFrontDoors> authFailures_{};
    double startTime_ = 0;
};

}  // namespace qm25::gateway
