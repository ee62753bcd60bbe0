#pragma once
// Runs qm25ctl's requests one after another on a line to the projector,
// each a whole exchange, and says how each ended.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <optional>

#include "core/exchange_client.h"
#include "core/outcome.h"
#include "ctl/arguments.h"

namespace qm25::ctl {

// The outcome object, its judging, text and JSON are the core's, shared
// with the gateway's HTTP API.
using qm25::describe;
using qm25::explain;
using qm25::Outcome;
using qm25::outcomeName;
using qm25::Result;
using qm25::toJson;

// The program's exit status for an outcome; 2 is kept for usage errors.
int exitStatus(Outcome outcome);

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
