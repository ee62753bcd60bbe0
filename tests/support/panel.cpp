#include "support/panel.h"

namespace qm25::test {
namespace {

std::unique_ptr<Panel> wrap(std::unique_ptr<MSComm> comm, bool load)
{
    auto p = std::make_unique<Panel>();
    p->comm = comm.get();
    p->form = std::make_unique<Form1>(std::move(comm));
    Panel *raw = p.get();
    p->form->warningBox = [raw](const QString &text) { raw->warnings.append(text); };
    p->form->endProgram = [raw] { ++raw->ends; };
    if (load)
        p->form->Form_Load();
    return p;
}

}  // namespace

std::unique_ptr<Panel> makePanel(bool load) { return wrap(std::make_unique<FakeComm>(), load); }
std::unique_ptr<Panel> makeRealPanel(bool load) { return wrap(std::make_unique<SerialPortComm>(), load); }

}  // namespace qm25::test
