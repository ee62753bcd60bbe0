#pragma once
#include <QStringList>
#include <memory>

#include "app/form1.h"
#include "support/fake_comm.h"

namespace qm25::test {

// The real window on a serial control of the test's choosing, with its
// warning box and program end recorded instead of shown.
struct Panel {
    std::unique_ptr<Form1> form;
    MSComm *comm = nullptr;
    QStringList warnings;
    int ends = 0;

    FakeComm *fake() const { return qobject_cast<FakeComm *>(comm); }
};

// A window on a FakeComm; `load` runs the start-up step.
std::unique_ptr<Panel> makePanel(bool load = true);
// A window on the real serial control; the caller sets QM25_COM1/QM25_COM2.
std::unique_ptr<Panel> makeRealPanel(bool load = true);

}  // namespace qm25::test
