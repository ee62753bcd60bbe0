#include "gateway/state_watcher.h"

#include <QJsonDocument>

#include "gateway/exchange_queue.h"

namespace qm25::gateway {
namespace {

QJsonValue jsonOf(const std::optional<StatusValue> &value)
{
    return value ? QJsonValue(toJson(*value)) : QJsonValue(QJsonValue::Null);
}

}  // namespace

StateWatcher::StateWatcher(ExchangeQueue *queue, int pollMs, QObject *parent)
    : QObject(parent),
      queue_(queue),
      client_(queue->addClient(QStringLiteral("state watcher"))),
      pollMs_(pollMs)
{
    for (std::size_t i = 0; i < kReadings.size(); ++i)
        watched_[i].row = statusReadOf(kReadings[i]);
    poll_.setSingleShot(true);
    connect(&poll_, &QTimer::timeout, this, &StateWatcher::refresh);
    connect(queue_, &ExchangeQueue::exchanged, this,
            [this](const QString &, const ExchangeResult &result, int) { exchanged(result); });
    published_ = snapshot();
}

StateWatcher::~StateWatcher() { queue_->removeClient(client_); }

void StateWatcher::lineOpened()
{
    lineUp_ = true;
    lineError_.clear();
    setFreeze(std::nullopt);  // whatever was set went with the line
    publish();
    if (watchers_ > 0)
        refresh();
}

void StateWatcher::lineDown(const QString &why)
{
    lineUp_ = false;
    lineError_ = why;
    publish();
}

void StateWatcher::watch()
{
    if (++watchers_ == 1) {
        refresh();
        schedulePoll(true);
    }
}

void StateWatcher::unwatch()
{
    if (watchers_ > 0 && --watchers_ == 0)
        poll_.stop();
}

void StateWatcher::schedulePoll(bool afterRound)
{
    if (watchers_ == 0) {
        poll_.stop();
        return;
    }
    const auto *power = statusAs<PowerStatus>(value(Reading::Power));
    const bool settling = power && (power->phase == PowerPhase::CountDown || power->phase == PowerPhase::Cooling);
    const int period = settling ? std::min(pollMs_, kSettlingPollMs) : pollMs_;
    // A period starts with each round; a single read only brings the next
    // round nearer, when the power has begun to settle.
    if (afterRound || !poll_.isActive() || poll_.remainingTime() > period)
        poll_.start(period);
}

const std::optional<StatusValue> &StateWatcher::value(Reading reading) const
{
    for (std::size_t i = 0; i < kReadings.size(); ++i)
        if (kReadings[i] == reading)
            return watched_[i].value;
    static const std::optional<StatusValue> none;
    return none;
}

qint64 StateWatcher::ageMs(Reading reading) const
{
    for (std::size_t i = 0; i < kReadings.size(); ++i)
        if (kReadings[i] == reading)
            return watched_[i].readAt.isValid() ? watched_[i].readAt.elapsed() : -1;
    return -1;
}

StateWatcher::Watched *StateWatcher::watchedOf(QByteArrayView frame)
{
    for (Watched &w : watched_)
        if (w.row && w.row->frame() == frame)
            return &w;
    return nullptr;
}

void StateWatcher::exchanged(const ExchangeResult &result)
{
    if (Watched *w = watchedOf(result.frame)) {
        record(*w, result);
        publish();
        return;
    }
    const QByteArrayView code = QByteArrayView(result.frame).chopped(result.frame.endsWith('\r') ? 1 : 0);
    const CommandRow *row = commandWithCode(QString::fromLatin1(code));
    if (!row || result.outcome != ExchangeResult::Outcome::Ack)
        return;
    if (row == &command("freeze on") || row == &command("freeze off"))
        setFreeze(row == &command("freeze on"));
    if (row->changes != Reading::Acknowledgement)
        readSoon(statusReadOf(row->changes));
}

void StateWatcher::record(Watched &w, const ExchangeResult &result)
{
    const QJsonValue before = jsonOf(w.value);
    w.value = result.outcome == ExchangeResult::Outcome::Data ? readStatus(w.row->reading, QString::fromLatin1(result.reply))
                                                               : std::nullopt;
    if (w.value)
        w.readAt.start();
    if (jsonOf(w.value) == before)
        return;
    emit valueChanged(w.row->reading);
    if (w.row->reading == Reading::Power)
        schedulePoll(false);  // the power may have begun to settle
}

void StateWatcher::refresh()
{
    roundAgain_ = true;
    sendNext();
}

void StateWatcher::readSoon(const CommandRow *row)
{
    if (row && std::find(singles_.begin(), singles_.end(), row) == singles_.end())
        singles_.push_back(row);
    sendNext();
}

void StateWatcher::sendNext()
{
    if (roundInFlight_ || readInFlight_)
        return;
    std::vector<Step> steps;
    if (roundAgain_) {
        // A round reads everything, what single reads were wanted included.
        roundAgain_ = false;
        singles_.clear();
        roundInFlight_ = true;
        for (const Watched &w : watched_)
            steps.push_back({w.row->frame(), w.row->times.replyTimeoutMs});
        queue_->enqueue(client_, std::move(steps), [this](std::vector<ExchangeResult> results) {
            roundInFlight_ = false;
            roundDone(results);
            sendNext();
        });
    } else if (!singles_.empty()) {
        readInFlight_ = true;
        for (const CommandRow *row : std::exchange(singles_, {}))
            steps.push_back({row->frame(), row->times.replyTimeoutMs});
        queue_->enqueue(client_, std::move(steps), [this](std::vector<ExchangeResult>) {
            readInFlight_ = false;
            sendNext();
        });
    }
}

void StateWatcher::whenFresh(int maxAgeMs, std::function<void()> done)
{
    if (!roundInFlight_ && roundAt_.isValid() && roundAt_.elapsed() <= maxAgeMs) {
        done();
        return;
    }
    // A round on its way may have gone out before this call: wait for the next.
    (roundInFlight_ ? next_ : waiting_).push_back(std::move(done));
    refresh();
}

void StateWatcher::roundDone(const std::vector<ExchangeResult> &results)
{
    roundAt_.start();
    round_ = Outcome::Ok;
    for (std::size_t i = 0; i < watched_.size(); ++i) {
        if (i >= results.size()) {
            // Not read: the read before it failed. Its value is not known now.
            if (std::exchange(watched_[i].value, std::nullopt))
                emit valueChanged(kReadings[i]);
            continue;
        }
        Result r;
        judge(watched_[i].row, results[i], r);
        if (r.outcome != Outcome::Ok)
            round_ = r.outcome;
    }
    publish();
    schedulePoll(true);
    auto done = std::exchange(waiting_, std::exchange(next_, {}));
    if (!waiting_.empty())
        roundAgain_ = true;
    for (auto &call : done)
        call();
}

void StateWatcher::commandDone(const Result &result)
{
    last_ = toJson(result);
    publish();
}

std::optional<bool> StateWatcher::freeze() const
{
    const auto *power = statusAs<PowerStatus>(value(Reading::Power));
    return power && power->phase != PowerPhase::On ? std::optional<bool>(false) : freeze_;
}

void StateWatcher::setFreeze(std::optional<bool> freeze)
{
    if (freeze_ == freeze)
        return;
    freeze_ = freeze;
    emit freezeChanged(freeze);
}

QJsonObject StateWatcher::snapshot() const
{
    QJsonObject status;
    for (const Watched &w : watched_)
        status.insert(latin1(w.row->name), jsonOf(w.value));
    QJsonObject o{{"line", lineUp_ ? "up" : "down"},
                  {"outcome", round_ ? QJsonValue(outcomeName(*round_)) : QJsonValue(QJsonValue::Null)},
                  {"status", status},
                  {"last", last_.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(last_)}};
    if (!lineError_.isEmpty())
        o.insert(QStringLiteral("line_error"), lineError_);
    return o;
}

void StateWatcher::publish()
{
    const QJsonObject now = snapshot();
    if (now == published_)
        return;
    published_ = now;
    emit changed(now);
}

}  // namespace qm25::gateway
