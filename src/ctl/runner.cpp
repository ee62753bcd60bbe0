#include "ctl/runner.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "core/render.h"
#include "core/status_decode.h"

namespace qm25::ctl {
namespace {

constexpr char kAck = 0x06;
constexpr char kNak = 0x15;

// What a read answers when it has nothing to say: ACK, NAK or ERR.
bool isData(QByteArrayView body)
{
    return !body.isEmpty() && body != QByteArrayView("\x06") && body != QByteArrayView("\x15")
        && body != QByteArrayView("ERR");
}

const Command &powerRead()
{
    for (const Command &c : catalogue())
        if (c.code == QLatin1String("CR0"))
            return c;
    qFatal("no power read in the command table");
}

QString label(const Result &r)
{
    return r.name == QLatin1String("send") ? r.name + QLatin1Char(' ') + QString::fromLatin1(r.frame.chopped(1))
                                            : r.name;
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
    const QByteArray body = r.reply.endsWith('\r') ? r.reply.chopped(1) : r.reply;
    switch (r.outcome) {
    case Outcome::Ok:
        if (!r.decoded.isEmpty() && body == QByteArrayView(&kAck, 1))
            return QLatin1String("accepted; ") + r.decoded.trimmed();
        if (body == QByteArrayView(&kAck, 1))
            return QStringLiteral("accepted");
        return (r.decoded.isEmpty() ? r.rendered : r.decoded).trimmed();
    case Outcome::NotAccepted: {
        QString text = QStringLiteral("not accepted, reply \"%1\"").arg(r.rendered);
        if (body == QByteArrayView(&kNak, 1))
            text += QLatin1String(" (refused in the projector's present state)");
        else if (body == "ERR")
            text += QLatin1String(" (a code the projector does not know)");
        return text;
    }
    case Outcome::NoReply:
        if (r.reply.isEmpty())
            return QStringLiteral("no reply within %1 ms").arg(r.timeoutMs);
        return QStringLiteral("no complete reply within %1 ms, got \"%2\"").arg(r.timeoutMs).arg(r.rendered);
    case Outcome::NotReached:
        return QStringLiteral("accepted, but the power reads \"%1\" (waited %2 s)")
            .arg(r.decoded.trimmed(), QString::number(r.ms / 1000.0, 'f', 1));
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
        {"outcome", outcomeName(r.outcome)},
        {"ms", r.ms},
    };
    if (!r.error.isEmpty())
        o.insert(QStringLiteral("error"), r.error);
    return o;
}

Runner::Runner(Line *line, int timeoutMs, int waitMs, QObject *parent)
    : QObject(parent), line_(line), timeoutMs_(timeoutMs), waitMs_(waitMs)
{
    // Also between two exchanges, in the pause of a power wait.
    if (line)
        connect(line, &Line::lost, this, [this](const QString &why) { lostWhy_ = why; });
}

Result Runner::run(const Command &command)
{
    QElapsedTimer clock;
    clock.start();
    Result result;
    result.name = command.name;
    result.frame = command.code.toLatin1() + '\r';
    result.timeoutMs = timeoutMs_ > 0 ? timeoutMs_ : command.timeoutMs;
    judge(command, ask(result.frame, result.timeoutMs), result);
    if (command.waitFor && result.outcome == Outcome::Ok && waitMs_ > 0)
        waitForPower(command, result);
    result.ms = double(clock.nsecsElapsed() / 100'000) / 10.0;
    return result;
}

void Runner::judge(const Command &command, const Answer &answer, Result &result) const
{
    result.reply = answer.bytes;
    if (!answer.lostWhy.isEmpty()) {
        result.outcome = Outcome::PortError;
        result.error = answer.lostWhy;
        return;
    }
    if (!answer.complete) {
        result.outcome = Outcome::NoReply;
        result.rendered = answer.bytes.isEmpty() ? QStringLiteral(" X X X X") : renderText(QString::fromLatin1(answer.bytes));
        return;
    }
    result.rendered = renderText(QString::fromLatin1(answer.bytes));
    const QByteArray body = answer.bytes.chopped(1);
    const bool ok = command.kind == Kind::Read ? isData(body) : body == QByteArrayView(&kAck, 1);
    result.outcome = ok ? Outcome::Ok : Outcome::NotAccepted;
    if (ok && command.kind == Kind::Read)
        result.decoded = decodeStatus(result.rendered, QString::fromLatin1(result.frame), {}).status.value_or(QString());
}

// The power is read until it shows the state the command leads to. Power
// fail ends the wait at once: the projector will not get there by itself.
void Runner::waitForPower(const Command &command, Result &result)
{
    QElapsedTimer waited;
    waited.start();
    const Command &read = powerRead();
    const QByteArray frame = read.code.toLatin1() + '\r';
    for (;;) {
        Result poll;
        poll.frame = frame;
        poll.timeoutMs = timeoutMs_ > 0 ? timeoutMs_ : read.timeoutMs;
        judge(read, ask(frame, poll.timeoutMs), poll);
        if (poll.outcome != Outcome::Ok) {
            result.outcome = poll.outcome;
            result.error = poll.outcome == Outcome::PortError
                ? poll.error
                : QStringLiteral("accepted, then the power read got %1").arg(explain(poll));
            return;
        }
        result.decoded = poll.decoded;
        if (poll.reply.startsWith(command.waitFor))
            return;
        if (poll.reply.startsWith("10") || waited.elapsed() + kPollMs > waitMs_) {
            result.outcome = Outcome::NotReached;
            return;
        }
        pause(kPollMs);
    }
}

Runner::Answer Runner::ask(const QByteArray &frame, int timeoutMs)
{
    Answer answer;
    if (!line_ || !lostWhy_.isEmpty()) {
        answer.lostWhy = line_ ? lostWhy_ : QStringLiteral("no line");
        return answer;
    }
    QEventLoop loop;
    // The reply is what comes up to its CR; whatever follows is nobody's.
    connect(line_, &Line::received, &loop, [&](const QByteArray &bytes) {
        if (answer.complete)
            return;
        const qsizetype cr = bytes.indexOf('\r');
        answer.bytes += cr < 0 ? bytes : bytes.left(cr + 1);
        if (cr >= 0) {
            answer.complete = true;
            loop.quit();
        }
    });
    connect(line_, &Line::lost, &loop, &QEventLoop::quit);
    QTimer timeOut;
    timeOut.setSingleShot(true);
    timeOut.setTimerType(Qt::PreciseTimer);
    connect(&timeOut, &QTimer::timeout, &loop, &QEventLoop::quit);
    QString why;
    const bool sent = line_->write(frame, &why);
    // A line may deliver the reply, or report its loss, from within the write.
    if (sent && !answer.complete && lostWhy_.isEmpty()) {
        timeOut.start(timeoutMs);
        loop.exec();
    }
    // A reply complete before the loss still counts; the next command meets the loss.
    if (!answer.complete && !lostWhy_.isEmpty())
        answer.lostWhy = lostWhy_;
    else if (!sent)
        answer.lostWhy = why;
    return answer;
}

void Runner::pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace qm25::ctl
