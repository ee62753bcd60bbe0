#pragma once
#include <QProcess>
#include <QString>
#include <QStringList>

namespace qm25::test {

// qm25d as a child of the test, its PJLink and raw ports (and the HTTP
// port and the metrics port, when the arguments ask for them) on loopback,
// free ports unless the arguments say otherwise; the
// constructor waits, bounded, until it says where it listens.
class Gatewayd {
public:
    explicit Gatewayd(QStringList args);
    ~Gatewayd() { stop(); }
    // Ends it as the service manager does; whether it was running and ended
    // cleanly (under the sanitizers: without a finding).
    bool stop();
    // Ends it as a crash or a pulled plug would: no goodbye to anyone.
    void kill() { process_.kill(), process_.waitForFinished(5000); }
    QString log();
    bool waitForLog(const QString &text, int times = 1);
    qint64 pid() const { return process_.processId(); }
    quint16 pjlink = 0, raw = 0, http = 0, metrics = 0;

private:
    QProcess process_;
    QString log_;
};

}  // namespace qm25::test
