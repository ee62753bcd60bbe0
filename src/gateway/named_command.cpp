#include "gateway/named_command.h"

#include "gateway/exchange_queue.h"
#include "gateway/state_watcher.h"

namespace qm25::gateway {

bool runNamedCommand(ExchangeQueue *queue, int client, StateWatcher *watcher, const CommandRow &row,
                     std::function<void(const Result &result)> done)
{
    Result result;
    result.name = latin1(row.name);
    result.frame = row.frame();
    result.timeoutMs = row.times.replyTimeoutMs;
    return queue->enqueue(client, {{result.frame, result.timeoutMs}},
                          [watcher, row = &row, result, done = std::move(done)](std::vector<ExchangeResult> answers) mutable {
                              if (answers.empty())
                                  return;
                              judge(row, answers.front(), result);
                              result.ms = tenthsOfMs(answers.front().elapsedNs);
                              watcher->commandDone(result);
                              done(result);
                          });
}

}  // namespace qm25::gateway
