#pragma once
#include <QString>

namespace qm25 {

// Device behind port number n. COM1 and COM2 are "COM1"/"COM2" on Windows
// and /dev/ttyS0, /dev/ttyS1 elsewhere; QM25_COM1 / QM25_COM2 in the
// environment name another device for that port (a USB adapter, the
// simulator's pseudo-terminal).
QString portDeviceName(int port);

}  // namespace qm25
