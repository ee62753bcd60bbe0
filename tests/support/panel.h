#pragma once
#include <QStringList>
#include <memory>

#include "app/form1.h"

namespace qm25::test {

// The real window with COM1 on `com1` (through QM25_COM1), its warning box
// and the end of the program recorded instead of shown.
struct Panel {
    std::unique_ptr<Form1> form;
    QStringList warnings;
    int ends = 0;
    Form1 &f() { return *form; }
    Exchange &ex() { return form->exchange(); }
    QWidget *w(const char *name) const { return form->control(QLatin1String(name)); }
    void click(const char *name) const;  // a mouse click, as the operator gives it
};

std::unique_ptr<Panel> makePanel(const QString &com1, bool startUp = true,
                                 std::unique_ptr<SerialLine> port = std::make_unique<SerialLine>());

}  // namespace qm25::test
