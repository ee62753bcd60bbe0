#include "support/sim_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

namespace qm25::test {

SimProcess::SimProcess(const QStringList &args)
{
    process_.start(QStringLiteral(QM25_SIM_BIN), args);
    QDeadlineTimer deadline(15000);
    while (!process_.canReadLine() && process_.state() != QProcess::NotRunning && !deadline.hasExpired())
        process_.waitForReadyRead(100);
    const QByteArray first = process_.readLine().trimmed();
    if (first.startsWith("QM25_COM1=") && first.size() > 10) {
        devicePath_ = QString::fromLocal8Bit(first.mid(10));
        return;
    }
    process_.waitForFinished(1000);
    failure_ = QStringLiteral("qm25-sim named no device (%1, status %2): %3")
                   .arg(process_.state() == QProcess::NotRunning ? "ended" : "running")
                   .arg(process_.exitCode())
                   .arg(QString::fromLocal8Bit(process_.readAllStandardError()));
}

SimProcess::~SimProcess()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(15000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool SimProcess::waitForCleanExit()
{
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(15000))
        return false;
    return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

namespace {

// The quoted bytes of every trace line of one direction ("in" or "out"):
// "     0.512  in  "C00<CR>"  power on: count-down"
QStringList tracedLines(const QString &traceFile, const QString &direction)
{
    QFile file(traceFile);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QRegularExpression pattern(QStringLiteral(R"re(^\s*\d+\.\d+\s+%1\s+"([^"]*)")re").arg(direction));
    QStringList lines;
    while (!file.atEnd()) {
        const QRegularExpressionMatch m = pattern.match(QString::fromUtf8(file.readLine()));
        if (m.hasMatch())
            lines.append(m.captured(1));
    }
    return lines;
}

}  // namespace

QStringList tracedFrames(const QString &traceFile) { return tracedLines(traceFile, QStringLiteral("in")); }
QStringList tracedReplyPieces(const QString &traceFile) { return tracedLines(traceFile, QStringLiteral("out")); }

}  // namespace qm25::test
