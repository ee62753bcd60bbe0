#pragma once
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace qm25::test {

// The projector simulator (qm25-sim) as a child process of the test. It is
// started with the given arguments (from the build's qm25-sim when the test
// program defines QM25_SIM_BIN, as every test program does); the constructor waits, bounded, for the
// line "QM25_COM1=..." that names the device to point the panel at. The
// destructor asks it to stop with SIGTERM and waits for it (SIGKILL only if
// it will not stop), so no simulator outlives its test.
class SimProcess {
public:
    SimProcess(const QString &program, const QStringList &args, int startTimeoutMs = 15000);
#ifdef QM25_SIM_BIN
    explicit SimProcess(const QStringList &args) : SimProcess(QStringLiteral(QM25_SIM_BIN), args) {}
#endif
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // True once the simulator runs and has named its device.
    bool ok() const { return !devicePath_.isEmpty(); }
    // The device path it printed (the pseudo-terminal, not a --link path).
    QString devicePath() const { return devicePath_; }
    // Why ok() is false: the start failure, exit status and what it wrote
    // on stderr.
    QString failure() const { return failure_; }

    bool running() const { return process_.state() != QProcess::NotRunning; }
    qint64 pid() const { return process_.processId(); }
    // Waits, bounded, for the simulator to end by itself (--hangup-after);
    // true when it has ended with exit status 0.
    bool waitForCleanExit(int timeoutMs = 15000);
    // SIGTERM, then waits; the exit status, or -1 when it did not end
    // cleanly in time.
    int stop(int timeoutMs = 15000);
    // Everything written on stderr so far (the trace with --trace).
    QByteArray standardError();

private:
    QProcess process_;
    QString devicePath_;
    QString failure_;
    QByteArray stderr_;
};

// The frames a simulator received, in order, from its --trace-file: one
// entry per "in" line, spelled as the trace writes them (for example
// "C09<CR>"). Empty when the file cannot be read.
QStringList tracedFrames(const QString &traceFile);
// The reply pieces it wrote, in order, spelled the same way ("out" lines).
QStringList tracedReplyPieces(const QString &traceFile);

}  // namespace qm25::test
