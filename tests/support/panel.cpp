#include "support/panel.h"

#include <QTest>

namespace qm25::test {

void Panel::click(const char *name) const { QTest::mouseClick(w(name), Qt::LeftButton); }

std::unique_ptr<Panel> makePanel(const QString &com1, bool startUp, std::unique_ptr<SerialLine> port)
{
    qputenv("QM25_COM1", com1.toLocal8Bit());
    auto p = std::make_unique<Panel>();
    p->form = std::make_unique<Form1>(std::move(port));
    Panel *raw = p.get();
    p->form->warningBox = [raw](const QString &text) { raw->warnings.append(text); };
    p->form->endProgram = [raw] { ++raw->ends; };
    if (startUp && !p->form->startUp())
        p->warnings.append(QStringLiteral("start-up: ") + p->form->startupError());
    return p;
}

}  // namespace qm25::test
