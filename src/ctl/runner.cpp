#include "ctl/runner.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonValue>
#include <QTimer>

#include "core/render.h"

namespace qm25::ctl {
namespace {

using Exchanged = ExchangeResult::Outcome;

QString label(const Result &r)
{
    return r.name == QLatin1String("send") ? r.name + QLatin1Char(' ') + QString::fromLatin1(r.frame.chopped(1))
                                            : r.name;
}

// Whether the projector's answer is the one the request succeeds with: ACK
// for an action or a setting, data for a status read. A typed code the
// catalogue does not know succeeds with either.
bool succeeds(const Request &request, Exchanged outcome)
{
    if (outcome != Exchanged::Ack && outcome != Exchanged::Data)
        return false;
    if (!request.row)
        return true;
    return (outcome == Exchanged::Data) == request.row->isStatusRead();
}

}  // namespace

int exitStatus(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok: return 0;
    case Outcome::NotAccepted: return 1;
    case Outcome::NoReply: return 3;
    case Outcome::PortError: return 4;
    case Outcome::NotReached: return 5;
    }
    return 4;
}

QString outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok: return QStringLiteral("ok");
    case Outcome::NotAccepted: return QStringLiteral("not-accepted");
    case Outcome::NoReply: return QStringLiteral("no-reply");
    case Outcome::NotReached: return QStringLiteral("not-reached");
    case Outcome::PortError: return QStringLiteral("port-error");
    }
    return {};
}

QString describe(const Result &r) { return label(r) + QLatin1String(": ") + explain(r); }

QString explain(const Result &r)
{
    if (!r.error.isEmpty())
        return r.error;
    const QByteArray body = r.reply.endsWith(kCr) ? r.reply.chopped(1) : r.reply;
    const bool acknowledged = r.reply == QByteArrayView(kAckReply.data(), qsizetype(kAckReply.size()));
    switch (r.outcome) {
    case Outcome::Ok:
        if (acknowledged)
            return r.value ? QLatin1String("accepted; ") + plainText(*r.value) : QStringLiteral("accepted");
        return r.value ? plainText(*r.value) : r.rendered.trimmed();
    case Outcome::NotAccepted: {
        QString text = QStringLiteral("not accepted, reply \"%1\"").arg(r.rendered);
        if (r.reply == QByteArrayView(kNakReply.data(), qsizetype(kNakReply.size())))
            text += QLatin1String(" (refused in the projector's present state)");
        else if (r.reply == QByteArrayView(kErrReply.data(), qsizetype(kErrReply.size())))
            text += QLatin1String(" (a code the projector does not know)");
        return text;
    }
    case Outcome::NoReply:
        if (body.isEmpty())
            return QStringLiteral("no reply within %1 ms").arg(r.timeoutMs);
        return QStringLiteral("no complete reply within %1 ms, got \"%2\"").arg(r.timeoutMs).arg(r.rendered);
    case Outcome::NotReached:
        return QStringLiteral("accepted, but the power reads \"%1\" (waited %2 s)")
            .arg(r.value ? plainText(*r.value) : r.decoded.trimmed(), QString::number(r.ms / 1000.0, 'f', 1));
    case Outcome::PortError:
        break;
    }
    return r.error;
}

QJsonObject toJson(const Result &r)
{
    QJsonObject o{
        {"name", r.name},
        {"frame", QString::fromLatin1(r.frame)},
        {"reply", QString::fromLatin1(r.reply)},
        {"rendered", r.rendered},
        {"decoded", r.decoded},
        {"value", r.value ? QJsonValue(qm25::toJson(*r.value)) : QJsonValue(QJsonValue::Null)},
        {"outcome", outcomeName(r.outcome)},
        {"ms", r.ms},
    };
    if (!r.error.isEmpty())
        o.insert(QStringLiteral("error"), r.error);
    return o;
}

Runner::Runner(Line *line, int timeoutMs, int waitMs, QObject *parent)
    : QObject(parent), client_(line), timeoutMs_(timeoutMs), waitMs_(waitMs)
{
}

Result Runner::run(const Request &request)
{
    QElapsedTimer clock;
    clock.start();
    Result result;
    result.name = request.name();
    result.frame = request.frame();
    result.timeoutMs = timeoutMs_ > 0 ? timeoutMs_ : request.timeoutMs();
    exchange(request, result);
    const PowerPhase target = request.row && !request.isTyped() ? request.row->leadsTo : PowerPhase::None;
    if (target != PowerPhase::None && result.outcome == Outcome::Ok && waitMs_ > 0)
        waitForPower(request, result);
    result.ms = double(clock.nsecsElapsed() / 100'000) / 10.0;
    return result;
}

void Runner::exchange(const Request &request, Result &result)
{
    const ExchangeResult answer = client_.run(result.frame, result.timeoutMs);
    result.reply = answer.reply;
    switch (answer.outcome) {
    case Exchanged::Lost:
        result.outcome = Outcome::PortError;
        result.error = answer.why;
        return;
    case Exchanged::NoReply:
        result.outcome = Outcome::NoReply;
        result.rendered = answer.reply.isEmpty() ? kNoReplyText : renderText(QString::fromLatin1(answer.reply));
        return;
    default:
        break;
    }
    const QString received = QString::fromLatin1(answer.reply);
    result.rendered = renderText(received);
    result.outcome = succeeds(request, answer.outcome) ? Outcome::Ok : Outcome::NotAccepted;
    if (result.outcome != Outcome::Ok || !request.row || !request.row->isStatusRead())
        return;
    const Reading reading = request.row->reading;
    result.decoded = statusLine(reading, received, result.rendered).value_or(QString());
    result.value = readStatus(reading, received);
}

// The power is read until it shows the state the command leads to. Power
// fail ends the wait at once: the projector will not get there by itself.
void Runner::waitForPower(const Request &request, Result &result)
{
    QElapsedTimer waited;
    waited.start();
    const Request read{&command("power"), false, {}};
    for (;;) {
        Result poll;
        poll.name = read.name();
        poll.frame = read.frame();
        poll.timeoutMs = timeoutMs_ > 0 ? timeoutMs_ : read.timeoutMs();
        exchange(read, poll);
        if (poll.outcome != Outcome::Ok) {
            result.outcome = poll.outcome;
            result.error = poll.outcome == Outcome::PortError
                ? poll.error
                : QStringLiteral("accepted, then the power read got %1").arg(explain(poll));
            return;
        }
        result.decoded = poll.decoded;
        result.value = poll.value;
        const auto *power = poll.value ? std::get_if<PowerStatus>(&*poll.value) : nullptr;
        const PowerPhase phase = power ? power->phase : PowerPhase::None;
        if (phase == request.row->leadsTo)
            return;
        if (phase == PowerPhase::Fail || waited.elapsed() + kPollMs > waitMs_) {
            result.outcome = Outcome::NotReached;
            return;
        }
        pause(kPollMs);
    }
}

void Runner::pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace qm25::ctl
