#pragma once
#include <QProcess>
#include <QString>
#include <QStringList>

namespace qm25::test {

// The projector simulator (qm25-sim) as a child process of the test, started
// with the given arguments; the constructor waits, bounded, for the line
// "QM25_COM1=..." that names its device. The destructor stops it (SIGTERM,
// then SIGKILL if it will not go), so no simulator outlives its test.
class SimProcess {
public:
    explicit SimProcess(const QStringList &args);
    ~SimProcess();

    bool ok() const { return !devicePath_.isEmpty(); }
    // The pseudo-terminal it serves (not a --link path).
    QString devicePath() const { return devicePath_; }
    // Why ok() is false: how it ended and what it wrote on stderr.
    QString failure() const { return failure_; }
    // Waits, bounded, for it to end by itself (--hangup-after); true when it
    // ended with status 0.
    bool waitForCleanExit();

private:
    QProcess process_;
    QString devicePath_;
    QString failure_;
};

// Debian's ser2net, a serial device server nobody here wrote, as a child of
// the test: it passes `device` raw (no telnet) to TCP clients on 127.0.0.1
// and a free port, a new client taking the line from the old. stop() ends
// it; start() brings it back on the same port. The destructor stops it.
class Ser2net {
public:
    Ser2net(const QString &device, const QString &folder) : device_(device), pidFile_(folder + "/ser2net.pid") {}
    ~Ser2net() { stop(); }
    // Waits, bounded, until it listens.
    bool start();
    void stop();
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port_); }
    QString failure() const { return failure_; }

private:
    QProcess process_;
    QString device_, pidFile_, failure_;
    quint16 port_ = 0;
};

// A loopback port nothing listens on just now.
quint16 freeLoopbackPort();

// What a simulator's --trace-file says it received ("in", e.g. "C09<CR>")
// or wrote ("out"), in order.
QStringList tracedFrames(const QString &traceFile);
QStringList tracedReplyPieces(const QString &traceFile);

}  // namespace qm25::test
