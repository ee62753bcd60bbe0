// qm25-bench-gateway: qm25d under the load of a room-control installation,
// against the simulator on a pseudo-terminal, everything on loopback.
//
//   qm25-bench-gateway [--quick] [--seconds N] [--clients N] [--reply-delay MS] [--json FILE]
//   qm25-bench-gateway --class2 [--quick] [--json FILE]
//
// N PJLink clients (50) each ask POWR ?, ERST ? and LAMP ? once a second,
// their seconds spread over the second; a raw exchange client sends one
// status read (CR6) a second. For the length of the run (60 s; --quick 10 s)
// it counts requests and answers, error answers, answer times, the
// exchanges the line carried (from the simulator's trace) against what
// 19200 baud allows, and qm25d's memory and CPU time. A pseudo-terminal has
// no baud rate: --reply-delay holds each reply back (the simulator's
// --delay), as the wire and a real projector's turnaround would.
//
// With --class2, PJLink Class 2 over UDP instead: a controller (127.0.0.2)
// has spoken to the PJLink port and listens for notifications; a raw client
// switches the power on and off 200 times (--quick 40), one command every
// 150 ms, as the panel would, and each time the wait from the command sent
// to its %2POWR= notification at the controller is taken; then 200 (40)
// searchers, each on a loopback address of its own, send one search each,
// 20 a second, and the wait to its answer is taken.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <unistd.h>

#include "bench_util.h"

using namespace qm25::bench;

namespace {

struct Tally {
    std::vector<double> answerMs;
    long sent = 0, answered = 0, errors = 0, wrong = 0;
};

// One polling client: a connection, the requests it waits for, in order.
struct Poller {
    QTcpSocket socket;
    QByteArray in;
    std::deque<std::pair<QByteArray, std::int64_t>> waiting;  // expected start of the answer, send time
    bool greeted = false;
};

// Frames in and reply bytes out that the simulator traced, and their bytes.
struct LineCount {
    long frames = 0;
    long bytes = 0;
};
LineCount countTrace(const QString &file)
{
    QFile f(file);
    LineCount c;
    if (!f.open(QIODevice::ReadOnly))
        return c;
    static const QRegularExpression line(QStringLiteral(R"re(^\s*\d+\.\d+\s+(in|out)\s+"([^"]*)")re"));
    static const QRegularExpression control(QStringLiteral("<[A-Z0-9]+>"));
    while (!f.atEnd()) {
        const auto m = line.match(QString::fromUtf8(f.readLine()));
        if (!m.hasMatch())
            continue;
        QString bytes = m.captured(2);
        bytes.replace(control, QStringLiteral("_"));  // a control character spelled out is one byte
        c.bytes += bytes.size();
        c.frames += m.captured(1) == QLatin1String("in");
    }
    return c;
}

// Runs the event loop until `done` or the time-out; whether it was done.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

int class2Run(int changes, const QString &jsonPath)
{
    QProcess sim, gateway;
    sim.start(QStringLiteral(QM25_SIM_BIN), {"--warmup-ms", "0", "--cooldown-ms", "0"});
    QString simSaid, gatewaySaid;
    const QString device = wordAfter(sim, simSaid, QStringLiteral("QM25_COM1="), 15000, false);
    gateway.start(QStringLiteral(QM25_GATEWAY_BIN), {"--port", device, "--pjlink", "127.0.0.1:0", "--raw", "127.0.0.1:0"});
    const quint16 pjlinkPort = quint16(wordAfter(gateway, gatewaySaid, "PJLink on 127.0.0.1:", 15000, true).toUInt());
    const quint16 rawPort = quint16(wordAfter(gateway, gatewaySaid, "raw exchanges on 127.0.0.1:", 15000, true).toUInt());
    if (device.isEmpty() || !pjlinkPort || !rawPort || wordAfter(gateway, gatewaySaid, "line ", 15000, true) != "open:") {
        std::fprintf(stderr, "qm25-bench-gateway: qm25d did not start: %s\n", qPrintable(gatewaySaid));
        return 1;
    }
    QUdpSocket heard;
    QByteArrayList notes;
    std::int64_t noteAt = 0;
    QObject::connect(&heard, &QUdpSocket::readyRead, [&] {
        while (heard.hasPendingDatagrams()) {
            notes << heard.receiveDatagram().data();
            noteAt = nowNs();
        }
    });
    QTcpSocket controller, raw;
    QByteArray controllerIn, rawIn;
    QObject::connect(&controller, &QTcpSocket::readyRead, [&] { controllerIn += controller.readAll(); });
    QObject::connect(&raw, &QTcpSocket::readyRead, [&] { rawIn += raw.readAll(); });
    controller.bind(QHostAddress("127.0.0.2"));
    controller.connectToHost(QHostAddress::LocalHost, pjlinkPort);
    raw.connectToHost(QHostAddress::LocalHost, rawPort);
    if (!heard.bind(QHostAddress("127.0.0.2"), pjlinkPort) || !waitFor([&] { return controllerIn.startsWith("PJLINK 0\r"); }, 5000)) {
        std::fprintf(stderr, "qm25-bench-gateway: no controller on 127.0.0.2\n");
        return 1;
    }
    controller.write("%1POWR ?\r");  // a controller now; the power read is where changes count from
    waitFor([&] { return controllerIn.contains("POWR="); }, 5000);
    waitFor([] { return false; }, 500);

    std::vector<double> notifyMs, searchMs;
    long missed = 0;
    for (int i = 0; i < changes; ++i) {
        const QByteArray frame = i % 2 ? "C01\r" : "C00\r";
        const qsizetype before = notes.size();
        const std::int64_t sent = nowNs();
        raw.write(frame);
        if (waitFor([&] { return notes.mid(before).join().contains("%2POWR="); }, 3000))
            notifyMs.push_back(toMs(noteAt - sent));
        else
            ++missed;
        waitFor([] { return false; }, 150);
    }
    std::vector<std::unique_ptr<QUdpSocket>> searchers;
    for (int i = 0; i < changes; ++i) {
        auto s = std::make_unique<QUdpSocket>();
        if (!s->bind(QHostAddress(QStringLiteral("127.0.1.%1").arg(i % 250 + 1)), pjlinkPort)) {
            ++missed;
            continue;
        }
        const std::int64_t sent = nowNs();
        s->writeDatagram("%2SRCH\r", QHostAddress::LocalHost, pjlinkPort);
        if (waitFor([&] { return s->hasPendingDatagrams(); }, 3000))
            searchMs.push_back(toMs(nowNs() - sent));
        else
            ++missed;
        waitFor([] { return false; }, 50);
    }
    gateway.terminate();
    sim.terminate();
    gateway.waitForFinished(5000);
    sim.waitForFinished(5000);
    const Summary n = summarise(notifyMs), q = summarise(searchMs);
    std::printf("qm25d, PJLink Class 2 over UDP: %d power changes through the raw port, %d searches\n", changes, changes);
    std::printf("  command to notification  %zu heard: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", n.count, n.p50, n.p99, n.max);
    std::printf("  search to answer         %zu answered: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", q.count, q.p50, q.p99, q.max);
    std::printf("  load average (1 min) %.2f at end; %ld missed\n", loadAverage1(), missed);
    if (!jsonPath.isEmpty()) {
        QFile f(jsonPath);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(QJsonDocument(QJsonObject{{"changes", changes}, {"notify_ms", toJson(n)}, {"search_ms", toJson(q)},
                                              {"missed", qint64(missed)}}).toJson());
    }
    return missed ? 1 : 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int seconds = 60, clients = 50, replyDelayMs = 0;
    bool class2 = false;
    QString jsonPath;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--quick"))
            seconds = 10;
        else if (args[i] == QLatin1String("--class2"))
            class2 = true;
        else if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = std::max(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--clients") && i + 1 < args.size())
            clients = std::clamp(args[++i].toInt(), 1, 64);
        else if (args[i] == QLatin1String("--reply-delay") && i + 1 < args.size())
            replyDelayMs = std::clamp(args[++i].toInt(), 0, 1000);
        else if (args[i] == QLatin1String("--json") && i + 1 < args.size())
            jsonPath = args[++i];
        else {
            std::fprintf(stderr, "usage: qm25-bench-gateway [--quick] [--seconds N] [--clients N] [--reply-delay MS]"
                                 " [--json FILE] | --class2 [--quick] [--json FILE]\n");
            return 2;
        }
    }
    if (class2)
        return class2Run(seconds < 60 ? 40 : 200, jsonPath);

    QTemporaryDir dir;
    const QString trace = dir.filePath(QStringLiteral("trace"));
    QProcess sim, gateway;
    sim.start(QStringLiteral(QM25_SIM_BIN), {"--trace-file", trace, "--delay", QString::number(replyDelayMs)});
    QString simSaid, gatewaySaid;
    const QString device = wordAfter(sim, simSaid, QStringLiteral("QM25_COM1="), 15000, false);
    if (device.isEmpty()) {
        std::fprintf(stderr, "qm25-bench-gateway: the simulator named no device\n");
        return 1;
    }
    gateway.start(QStringLiteral(QM25_GATEWAY_BIN),
                  {"--port", device, "--pjlink", "127.0.0.1:0", "--raw", "127.0.0.1:0", "--retry-ms", "500"});
    const auto said = [&](const char *prefix) {
        return wordAfter(gateway, gatewaySaid, QLatin1String(prefix), 15000, true);
    };
    const quint16 pjlinkPort = quint16(said("PJLink on 127.0.0.1:").toUInt());
    const quint16 rawPort = quint16(said("raw exchanges on 127.0.0.1:").toUInt());
    if (!pjlinkPort || !rawPort || said("line ") != QLatin1String("open:")) {
        std::fprintf(stderr, "qm25-bench-gateway: qm25d did not start on %s: %s\n", qPrintable(device),
                     qPrintable(gatewaySaid));
        return 1;
    }
    const qint64 pid = gateway.processId();

    Tally pj, raw;
    std::vector<std::unique_ptr<Poller>> pollers;
    const QByteArrayList requests{"%1POWR ?\r", "%1ERST ?\r", "%1LAMP ?\r"};
    const QByteArrayList expected{"%1POWR=", "%1ERST=", "%1LAMP="};
    for (int i = 0; i < clients; ++i) {
        auto p = std::make_unique<Poller>();
        Poller *q = p.get();
        QObject::connect(&q->socket, &QTcpSocket::readyRead, [q, &pj] {
            q->in += q->socket.readAll();
            for (qsizetype cr = q->in.indexOf('\r'); cr >= 0; cr = q->in.indexOf('\r')) {
                const QByteArray answer = q->in.left(cr);
                q->in.remove(0, cr + 1);
                if (!q->greeted) {
                    q->greeted = answer == "PJLINK 0";
                    continue;
                }
                if (q->waiting.empty()) {
                    ++pj.wrong;
                    continue;
                }
                const auto [start, sentAt] = q->waiting.front();
                q->waiting.pop_front();
                ++pj.answered;
                pj.answerMs.push_back(toMs(nowNs() - sentAt));
                if (answer.contains("=ERR"))
                    ++pj.errors;
                else if (!answer.startsWith(start))
                    ++pj.wrong;
            }
        });
        q->socket.connectToHost(QHostAddress::LocalHost, pjlinkPort);
        pollers.push_back(std::move(p));
    }
    QTcpSocket rawSocket;
    QByteArray rawIn;
    std::deque<std::int64_t> rawWaiting;
    QObject::connect(&rawSocket, &QTcpSocket::readyRead, [&] {
        rawIn += rawSocket.readAll();
        for (qsizetype cr = rawIn.indexOf('\r'); cr >= 0 && !rawWaiting.empty(); cr = rawIn.indexOf('\r')) {
            const QByteArray reply = rawIn.left(cr);
            rawIn.remove(0, cr + 1);
            ++raw.answered;
            raw.answerMs.push_back(toMs(nowNs() - rawWaiting.front()));
            rawWaiting.pop_front();
            raw.errors += reply == "ERR" || reply.size() != 17;  // "065.0  42.0 027.0"
        }
    });
    rawSocket.connectToHost(QHostAddress::LocalHost, rawPort);

    // Every client connected and greeted before the clock starts.
    QElapsedTimer wait;
    wait.start();
    while (wait.elapsed() < 15000
           && !(rawSocket.state() == QAbstractSocket::ConnectedState
                && std::all_of(pollers.begin(), pollers.end(), [](const auto &p) { return p->greeted; })))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const long rssStartKb = rssKb(pid_t(pid));
    const double cpuStart = processCpuSeconds(pid);
    const LineCount lineStart = countTrace(trace);
    const std::int64_t t0 = nowNs();

    // Each client's second starts at its own place in the second.
    std::vector<std::unique_ptr<QTimer>> timers;
    for (int i = 0; i < clients; ++i) {
        Poller *q = pollers[std::size_t(i)].get();
        auto timer = std::make_unique<QTimer>();
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(1000);
        QObject::connect(timer.get(), &QTimer::timeout, [q, &pj, &requests, &expected] {
            const std::int64_t now = nowNs();
            for (qsizetype k = 0; k < requests.size(); ++k) {
                q->waiting.emplace_back(expected[k], now);
                ++pj.sent;
            }
            q->socket.write(requests.join());
        });
        QTimer::singleShot(i * 1000 / clients, timer.get(), [t = timer.get()] {
            t->start();
            emit t->timeout({});
        });
        timers.push_back(std::move(timer));
    }
    QTimer rawTimer;
    rawTimer.setInterval(1000);
    QObject::connect(&rawTimer, &QTimer::timeout, [&] {
        rawWaiting.push_back(nowNs());
        ++raw.sent;
        rawSocket.write("CR6\r");
    });
    QTimer::singleShot(500, &rawTimer, [&] {
        rawTimer.start();
        emit rawTimer.timeout({});
    });

    QTimer::singleShot(seconds * 1000, &app, [&] {
        for (auto &t : timers)
            t->stop();
        rawTimer.stop();
        // The last answers, then the end.
        QTimer::singleShot(3000, &app, &QCoreApplication::quit);
    });
    app.exec();
    const double wall = toMs(nowNs() - t0) / 1000.0;
    const double cpu = processCpuSeconds(pid) - cpuStart;
    const long rssEndKb = rssKb(pid_t(pid));
    const LineCount line = countTrace(trace);
    const long frames = line.frames - lineStart.frames;
    const long bytes = line.bytes - lineStart.bytes;
    gateway.terminate();
    sim.terminate();
    gateway.waitForFinished(5000);
    sim.waitForFinished(5000);

    const Summary pjs = summarise(pj.answerMs), raws = summarise(raw.answerMs);
    // At 19200 baud, 8N1, a byte takes 10 bits: 1920 bytes a second, one way
    // at a time, as an exchange waits for its reply.
    const double bytesPerExchange = frames ? double(bytes) / double(frames) : 0;
    const double perSecond = double(frames) / double(seconds);
    const double capacity = bytesPerExchange > 0 ? 1920.0 / bytesPerExchange : 0;
    std::printf("qm25d, %d PJLink clients (POWR ?, ERST ?, LAMP ? each second) and a raw client (CR6 each second), %d s,"
                " replies held %d ms\n", clients, seconds, replyDelayMs);
    std::printf("  PJLink requests      %ld sent, %ld answered, %ld error answers, %ld unexpected\n", pj.sent,
                pj.answered, pj.errors, pj.wrong);
    std::printf("  PJLink answer time   p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", pjs.p50, pjs.p99, pjs.max);
    std::printf("  raw exchanges        %ld sent, %ld answered, %ld bad; p50 %.2f ms, p99 %.2f ms\n", raw.sent,
                raw.answered, raw.errors, raws.p50, raws.p99);
    std::printf("  on the line          %.1f exchanges/s, %.1f bytes each; 19200 baud carries %.0f/s of them (%.0f %% used)\n",
                perSecond, bytesPerExchange, capacity, capacity > 0 ? 100.0 * perSecond / capacity : 0.0);
    std::printf("  qm25d                RSS %.1f MB at start, %.1f MB at end; CPU %.2f s in %.0f s (%.1f %%)\n",
                double(rssStartKb) / 1024, double(rssEndKb) / 1024, cpu, wall, 100.0 * cpu / wall);
    std::printf("  load average (1 min) %.2f at end, %d CPUs\n", loadAverage1(), int(sysconf(_SC_NPROCESSORS_ONLN)));
    if (!jsonPath.isEmpty()) {
        QFile f(jsonPath);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(QJsonDocument(QJsonObject{
                {"clients", clients}, {"seconds", seconds}, {"reply_delay_ms", replyDelayMs},
                {"pjlink", QJsonObject{{"sent", qint64(pj.sent)}, {"answered", qint64(pj.answered)},
                                       {"errors", qint64(pj.errors)}, {"unexpected", qint64(pj.wrong)},
                                       {"answer_ms", toJson(pjs)}}},
                {"raw", QJsonObject{{"sent", qint64(raw.sent)}, {"answered", qint64(raw.answered)},
                                    {"bad", qint64(raw.errors)}, {"answer_ms", toJson(raws)}}},
                {"line", QJsonObject{{"exchanges_per_s", perSecond}, {"bytes_per_exchange", bytesPerExchange},
                                     {"exchanges_per_s_at_19200", capacity}}},
                {"qm25d", QJsonObject{{"rss_kb_start", qint64(rssStartKb)}, {"rss_kb_end", qint64(rssEndKb)},
                                      {"cpu_s", cpu}, {"wall_s", wall}}}}).toJson());
    }
    const bool clean = pj.answered == pj.sent && pj.errors == 0 && pj.wrong == 0 && raw.answered == raw.sent && raw.errors == 0;
    std::printf("  %s\n", clean ? "every request answered, no error answers" : "MISSED: not every request had a good answer");
    return clean ? 0 : 1;
}
