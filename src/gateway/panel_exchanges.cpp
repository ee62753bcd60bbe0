#include "gateway/panel_exchanges.h"

#include "gateway/exchange_queue.h"

#include <utility>

namespace qm25::gateway {

class PanelExchanges::QueueLine : public Line {
public:
    QueueLine(PanelExchanges *owner) : Line(owner), owner_(owner) {}
    bool write(const QByteArray &bytes, QString *why) override { return owner_->put(bytes, why); }

private:
    PanelExchanges *owner_;
};

PanelExchanges::PanelExchanges(ExchangeQueue *queue, const QString &label, QObject *parent)
    : QObject(parent), queue_(queue), client_(queue->addClient(label)), line_(new QueueLine(this))
{
    engine_.setLine(line_);
}

PanelExchanges::~PanelExchanges() { end(); }

void PanelExchanges::end()
{
    engine_.stop();
    if (client_)
        queue_->removeClient(std::exchange(client_, 0));
}

bool PanelExchanges::put(const QByteArray &frame, QString *why)
{
    const CommandRow *held = engine_.state().held;
    if (held && inFlight_ >= kHeldInFlight && frame == held->frame()) {
        *why = QStringLiteral("the line is still busy with the last %1 frames").arg(inFlight_);
        return false;
    }
    // The engine has set the reply time-out of this frame before writing it.
    const int timeoutMs = engine_.replyTimer()->interval();
    const bool queued = queue_->enqueue(client_, {{frame, timeoutMs}}, [this](std::vector<ExchangeResult> results) {
        --inFlight_;
        if (results.empty())
            return;
        const ExchangeResult &r = results.front();
        if (r.outcome == ExchangeResult::Outcome::Lost) {
            engine_.showNote(QStringLiteral(" Not sent: %1").arg(r.why));
            if (engine_.state().held)
                emit line_->lost(r.why);
        } else if (!r.reply.isEmpty()) {
            emit line_->received(r.reply);
        }
    });
    if (!queued) {
        *why = QStringLiteral("%1 commands of this panel wait for the line already").arg(inFlight_);
        return false;
    }
    ++inFlight_;
    return true;
}

}  // namespace qm25::gateway
