#pragma once
#include <QObject>
#include <QString>

#include "core/exchange_engine.h"

namespace qm25::gateway {

class ExchangeQueue;

// The window's exchanges for a panel that is not on this machine (a
// browser's): the window's own engine, with its display lines, the repeat of
// a held button, the cursor speeds and the display clear, on a line that puts
// each frame the engine writes on the gateway's queue as one job of this
// panel's own client, with the reply time-out in force at the write. The
// reply a job collects comes back to the engine as the bytes received; a job
// that cannot reach the projector says so on the STATUS line, as a send on a
// closed port does in the window, and stops a held button's repeat.
//
// Nothing the engine writes is lost without a word, and nothing is queued
// without bound: a frame the queue has no room for (its jobs per client) is
// not sent, and the STATUS line says why. A held button's repeat does not
// pile frames up behind a slow or busy line either: a repeat goes out only
// while fewer than kHeldInFlight frames of the panel wait for the line or are
// on it; the others are left out, and the STATUS line says so.
class PanelExchanges : public QObject {
    Q_OBJECT
public:
    static constexpr int kHeldInFlight = 2;

    // `label` names the panel in the gateway's log.
    PanelExchanges(ExchangeQueue *queue, const QString &label, QObject *parent = nullptr);
    ~PanelExchanges() override;

    ExchangeEngine &engine() { return engine_; }
    // Frames written and not yet answered (waiting for the line or on it).
    int inFlight() const { return inFlight_; }
    // Stops the engine and drops the frames that wait for the line; one on
    // the line ends unheard. Nothing goes out any more.
    void end();

private:
    class QueueLine;
    bool put(const QByteArray &frame, QString *why);

    ExchangeQueue *queue_;
    int client_;
    QueueLine *line_;
    ExchangeEngine engine_;
    int inFlight_ = 0;
};

}  // namespace qm25::gateway
