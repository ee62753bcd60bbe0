#include "support/sim_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

namespace qm25::test {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

namespace {

// Whether something listens on the loopback port.
bool listening(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    const QString entry = QStringLiteral(" 0100007F:%1 00000000:0000 0A ").arg(port, 4, 16, QLatin1Char('0'));
    return table.open(QIODevice::ReadOnly) && table.readAll().contains(entry.toUpper().toLatin1());
}

void stop(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(15000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

}  // namespace

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
    if (process_.state() != QProcess::NotRunning)
        stop(process_);
}

bool SimProcess::waitForCleanExit()
{
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(15000))
        return false;
    return process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

bool Ser2net::start()
{
    // Its configuration on the command line, a "#" for each line break.
    port_ = port_ ? port_ : freeLoopbackPort();
    const QString config = QStringLiteral("connection: &qm25#  accepter: tcp,127.0.0.1,%1#  connector: serialdev,%2,"
                                          "19200n81,local#  options:#    kickolduser: true").arg(port_).arg(device_);
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(QStringLiteral("ser2net"), {"-n", "-u", "-P", pidFile_, "-Y", config});
    if (QTest::qWaitFor([&] { return listening(port_) || process_.state() == QProcess::NotRunning; }, 15000)
        && process_.state() != QProcess::NotRunning)
        return true;
    failure_ = QStringLiteral("ser2net (scripts/setup.sh installs it) did not serve port %1: %2 %3")
                   .arg(port_).arg(process_.errorString(), QString::fromLocal8Bit(process_.readAll()));
    return false;
}

void Ser2net::stop()
{
    if (process_.state() != QProcess::NotRunning)
        qm25::test::stop(process_);
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
