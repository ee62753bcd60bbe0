#include "gateway/exchange_queue.h"

#include <QMetaObject>
#include <algorithm>

#include "core/catalogue.h"
#include "gateway/pjlink.h"

namespace qm25::gateway {

bool ExchangeQueue::Job::finished() const
{
    return results.size() == steps.size() || (!results.empty() && !pjlink::succeeded(results.back()));
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

bool ExchangeQueue::enqueue(int id, std::vector<Step> steps, Done done)
{
    if (!hasRoom(id) || steps.empty())
        return false;
    clients_[id].jobs.push_back(Job{std::move(steps), {}, std::move(done), nextSeq_++});
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
    const Step &step = job.steps[job.results.size()];
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
    return std::pair{std::move(job.done), std::move(job.results)};
}

void ExchangeQueue::stepFinished(const ExchangeResult &result)
{
    if (!busy_)
        return;
    busy_ = false;
    const bool shareable = statusReadOfFrame(QString::fromLatin1(runningFrame_)) != nullptr;
    std::vector<int> done;
    int sharedWith = 0;
    for (auto &[id, c] : clients_) {
        if (c.jobs.empty())
            continue;
        Job &head = c.jobs.front();
        if (id == running_) {
            head.results.push_back(result);
        } else if (shareable && head.queuedAt < startedAt_
                   && head.steps[head.results.size()].frame == runningFrame_) {
            head.results.push_back(result);
            ++sharedWith;
        } else {
            continue;
        }
        if (head.finished())
            done.push_back(id);
    }
    emit exchanged(runningLabel_, result, sharedWith);

    // The running job goes on with its next step at once, unless it is done
    // or its client has gone.
    const bool goesOn = running_ && std::find(done.begin(), done.end(), running_) == done.end();
    std::vector<std::pair<Done, std::vector<ExchangeResult>>> calls;
    for (int id : done)
        if (auto call = takeFinished(id))
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
