#include "web/live_status.h"

#include "gateway/exchange_queue.h"
#include "gateway/line_keeper.h"

namespace qm25::web {
namespace {

// The reads of one round, in the order they go out.
const CommandRow *const kReads[] = {&command("power"), &command("input"), &command("lamp time"),
                                    &command("temperatures"), &command("mute")};

QString nameOf(const CommandRow *row) { return latin1(row->name); }

}  // namespace

LiveStatus::LiveStatus(gateway::ExchangeQueue *queue, gateway::LineKeeper *keeper, QObject *parent)
    : QObject(parent), queue_(queue), keeper_(keeper), client_(queue->addClient(QStringLiteral("web status")))
{
    for (const CommandRow *row : kReads)
        status_.insert(nameOf(row), QJsonValue::Null);
    lineUp_ = keeper_->isUp();
    poll_.setInterval(kPollMs);
    connect(&poll_, &QTimer::timeout, this, &LiveStatus::refresh);
    connect(keeper_, &gateway::LineKeeper::up, this, [this] {
        lineUp_ = true;
        lineError_.clear();
        publish();
        refresh();
    });
    connect(keeper_, &gateway::LineKeeper::down, this, [this](const QString &why) {
        lineUp_ = false;
        lineError_ = why;
        publish();
    });
}

LiveStatus::~LiveStatus() { queue_->removeClient(client_); }

void LiveStatus::setWatched(bool watched)
{
    if (watched == poll_.isActive())
        return;
    if (watched) {
        poll_.start();
        refresh();
    } else {
        poll_.stop();
    }
}

void LiveStatus::refresh()
{
    if (inFlight_) {
        again_ = true;
        return;
    }
    inFlight_ = true;
    std::vector<gateway::Step> steps;
    for (const CommandRow *row : kReads)
        steps.push_back({row->frame(), row->times.replyTimeoutMs});
    queue_->enqueue(client_, std::move(steps), [this](std::vector<ExchangeResult> results) { readDone(results); });
}

void LiveStatus::whenFresh(int maxAgeMs, std::function<void()> done)
{
    if (!inFlight_ && readAt_.isValid() && readAt_.elapsed() <= maxAgeMs) {
        done();
        return;
    }
    // A read on its way may have gone out before this call: wait for the next.
    (inFlight_ ? next_ : waiting_).push_back(std::move(done));
    if (inFlight_)
        again_ = true;
    else
        refresh();
}

void LiveStatus::readDone(const std::vector<ExchangeResult> &results)
{
    inFlight_ = false;
    readAt_.start();
    reading_ = Outcome::Ok;
    for (std::size_t i = 0; i < std::size(kReads); ++i) {
        Result r;
        if (i < results.size()) {
            judge(kReads[i], results[i], r);
            if (r.outcome != Outcome::Ok)
                reading_ = r.outcome;
        }
        status_.insert(nameOf(kReads[i]), r.value ? QJsonValue(toJson(*r.value)) : QJsonValue(QJsonValue::Null));
    }
    publish();
    auto done = std::move(waiting_);
    waiting_ = std::move(next_);
    next_.clear();
    if (again_ || !waiting_.empty()) {
        again_ = false;
        refresh();
    }
    for (auto &call : done)
        call();
}

void LiveStatus::commandDone(const Result &result)
{
    last_ = toJson(result);
    publish();
    refresh();
}

QJsonObject LiveStatus::snapshot() const
{
    QJsonObject o{{"line", lineUp_ ? "up" : "down"},
                  {"outcome", reading_ ? QJsonValue(outcomeName(*reading_)) : QJsonValue(QJsonValue::Null)},
                  {"status", status_},
                  {"last", last_.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(last_)}};
    if (!lineError_.isEmpty())
        o.insert(QStringLiteral("line_error"), lineError_);
    return o;
}

void LiveStatus::publish()
{
    const QJsonObject now = snapshot();
    if (now == published_)
        return;
    published_ = now;
    emit changed(now);
}

}  // namespace qm25::web
