#pragma once
#include <QObject>

namespace qm25 {

// A program without a window ends its event loop on SIGINT, SIGTERM and
// SIGHUP (through a pipe: nothing but a write runs in the handler), and
// ignores SIGPIPE, so that a peer that has gone makes a write fail rather
// than end the program. False when the handlers cannot be set up.
bool stopOnSignals(QObject *receiver, void (*stopping)());

}  // namespace qm25
