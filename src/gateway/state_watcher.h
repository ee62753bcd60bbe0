#pragma once
// The projector's state as the gateway knows it, one copy for every front
// door (the web page and API, MQTT, the metrics, PJLink notifications):
// the line, the last value of each watched status read with its age, the
// freeze as last set through the gateway, and the outcome of the last
// command a front door ran by name.
//
// It learns from every exchange on the queue, whoever asked: a status read
// that any client runs is news for free, and a command that changes what a
// read shows (power, input, mute, no show) is followed by that one read.
// Besides, while anyone watches, it reads the whole set every poll period,
// and every few seconds while the power is counting down or cooling, so
// that the line carries one round of reads per period however many front
// doors watch.
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>
#include <array>
#include <functional>
#include <optional>
#include <vector>

#include "core/outcome.h"

namespace qm25::gateway {

class ExchangeQueue;

class StateWatcher : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultPollSeconds = 30;
    // The poll period while the power is counting down or cooling.
    static constexpr int kSettlingPollMs = 2000;
    // The reads it watches, in the order a round sends them.
    static constexpr std::array kReadings{Reading::Power, Reading::Input, Reading::LampHours, Reading::Temperatures,
                                          Reading::MuteSignal};

    StateWatcher(ExchangeQueue *queue, int pollMs, QObject *parent = nullptr);
    ~StateWatcher() override;

    // A front door starts or stops watching; the poll runs while at least
    // one watches.
    void watch();
    void unwatch();
    bool polling() const { return poll_.isActive(); }
    int pollMs() const { return pollMs_; }

    // Reads the whole set now, unless a round is on its way (then once more after it).
    void refresh();
    // Calls back once a round has been read after this call, or at once
    // when the last round is at most maxAgeMs old.
    void whenFresh(int maxAgeMs, std::function<void()> done);
    // A front door ran a command by name: its outcome is the state's "last".
    void commandDone(const Result &result);

    // The line has opened, or is down (not open yet, or lost).
    void lineOpened();
    void lineDown(const QString &why);

    bool lineUp() const { return lineUp_; }
    QString lineError() const { return lineError_; }
    // The last value of a watched read; nothing before the first, or when
    // its last reply did not read as its kind.
    const std::optional<StatusValue> &value(Reading reading) const;
    // Milliseconds since a watched read last had a reply; -1 before the first.
    qint64 ageMs(Reading reading) const;
    // How the last whole round went; nothing before the first.
    std::optional<Outcome> lastRound() const { return round_; }
    // The freeze as last set through the gateway since the line opened;
    // nothing when it has not been set since (the projector has no read for
    // it). Off while the power is known not to be on: no picture, no freeze.
    std::optional<bool> freeze() const;

    // {"line": "up"|"down", "line_error" (when down), "outcome" (of the last
    //  round; null before the first), "status": {"power": value|null, "input",
    //  "lamp time", "temperatures", "mute"}, "last": outcome object|null}
    QJsonObject snapshot() const;

signals:
    // The snapshot says something new.
    void changed(const QJsonObject &snapshot);
    // A watched read's value is another than before (or it has one now).
    void valueChanged(Reading reading);
    void freezeChanged(std::optional<bool> freeze);

private:
    struct Watched {
        const CommandRow *row = nullptr;
        std::optional<StatusValue> value;
        QElapsedTimer readAt;
    };
    void exchanged(const ExchangeResult &result);
    void record(Watched &w, const ExchangeResult &result);
    void roundDone(const std::vector<ExchangeResult> &results);
    void readSoon(const CommandRow *row);
    void sendNext();
    void setFreeze(std::optional<bool> freeze);
    void schedulePoll(bool afterRound);
    void publish();
    Watched *watchedOf(QByteArrayView frame);

    ExchangeQueue *queue_;
    int client_ = 0;
    int pollMs_;
    int watchers_ = 0;
    QTimer poll_;
    std::array<Watched, kReadings.size()> watched_;
    // A job of the watcher's own on the queue: a whole round, or single reads.
    bool roundInFlight_ = false;
    bool readInFlight_ = false;
    bool roundAgain_ = false;
    std::vector<const CommandRow *> singles_;  // single reads to send, after a command changed what they show
    QElapsedTimer roundAt_;
    std::vector<std::function<void()>> waiting_;  // for the round on its way
    std::vector<std::function<void()>> next_;     // for the round after it
    std::optional<Outcome> round_;
    bool lineUp_ = false;
    QString lineError_;
    std::optional<bool> freeze_;
    QJsonObject last_;
    QJsonObject published_;
};

}  // namespace qm25::gateway
