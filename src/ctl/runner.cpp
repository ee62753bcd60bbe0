#include "ctl/runner.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace qm25::ctl {

int exitStatus(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok: return 0;
    case Outcome::NotAccepted: return 1;
    case Outcome::NoReply: return 3;
    case Outcome::PortError: return 4;
    case Outcome::NotReached: return 5;
    case Outcome::Unreadable: return 6;
    }
    return 4;
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
    result.ms = tenthsOfMs(clock.nsecsElapsed());
    return result;
}

void Runner::exchange(const Request &request, Result &result)
{
    judge(request.row, client_.run(result.frame, result.timeoutMs), result);
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
        const auto *power = statusAs<PowerStatus>(poll.value);
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
