#include "gateway/exchange_queue.h"

#include <QMetaObject>
#include <algorithm>

#include "core/catalogue.h"
#include "core/outcome.h"

namespace qm25::gateway {

namespace {

bool isStatusRead(const QByteArray &frame) { return statusReadOfFrame(QString::fromLatin1(frame)) != nullptr; }

}  // namespace

bool ExchangeQueue::Job::finished() const
{
    // Every step done, or one failed: the steps after it are not run.
    return std::all_of(results.begin(), results.end(), [](const auto &r) { return r.has_value(); })
           || std::any_of(results.begin(), results.end(), [](const auto &r) { return r && !succeeds(nullptr, r->outcome); });
}

std::size_t ExchangeQueue::Job::nextStep() const
{
    const auto it = std::find_if(results.begin(), results.end(), [](const auto &r) { return !r; });
    return std::size_t(it - results.begin());
}

std::vector<ExchangeResult> ExchangeQueue::Job::inOrder() const
{
    std::vector<ExchangeResult> out;
    for (const auto &r : results) {
        if (!r)
            break;
        out.push_back(*r);
        if (!succeeds(nullptr, r->outcome))
            break;
    }
    return out;
}

ExchangeQueue::ExchangeQueue(ExchangeClient *client, QObject *parent) : QObject(parent), client_(client)
{
    connect(client_, &ExchangeClient::finished, this, &ExchangeQueue::stepFinished);
}

int ExchangeQueue::addClient(const QString &label)
{
    const int id = nextId_++;
    clients_[id].label = label;
    return id;
}

void ExchangeQueue::removeClient(int id)
{
    clients_.erase(id);
    if (running_ == id)
        running_ = 0;
}

bool ExchangeQueue::hasRoom(int id) const
{
    const auto it = clients_.find(id);
    return it != clients_.end() && it->second.jobs.size() < std::size_t(kJobsPerClient);
}

int ExchangeQueue::depth() const
{
    std::size_t jobs = 0;
    for (const auto &[id, c] : clients_)
        jobs += c.jobs.size();
    return int(jobs);
}

bool ExchangeQueue::enqueue(int id, std::vector<Step> steps, Done done)
{
    if (!hasRoom(id) || steps.empty())
        return false;
    Job job;
    job.readsOnly = std::all_of(steps.begin(), steps.end(), [](const Step &s) { return isStatusRead(s.frame); });
    job.results.resize(steps.size());
    job.steps = std::move(steps);
    job.done = std::move(done);
    job.queuedAt = nextSeq_++;
    clients_[id].jobs.push_back(std::move(job));
    schedulePump();
    return true;
}

void ExchangeQueue::schedulePump()
{
    if (pumpScheduled_)
        return;
    pumpScheduled_ = true;
    // From the event loop: a client called back may queue its next job
    // before the next turn is chosen.
    QMetaObject::invokeMethod(this, [this] {
        pumpScheduled_ = false;
        pump();
    }, Qt::QueuedConnection);
}

void ExchangeQueue::pump()
{
    if (busy_ || clients_.empty())
        return;
    // The next client after the one served last that has a job waiting.
    auto it = clients_.upper_bound(lastServed_);
    for (std::size_t n = 0; n < clients_.size(); ++n, ++it) {
        if (it == clients_.end())
            it = clients_.begin();
        if (!it->second.jobs.empty())
            break;
    }
    if (it == clients_.end() || it->second.jobs.empty())
        return;
    lastServed_ = running_ = it->first;
    runningLabel_ = it->second.label;
    startStep();
}

void ExchangeQueue::startStep()
{
    const Job &job = clients_.at(running_).jobs.front();
    runningStep_ = job.nextStep();
    const Step &step = job.steps[runningStep_];
    busy_ = true;
    runningFrame_ = step.frame;
    startedAt_ = nextSeq_;
    client_->start(step.frame, step.timeoutMs);
}

std::optional<std::pair<ExchangeQueue::Done, std::vector<ExchangeResult>>> ExchangeQueue::takeFinished(int id)
{
    const auto it = clients_.find(id);
    if (it == clients_.end() || it->second.jobs.empty() || !it->second.jobs.front().finished())
        return std::nullopt;
    Job job = std::move(it->second.jobs.front());
    it->second.jobs.pop_front();
    return std::pair{std::move(job.done), job.inOrder()};
}

void ExchangeQueue::stepFinished(const ExchangeResult &result)
{
    if (!busy_)
        return;
    busy_ = false;
    const bool shareable = isStatusRead(runningFrame_);
    int sharedWith = 0;
    for (auto &[id, c] : clients_) {
        for (std::size_t j = 0; j < c.jobs.size(); ++j) {
            Job &job = c.jobs[j];
            if (id == running_ && j == 0) {
                job.results[runningStep_] = result;
            } else if (shareable && job.queuedAt < startedAt_) {
                for (std::size_t k = 0; k < job.steps.size(); ++k)
                    if (!job.results[k] && job.steps[k].frame == runningFrame_) {
                        job.results[k] = result;
                        ++sharedWith;
                    }
            }
            if (!job.readsOnly)
                break;  // what comes after it must wait for it
        }
    }
    emit exchanged(runningLabel_, result, sharedWith);

    // Finished jobs leave their queues from the front, in order; the running
    // job goes on with its next step at once, unless it is done or its
    // client has gone.
    const bool goesOn = running_ && !clients_.at(running_).jobs.front().finished();
    std::vector<std::pair<Done, std::vector<ExchangeResult>>> calls;
    for (auto &[id, c] : clients_)
        while (auto call = takeFinished(id))
            calls.push_back(std::move(*call));
    if (goesOn)
        startStep();
    else
        schedulePump();
    // Last, as a call back may queue a job or remove a client.
    for (auto &[call, results] : calls)
        if (call)
            call(std::move(results));
}

}  // namespace qm25::gateway
