#include "core/exchange_client.h"

#include <QEventLoop>
#include <QMetaObject>
#include <algorithm>

#include "core/protocol.h"

namespace qm25 {

ExchangeClient::ExchangeClient(Line *line, QObject *parent) : QObject(parent), line_(line)
{
    timeOut_.setSingleShot(true);
    timeOut_.setTimerType(Qt::PreciseTimer);
    connect(&timeOut_, &QTimer::timeout, this, [this] { finish(ExchangeResult::Outcome::NoReply); });
    if (!line)
        return;
    connect(line, &Line::received, this, &ExchangeClient::received);
    // Also between two exchanges: the next one then ends at once.
    connect(line, &Line::lost, this, [this](const QString &why) {
        lostWhy_ = why;
        // A reply complete before the loss still counts: it has ended
        // already. The loss may show within the write that starts an
        // exchange, so its outcome, like every other, comes from the loop.
        if (busy_ && timeOut_.isActive()) {
            timeOut_.stop();
            QMetaObject::invokeMethod(
                this, [this, why] { finish(ExchangeResult::Outcome::Lost, why); }, Qt::QueuedConnection);
        }
    });
}

bool ExchangeClient::start(const QByteArray &frame, int timeoutMs)
{
    if (busy_)
        return false;
    busy_ = true;
    current_ = ExchangeResult{};
    current_.frame = frame;
    clock_.start();
    if (!line_ || isLost()) {
        const QString why = line_ ? lostWhy_ : QStringLiteral("no line");
        // Reported from the event loop, as every outcome is.
        QMetaObject::invokeMethod(
            this, [this, why] { finish(ExchangeResult::Outcome::Lost, why); }, Qt::QueuedConnection);
        return true;
    }
    // Whatever came before the frame answers something else.
    line_->discardInput();
    QString why;
    if (!line_->write(frame, &why)) {
        QMetaObject::invokeMethod(
            this, [this, why] { finish(ExchangeResult::Outcome::Lost, isLost() ? lostWhy_ : why); },
            Qt::QueuedConnection);
        return true;
    }
    timeOut_.start(timeoutMs);
    return true;
}

ExchangeResult ExchangeClient::run(const QByteArray &frame, int timeoutMs)
{
    ExchangeResult result;
    QEventLoop loop;
    const auto done = connect(this, &ExchangeClient::finished, &loop, [&](const ExchangeResult &r) {
        result = r;
        loop.quit();
    });
    if (start(frame, timeoutMs))
        loop.exec();
    else
        result.why = QStringLiteral("another exchange is running");
    disconnect(done);
    return result;
}

void ExchangeClient::received(const QByteArray &bytes)
{
    if (!busy_ || !timeOut_.isActive())
        return;  // between exchanges, or after this one's outcome
    const qsizetype cr = bytes.indexOf(kCr);
    const QByteArray piece = cr < 0 ? bytes : bytes.left(cr + 1);
    const qsizetype room = kReplyCap - current_.reply.size();
    current_.reply += piece.left(std::max<qsizetype>(room, 0));
    if (cr < 0)
        return;
    // A reply that outgrew the cap has lost its middle: it is no answer.
    if (room < piece.size()) {
        finish(ExchangeResult::Outcome::NoReply);
        return;
    }
    const std::string_view reply(current_.reply.constData(), std::size_t(current_.reply.size()));
    if (reply == kAckReply)
        finish(ExchangeResult::Outcome::Ack);
    else if (reply == kNakReply)
        finish(ExchangeResult::Outcome::Nak);
    else if (reply == kErrReply)
        finish(ExchangeResult::Outcome::Unknown);
    else
        finish(ExchangeResult::Outcome::Data);
}

void ExchangeClient::finish(ExchangeResult::Outcome outcome, const QString &why)
{
    if (!busy_)
        return;
    timeOut_.stop();
    busy_ = false;
    current_.outcome = outcome;
    current_.why = why;
    current_.elapsedNs = clock_.nsecsElapsed();
    const ExchangeResult result = std::move(current_);
    current_ = ExchangeResult{};
    emit finished(result);
}

}  // namespace qm25
