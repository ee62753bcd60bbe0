#pragma once
// Shared pieces of the benchmark programs: a monotonic clock that every
// thread and process of a run reads alike, summaries of samples, the
// pseudo-terminal the panel is driven through, child processes, and /proc.
#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <sys/types.h>
#include <vector>

namespace qm25::bench {

// CLOCK_MONOTONIC in nanoseconds: one time base for all threads and for the
// child processes the benchmarks start.
std::int64_t nowNs();
void sleepUntilNs(std::int64_t deadline);
void sleepForNs(std::int64_t ns);
inline double toMs(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }
inline double toUs(std::int64_t ns) { return static_cast<double>(ns) / 1e3; }

// Summary of a set of samples (any unit; the caller says which).
struct Summary {
    std::size_t count = 0;
    double mean = 0, p50 = 0, p99 = 0, max = 0, min = 0;
};
Summary summarise(std::vector<double> samples);
QJsonObject toJson(const Summary &s);

// Process memory and CPU, from /proc and getrusage.
long rssKb(pid_t pid);        // VmRSS, -1 when unreadable
long peakRssKb(pid_t pid);    // VmHWM
double selfCpuMs();           // user + system time of this process
double threadCpuMs();         // user + system time of the calling thread
// User + system time another process has used, in seconds; -1 when it cannot be read.
double processCpuSeconds(qint64 pid);
// The word after `prefix` in what a child process writes on standard error
// or output (gathered in `seen`), once its line is complete; empty when it
// does not come within the time-out.
QString wordAfter(QProcess &process, QString &seen, const QString &prefix, int timeoutMs, bool standardError);
// A password file for qm25d in `folder` (its first line the password);
// empty when it cannot be written.
QString writePasswordFile(const QString &folder, const QByteArray &password);

// The projector's end of the panel's line, a non-blocking descriptor the
// benchmark's threads wait on with poll(); the panel opens path().
class PeerEnd {
public:
    PeerEnd() = default;
    virtual ~PeerEnd();
    PeerEnd(const PeerEnd &) = delete;
    PeerEnd &operator=(const PeerEnd &) = delete;
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    QString path() const { return path_; }
    // Writes everything, waiting for room as needed; false on a failure or
    // when `deadline` (monotonic ns, 0 = none) passes first.
    bool writeAll(const char *data, std::size_t size, std::int64_t deadline = 0);
protected:
    int fd_ = -1;
    QString path_;
};

// The master side of a pseudo-terminal in raw mode.
class PtyMaster : public PeerEnd {
public:
    PtyMaster();
};

// A device server's end on loopback: listens on 127.0.0.1 and a free port,
// path() naming it as tcp://127.0.0.1:PORT. ok() once takeClient() has
// accepted the panel's connection, which fd() then is.
class TcpEnd : public PeerEnd {
public:
    TcpEnd();
    ~TcpEnd() override;
    bool listening() const { return listen_ >= 0; }
    bool takeClient(int timeoutMs);
private:
    int listen_ = -1;
};

// A child process with its standard input and output on pipes.
struct Child {
    pid_t pid = -1;
    int in = -1;   // write end: the child's stdin
    int out = -1;  // read end: the child's stdout
    QByteArray pending;  // read but not yet returned by readLine
};
// Starts `program` with `args`; `env` entries ("NAME=value") are added to
// (or replace) this process's environment. Returns pid -1 on failure.
Child spawnChild(const QString &program, const QStringList &args, const QStringList &env);
// One line of the child's output without its newline, or an empty optional
// text ("") when the child closed its output or `timeoutMs` passed.
QByteArray readLine(Child &child, int timeoutMs, bool *ok);
bool writeLine(Child &child, const QByteArray &line);
// Closes the pipes and waits for the child; returns its exit status, or -1.
// When it does not end within `graceMs` it is sent SIGTERM, then SIGKILL.
int finishChild(Child &child, int graceMs);

// Directory of the running executable (to find the helper programs).
QString programDir();

// Drops the offscreen platform's note that it cannot pass size hints on,
// which every shown window would print; other messages pass unchanged.
void quietOffscreenNotes();

// The machine's load average over the last minute, for the report: the
// timings are only as quiet as the machine was.
double loadAverage1();
// CPU time the host took from this machine's virtual CPUs so far (steal, all
// CPUs together), in seconds; 0 on a machine that is no guest.
double stolenSeconds();

}  // namespace qm25::bench
