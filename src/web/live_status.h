#pragma once
// The projector's status as the web panel shows it: one set of reads
// (power, input, lamp time, temperatures, mute) shared by every viewer and
// every GET /api/status, made every few seconds while someone watches,
// after each command sent from the web, and when asked for a fresh one;
// never one set per viewer.
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>
#include <vector>

#include "core/outcome.h"

namespace qm25::gateway {
class ExchangeQueue;
class LineKeeper;
}  // namespace qm25::gateway

namespace qm25::web {

class LiveStatus : public QObject {
    Q_OBJECT
public:
    // How often the status is read while someone watches.
    static constexpr int kPollMs = 2000;

    LiveStatus(gateway::ExchangeQueue *queue, gateway::LineKeeper *keeper, QObject *parent = nullptr);
    ~LiveStatus() override;

    // Someone watches (the polls run) or nobody does (they stop).
    void setWatched(bool watched);
    // Reads the status now, unless a read is on its way.
    void refresh();
    // Calls back once the status has been read after this call, or at once
    // when the last reading is at most maxAgeMs old.
    void whenFresh(int maxAgeMs, std::function<void()> done);
    // A command sent from the web has ended: it is shown to every viewer,
    // and the status read again.
    void commandDone(const Result &result);

    // {"line": "up"|"down", "line_error", "outcome" (of the last reading; null before the first),
    //  "status": {"power": value|null, "input", "lamp time", "temperatures", "mute"},
    //  "last": the last web command's outcome object|null}
    QJsonObject snapshot() const;
    // How the last reading went (a port error before the first).
    Outcome lastReading() const { return reading_.value_or(Outcome::PortError); }

signals:
    // The snapshot says something new.
    void changed(const QJsonObject &snapshot);

private:
    void readDone(const std::vector<ExchangeResult> &results);
    void publish();

    gateway::ExchangeQueue *queue_;
    gateway::LineKeeper *keeper_;
    int client_ = 0;
    QTimer poll_;
    bool inFlight_ = false;
    bool again_ = false;  // asked for while a read was on its way
    QElapsedTimer readAt_;
    std::vector<std::function<void()>> waiting_;  // for the read on its way
    std::vector<std::function<void()>> next_;     // for the read after it
    QJsonObject status_;
    std::optional<Outcome> reading_;  // none before the first reading
    bool lineUp_ = false;
    QString lineError_;
    QJsonObject last_;
    QJsonObject published_;
};

}  // namespace qm25::web
