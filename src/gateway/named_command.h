#pragma once
// A command of the catalogue run by name for a front door (the web's API,
// MQTT): one job on the queue for the door's client, its exchange judged
// into the outcome object that qm25ctl --json prints, and shown as the
// state's "last".
#include <functional>

#include "core/outcome.h"

namespace qm25::gateway {

class ExchangeQueue;
class StateWatcher;

// False when the client has as many jobs waiting as the queue takes; `done`
// then never comes.
bool runNamedCommand(ExchangeQueue *queue, int client, StateWatcher *watcher, const CommandRow &row,
                     std::function<void(const Result &result)> done);

}  // namespace qm25::gateway
