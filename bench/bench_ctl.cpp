// qm25ctl as a script sees it: one status read, from the start of the
// process to its exit, over the simulator's pseudo-terminal.
#include <QJsonArray>
#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>

#include "bench_util.h"
#include "sections.h"

namespace qm25::bench {
namespace {

// Milliseconds from the spawn to the exit, or -1 when it did not exit with 0.
double timeOneRun(const QString &program, const QStringList &args)
{
    const std::int64_t t0 = nowNs();
    Child c = spawnChild(program, args, {});
    if (c.pid < 0)
        return -1;
    ::close(c.in);
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(c.pid, &status, 0)) < 0 && errno == EINTR) {
    }
    const std::int64_t t1 = nowNs();
    ::close(c.out);
    return done == c.pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? toMs(t1 - t0) : -1;
}

}  // namespace

QJsonObject runCtl(const Options &o, Report &r)
{
    Child sim = spawnChild(QStringLiteral(QM25_SIM_BIN), {}, {});
    bool ok = false;
    const QByteArray first = sim.pid > 0 ? readLine(sim, 15000, &ok) : QByteArray();
    if (!ok || !first.startsWith("QM25_COM1=")) {
        finishChild(sim, 0);
        r.add(QStringLiteral("ctl"), QStringLiteral("qm25ctl status read"), QStringLiteral("no simulator"));
        return {{"error", "no simulator"}};
    }
    const QStringList args{QStringLiteral("--port"), QString::fromLocal8Bit(first.mid(10)), QStringLiteral("power")};
    const QString ctl = QStringLiteral(QM25_CTL_BIN);
    timeOneRun(ctl, args);  // fills the file cache; not counted

    const int runs = o.quick ? 20 : 200;
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < runs; ++i) {
        const double t = timeOneRun(ctl, args);
        if (t < 0)
            ++failed;
        else
            ms.push_back(t);
    }
    finishChild(sim, 0);

    const Summary s = summarise(ms);
    r.add(QStringLiteral("ctl"), QStringLiteral("qm25ctl power: start to exit, %1 runs").arg(s.count),
          QStringLiteral("p50 %1 ms, p99 %2 ms (min %3, max %4)%5")
              .arg(fmt(s.p50, 1), fmt(s.p99, 1), fmt(s.min, 1), fmt(s.max, 1))
              .arg(failed ? QStringLiteral(", %1 failed").arg(failed) : QString()));
    QJsonArray all;
    for (double t : ms)
        all.append(t);
    return {{"status_read_ms", toJson(s)}, {"samples_ms", all}, {"failed", failed}};
}

}  // namespace qm25::bench
