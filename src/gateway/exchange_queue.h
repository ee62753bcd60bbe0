#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "core/exchange_client.h"

namespace qm25::gateway {

// One exchange of a job: a frame and how long its reply may take.
struct Step {
    QByteArray frame;
    int timeoutMs = 0;
};

// The one line shared by many clients. Each client has a queue of jobs (a
// PJLink request, or a raw frame); a job is one or more exchanges run back
// to back, stopping at the first that does not succeed (ACK or data).
// Clients take turns, one job a turn, in the order they came (round-robin),
// so one busy client cannot starve the others; within a client, jobs run and
// are answered in the order they were queued.
//
// A status read that ends also answers the same read in every job that was
// waiting when it began, in any client, so those share the exchange; but
// only where nothing but status reads stands before that step in its
// client's queue, so a read never overtakes a command the same client sent
// before it.
class ExchangeQueue : public QObject {
    Q_OBJECT
public:
    // Jobs a client may have waiting, the running one included.
    static constexpr int kJobsPerClient = 8;

    // The results of a job's steps, in order; fewer than its steps when one
    // failed.
    using Done = std::function<void(std::vector<ExchangeResult> results)>;

    explicit ExchangeQueue(ExchangeClient *client, QObject *parent = nullptr);

    // A new client; `label` names it in the log.
    int addClient(const QString &label);
    // Drops the client's jobs without calling them back. A job of its that
    // is on the line runs to its end (so the line stays in step), unheard.
    void removeClient(int id);
    // False when the client's queue is full: the caller stops reading from
    // that client until one of its jobs is done.
    bool enqueue(int id, std::vector<Step> steps, Done done);
    bool hasRoom(int id) const;
    // Jobs waiting for the line or on it, of every client.
    int depth() const;

signals:
    // An exchange ended, for the log: whose it was and how many other
    // clients' steps it answered too.
    void exchanged(const QString &label, const ExchangeResult &result, int sharedWith);

private:
    struct Job {
        std::vector<Step> steps;
        std::vector<std::optional<ExchangeResult>> results;  // one per step, once it has one
        Done done;
        quint64 queuedAt = 0;
        bool readsOnly = false;  // every step a status read
        bool finished() const;
        std::size_t nextStep() const;
        // The results in step order, up to the first missing or failed one.
        std::vector<ExchangeResult> inOrder() const;
    };
    struct Client {
        QString label;
        std::deque<Job> jobs;
    };

    void schedulePump();
    void pump();
    void startStep();
    void stepFinished(const ExchangeResult &result);
    // Takes a finished head job off its client's queue; the caller calls it back.
    std::optional<std::pair<Done, std::vector<ExchangeResult>>> takeFinished(int id);

    ExchangeClient *client_;
    std::map<int, Client> clients_;
    int nextId_ = 1;
    quint64 nextSeq_ = 1;
    int lastServed_ = 0;
    bool pumpScheduled_ = false;
    // The job on the line: its client (0 once that client has gone), the
    // step's frame, and the sequence number at its start.
    int running_ = 0;
    bool busy_ = false;
    QByteArray runningFrame_;
    std::size_t runningStep_ = 0;
    quint64 startedAt_ = 0;
    QString runningLabel_;
};

}  // namespace qm25::gateway
