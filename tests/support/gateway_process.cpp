#include "support/gateway_process.h"

#include <QTest>

namespace qm25::test {

Gatewayd::Gatewayd(QStringList args)
{
    const char *last = args.contains(QStringLiteral("--metrics")) ? "metrics on"
                       : args.contains(QStringLiteral("--http"))  ? "HTTP on" : "raw exchanges on";
    process_.start(QStringLiteral(QM25_GATEWAY_BIN), QStringList{"--pjlink", "127.0.0.1:0", "--raw", "127.0.0.1:0"} + args);
    if (waitForLog(last)) {
        pjlink = quint16(log_.section("PJLink on 127.0.0.1:", 1).section(' ', 0, 0).toUInt());
        raw = quint16(log_.section("raw exchanges on 127.0.0.1:", 1).section('\n', 0, 0).toUInt());
        http = quint16(log_.section("HTTP on 127.0.0.1:", 1).section(' ', 0, 0).toUInt());
        metrics = quint16(log_.section("metrics on 127.0.0.1:", 1).section(' ', 0, 0).toUInt());
    }
}

bool Gatewayd::stop()
{
    const bool running = process_.state() == QProcess::Running;
    process_.terminate();
    if (!process_.waitForFinished(10000))
        process_.kill();
    return running && process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
}

QString Gatewayd::log() { return log_ += QString::fromLocal8Bit(process_.readAllStandardError()); }

bool Gatewayd::waitForLog(const QString &text, int times)
{
    return QTest::qWaitFor([&] { return log().count(text) >= times; }, 15000);
}

}  // namespace qm25::test
