#pragma once
#include <QStringList>
#include <QTextStream>

namespace qm25::ctl {

// qm25ctl as a whole: reads the arguments (without the program's name),
// opens the port, runs the commands and reports each on `out` (successes,
// and every JSON object) or `err` (failures). Returns the exit status.
int runProgram(const QStringList &args, QTextStream &out, QTextStream &err);

}  // namespace qm25::ctl
