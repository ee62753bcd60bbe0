#pragma once
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QElapsedTimer>

#include "core/line.h"

namespace qm25 {

// How one whole exchange ended.
struct ExchangeResult {
    enum class Outcome {
        Ack,      // ACK CR: carried out
        Nak,      // NAK CR: refused in the projector's present state
        Unknown,  // ERR CR: a code the projector does not know
        Data,     // any other reply ended by CR
        NoReply,  // nothing ended by CR within the reply time-out
        Lost,     // the frame could not go out, or the link went
    };
    Outcome outcome = Outcome::Lost;
    QByteArray frame;  // as sent
    QByteArray reply;  // up to and including its CR, or the part that came (at most kReplyCap bytes)
    QString why;       // Lost: why
    qint64 elapsedNs = 0;  // from the send to the outcome

    // The reply without its CR.
    QByteArray body() const { return reply.endsWith('\r') ? reply.chopped(1) : reply; }
};

// Whole exchanges for programs that talk to the projector one command at a
// time: drops whatever waits on the line, sends a frame, collects the reply
// up to its CR (at most kReplyCap bytes; the rest is dropped) or times out,
// and reports the outcome. What the line delivers between exchanges, and
// after a reply's CR, answers nothing that was asked and is dropped.
class ExchangeClient : public QObject {
    Q_OBJECT
public:
    explicit ExchangeClient(Line *line, QObject *parent = nullptr);

    // Starts an exchange; finished() follows, never from within this call.
    // False while another runs.
    bool start(const QByteArray &frame, int timeoutMs);
    // An exchange from start to end, with the event loop running meanwhile.
    ExchangeResult run(const QByteArray &frame, int timeoutMs);

    bool isBusy() const { return busy_; }
    // The line was lost, now or between two exchanges, and why; every later
    // exchange ends Lost at once.
    bool isLost() const { return !lostWhy_.isEmpty(); }
    QString lostWhy() const { return lostWhy_; }
    // The line is back (a program that reconnects): exchanges go out again.
    void lineRestored() { lostWhy_.clear(); }

signals:
    void finished(const ExchangeResult &result);

private:
    void received(const QByteArray &bytes);
    void finish(ExchangeResult::Outcome outcome, const QString &why = {});

    QPointer<Line> line_;
    QTimer timeOut_;
    QElapsedTimer clock_;
    ExchangeResult current_;
    bool busy_ = false;
    QString lostWhy_;
};

}  // namespace qm25
