#include "support/sim_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

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

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

namespace {

// Whether something listens on the loopback port (0A: LISTEN).
bool listening(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    const QByteArray local = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.open(QIODevice::ReadOnly) ? table.readAll().split('\n') : QByteArrayList{}) {
        const QByteArrayList fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1] == local && fields[3] == "0A")
            return true;
    }
    return false;
}

}  // namespace

Ser2net::Ser2net(const QString &device, const QString &folder) : folder_(folder), device_(device)
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
}

bool Ser2net::start()
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("ser2net"), {"/usr/sbin", "/usr/bin"});
    if (program.isEmpty()) {
        failure_ = QStringLiteral("ser2net is not installed (scripts/setup.sh installs it)");
        return false;
    }
    port_ = port_ ? port_ : freeLoopbackPort();
    QFile config(folder_ + QStringLiteral("/ser2net.yaml"));
    if (!config.open(QIODevice::WriteOnly)) {
        failure_ = config.errorString();
        return false;
    }
    config.write(QStringLiteral("connection: &qm25\n  accepter: tcp,127.0.0.1,%1\n"
                                "  connector: serialdev,%2,19200n81,local\n  options:\n    kickolduser: true\n")
                     .arg(port_)
                     .arg(device_)
                     .toUtf8());
    config.close();
    process_.start(program, {"-n", "-u", "-c", config.fileName(), "-P", folder_ + QStringLiteral("/ser2net.pid")});
    if (QTest::qWaitFor([&] { return listening(port_) || process_.state() == QProcess::NotRunning; }, 15000)
        && process_.state() != QProcess::NotRunning)
        return true;
    failure_ = QStringLiteral("ser2net did not serve port %1: %2").arg(port_).arg(QString::fromLocal8Bit(process_.readAll()));
    return false;
}

void Ser2net::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(15000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
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
