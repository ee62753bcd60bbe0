#include "support/sim_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>

namespace qm25::test {

SimProcess::SimProcess(const QString &program, const QStringList &args, int startTimeoutMs)
{
    process_.setProgram(program);
    process_.setArguments(args);
    process_.start();
    if (!process_.waitForStarted(startTimeoutMs)) {
        failure_ = QStringLiteral("qm25-sim did not start: %1").arg(process_.errorString());
        return;
    }
    QDeadlineTimer deadline(startTimeoutMs);
    while (!process_.canReadLine() && process_.state() == QProcess::Running && !deadline.hasExpired())
        process_.waitForReadyRead(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 200)));
    const QByteArray first = process_.readLine().trimmed();
    constexpr QByteArrayView prefix("QM25_COM1=");
    if (first.startsWith(prefix) && first.size() > prefix.size()) {
        devicePath_ = QString::fromLocal8Bit(first.mid(prefix.size()));
        return;
    }
    if (process_.state() == QProcess::Running)
        failure_ = QStringLiteral("qm25-sim named no device in time (first line \"%1\")")
                       .arg(QString::fromLocal8Bit(first));
    else
        failure_ = QStringLiteral("qm25-sim ended with status %1").arg(process_.exitCode());
    failure_ += QStringLiteral("; stderr: ") + QString::fromLocal8Bit(standardError());
}

SimProcess::~SimProcess()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    if (stop() < 0 && process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool SimProcess::waitForCleanExit(int timeoutMs)
{
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(timeoutMs))
        return false;
    return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

int SimProcess::stop(int timeoutMs)
{
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(timeoutMs))
            return -1;
    }
    if (process_.exitStatus() != QProcess::NormalExit)
        return -1;
    return process_.exitCode();
}

QByteArray SimProcess::standardError()
{
    stderr_ += process_.readAllStandardError();
    return stderr_;
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

QStringList tracedReplyPieces(const QString &traceFile)
{
    return tracedLines(traceFile, QStringLiteral("out"));
}

}  // namespace qm25::test
