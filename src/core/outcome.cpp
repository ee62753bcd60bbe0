#include "core/outcome.h"

#include <QJsonValue>

#include "core/render.h"

namespace qm25 {
namespace {

using Exchanged = ExchangeResult::Outcome;

QString label(const Result &r)
{
    return r.name == QLatin1String("send") ? r.name + QLatin1Char(' ') + QString::fromLatin1(r.frame.chopped(1))
                                            : r.name;
}

}  // namespace

QString outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok: return QStringLiteral("ok");
    case Outcome::NotAccepted: return QStringLiteral("not-accepted");
    case Outcome::NoReply: return QStringLiteral("no-reply");
    case Outcome::NotReached: return QStringLiteral("not-reached");
    case Outcome::PortError: return QStringLiteral("port-error");
    case Outcome::Unreadable: return QStringLiteral("unreadable");
    }
    return {};
}

bool succeeds(const CommandRow *row, Exchanged outcome)
{
    if (outcome != Exchanged::Ack && outcome != Exchanged::Data)
        return false;
    if (!row)
        return true;
    return (outcome == Exchanged::Data) == row->isStatusRead();
}

void judge(const CommandRow *row, const ExchangeResult &answer, Result &result)
{
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
    result.outcome = succeeds(row, answer.outcome) ? Outcome::Ok : Outcome::NotAccepted;
    if (result.outcome != Outcome::Ok || !row || !row->isStatusRead())
        return;
    result.value = readStatus(row->reading, received);
    if (!result.value) {
        result.outcome = Outcome::Unreadable;
        return;
    }
    result.decoded = statusLine(row->reading, received, result.rendered).value_or(QString());
}

QString describe(const Result &r) { return label(r) + QLatin1String(": ") + explain(r); }

QString explain(const Result &r)
{
    if (!r.error.isEmpty())
        return r.error;
    const QByteArray body = r.reply.endsWith(kCr) ? r.reply.chopped(1) : r.reply;
    const bool acknowledged = r.reply == bytes(kAckReply);
    switch (r.outcome) {
    case Outcome::Ok:
        if (acknowledged)
            return r.value ? QLatin1String("accepted; ") + plainText(*r.value) : QStringLiteral("accepted");
        return r.value ? plainText(*r.value) : r.rendered.trimmed();
    case Outcome::NotAccepted: {
        QString text = QStringLiteral("not accepted, reply \"%1\"").arg(r.rendered);
        if (r.reply == bytes(kNakReply))
            text += QLatin1String(" (refused in the projector's present state)");
        else if (r.reply == bytes(kErrReply))
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
    case Outcome::Unreadable:
        // The greeting of a PJLink port: a newcomer's likeliest mistake.
        return QStringLiteral("reply \"%1\" does not read as this status%2").arg(r.rendered, body.startsWith("PJLINK ")
            ? QLatin1String(" (a PJLink port's greeting: qm25d serves this program on its raw port, --raw)")
            : QLatin1String(" (is the port a projector's?)"));
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
        {"value", r.value ? QJsonValue(toJson(*r.value)) : QJsonValue(QJsonValue::Null)},
        {"outcome", outcomeName(r.outcome)},
        {"ms", r.ms},
    };
    if (!r.error.isEmpty())
        o.insert(QStringLiteral("error"), r.error);
    return o;
}

}  // namespace qm25
