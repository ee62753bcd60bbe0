#pragma once
// How one request to the projector ended, judged from its exchange: the
// outcome object that qm25ctl prints and the gateway's HTTP API answers
// with, its text for a person and its JSON.
#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

#include "core/catalogue.h"
#include "core/exchange_client.h"
#include "core/status.h"

namespace qm25 {

enum class Outcome {
    Ok,           // ACK to an action, data to a read (and, for power on/off, the power reached)
    NotAccepted,  // any other reply
    NoReply,      // nothing complete within the reply time-out
    NotReached,   // power on/off accepted, the power did not get there within the wait
    PortError,    // the port could not be opened, or went away
    Unreadable,   // a status read answered with data that does not read as its kind: a port that is no projector's
};

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

// Whether the projector's answer is the one a command succeeds with: ACK
// for an action or a setting, data for a status read. A code the catalogue
// does not know (`row` null) succeeds with either.
bool succeeds(const CommandRow *row, ExchangeResult::Outcome outcome);

// Fills in what the exchange's answer says: reply, rendered, outcome,
// error, and for a status read that succeeded, decoded and value. `row` is
// the command's catalogue row, null for a code the catalogue does not know.
void judge(const CommandRow *row, const ExchangeResult &answer, Result &result);

// Milliseconds to 0.1 ms, as `ms` holds them.
inline double tenthsOfMs(qint64 ns) { return double(ns / 100'000) / 10.0; }

// One line of text for a person: "power: Stand by", "lamp time: 12345 h",
// "input pc2: not accepted ...". Successes belong on standard output, the
// rest on standard error.
QString describe(const Result &result);
// The same without the command's name.
QString explain(const Result &result);
// name, frame, reply, rendered, decoded, value, outcome, ms; error when there is one.
QJsonObject toJson(const Result &result);

}  // namespace qm25
