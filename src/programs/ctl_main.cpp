// qm25ctl: the projector's commands from scripts and schedulers.
#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

#include "ctl/program.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Named in the port's lock file, so that the panel can say who holds it.
    QCoreApplication::setApplicationName(QStringLiteral("qm25ctl"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return qm25::ctl::runProgram(QCoreApplication::arguments().mid(1), out, err);
}
