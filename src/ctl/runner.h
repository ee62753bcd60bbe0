#pragma once
// Runs qm25ctl's requests one after another on a line to the projector,
// each a whole exchange, and says how each ended.
#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <optional>

#include "core/exchange_client.h"
#include "core/status.h"
#include "ctl/arguments.h"

namespace qm25::ctl {

enum class Outcome {
    Ok,           // ACK to an action, data to a read (and, for power on/off, the power reached)
    NotAccepted,  // any other reply
    NoReply,      // nothing complete within the reply time-out
    NotReached,   // power on/off accepted, the power did not get there within the wait
    PortError,    // the port could not be opened, or went away
};

// The program's exit status for an outcome; 2 is kept for usage errors.
int exitStatus(Outcome outcome);
QString outcomeName(Outcome outcome);

struct Result {
    QString name;
    QByteArray frame;   // as sent, CR included
    QByteArray reply;   // as received up to its CR, or the part that came
    QString rendered;   // as the RXD line shows it; " X X X X" for no reply
    QString decoded;    // as the STATUS line shows it, for data replies; the
                        // last power read after a power on/off wait
    std::optional<StatusValue> value;  // what a status read says; the last power read after a wait
    Outcome outcome = Outcome::PortError;
    double ms = 0;      // send to outcome, the wait included, to 0.1 ms
    int timeoutMs = 0;  // the reply time-out it had
    QString error;      // why the port failed, or what the power wait met
};

// One line of text for a person: "power: Stand by", "lamp time: 12345 h",
// "input pc2: not accepted ...". Successes belong on standard output, the
// rest on standard error.
QString describe(const Result &result);
// The same without the command's name.
QString explain(const Result &result);
// name, frame, reply, rendered, decoded, value, outcome, ms; error when there is one.
QJsonObject toJson(const Result &result);

class Runner : public QObject {
    Q_OBJECT
public:
    // timeoutMs 0: each command's own; waitMs: bound of the power wait.
    Runner(Line *line, int timeoutMs, int waitMs, QObject *parent = nullptr);

    // Sends the request and returns once its outcome is known. Runs the
    // event loop meanwhile.
    Result run(const Request &request);

    // Pause between two power reads of a wait.
    static constexpr int kPollMs = 500;

private:
    void exchange(const Request &request, Result &result);
    void waitForPower(const Request &request, Result &result);
    void pause(int ms);

    ExchangeClient client_;
    int timeoutMs_;
    int waitMs_;
};

}  // namespace qm25::ctl
