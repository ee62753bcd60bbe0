// qm25-bench-mqtt: the fleet drill. A building of projectors on one
// machine: one Mosquitto broker, N simulators on pseudo-terminals and N
// qm25d gateways on them, everything on loopback.
//
//   qm25-bench-mqtt [--count N] [--quick] [--idle-seconds S] [--json FILE]
//
// Measured, with the bench's own MQTT client watching qm25/#:
//   - from starting the gateways until all N are online with a first state;
//   - idle (each gateway polling its projector every 30 s): RSS and PSS per
//     gateway, the whole fleet's CPU (gateways, simulators, broker) over S
//     seconds;
//   - one "power on" to qm25/group/all/set/, and once all are on, one
//     "power off": from the publish to each simulator seeing its frame (its
//     trace line as read here, so a little late), and until every state
//     says on / stand-by; none missed; the fleet's CPU meanwhile;
//   - the broker killed and restarted: until all N are online again, and a
//     second group command reaches all N.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

#include "bench_util.h"
#include "mqtt/broker_link.h"

using namespace qm25::bench;
using qm25::mqtt::BrokerLink;

namespace {

struct Projector {
    QProcess *sim = nullptr;
    QProcess *gateway = nullptr;
    QString device;
    QByteArray simOut;
    std::int64_t frameAt = 0;  // when the frame being waited for was seen
    QString power;             // from BASE/ID/power
    bool online = false;
    bool hasState = false;
};

quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// Runs the event loop until `done` holds or `timeoutMs` passes; the time it took, in ms, or -1.
double waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const std::int64_t start = nowNs();
    while (!done()) {
        if (nowNs() - start > std::int64_t(timeoutMs) * 1000000)
            return -1;
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return toMs(nowNs() - start);
}

// Proportional set size: the process's own memory, and its share of the
// library pages it maps with the others; -1 when unreadable.
double pssMb(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("Pss:"))
            return line.mid(4).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

double fleetCpuSeconds(const std::vector<Projector> &fleet, const QProcess &broker)
{
    double s = processCpuSeconds(broker.processId());
    for (const Projector &p : fleet)
        s += processCpuSeconds(p.sim->processId()) + processCpuSeconds(p.gateway->processId());
    return s;
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int count = 100, idleSeconds = 60;
    QString jsonPath;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--quick"))
            count = 10, idleSeconds = 10;
        else if (args[i] == QLatin1String("--count") && i + 1 < args.size())
            count = args[++i].toInt();
        else if (args[i] == QLatin1String("--idle-seconds") && i + 1 < args.size())
            idleSeconds = args[++i].toInt();
        else if (args[i] == QLatin1String("--json") && i + 1 < args.size())
            jsonPath = args[++i];
        else {
            std::fprintf(stderr, "usage: qm25-bench-mqtt [--count N] [--quick] [--idle-seconds S] [--json FILE]\n");
            return 2;
        }
    }
    // Three or four descriptors for each of 2N children.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    QTemporaryDir dir;
    const quint16 port = freePort();
    QFile conf(dir.filePath("mosquitto.conf"));
    if (!conf.open(QIODevice::WriteOnly))
        return 1;
    conf.write(QStringLiteral("user root\npersistence false\nallow_anonymous true\nlog_type error\nlistener %1 127.0.0.1\n")
                   .arg(port).toUtf8());
    conf.close();
    QProcess broker;
    const QString mosquitto = QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/bin"});
    const auto startBroker = [&] {
        broker.start(mosquitto, {"-c", conf.fileName()});
        return broker.waitForStarted();
    };
    if (mosquitto.isEmpty() || !startBroker()) {
        std::fprintf(stderr, "qm25-bench-mqtt: cannot start mosquitto (scripts/setup.sh installs it)\n");
        return 1;
    }

    std::vector<Projector> fleet(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        Projector &p = fleet[i];
        p.sim = new QProcess(&app);
        p.sim->setProcessChannelMode(QProcess::MergedChannels);
        p.sim->start(QStringLiteral(QM25_SIM_BIN), {"--warmup-ms", "1000", "--cooldown-ms", "1000", "--trace"});
        QObject::connect(p.sim, &QProcess::readyRead, [&p] {
            const std::int64_t at = nowNs();
            p.simOut += p.sim->readAll();
            for (qsizetype end; (end = p.simOut.indexOf('\n')) >= 0; p.simOut.remove(0, end + 1)) {
                const QByteArray line = p.simOut.left(end);
                if (line.startsWith("QM25_COM1="))
                    p.device = QString::fromUtf8(line.mid(10));
                else if (!p.frameAt && (line.contains("in  \"C00") || line.contains("in  \"C01")))
                    p.frameAt = at;
            }
        });
    }
    if (waitUntil([&] { return std::all_of(fleet.begin(), fleet.end(), [](auto &p) { return !p.device.isEmpty(); }); },
                  60000) < 0) {
        std::fprintf(stderr, "qm25-bench-mqtt: not every simulator started\n");
        return 1;
    }

    // The bench's own client, watching availability and the power of every gateway.
    std::unique_ptr<BrokerLink> watcher;
    std::map<QString, Projector *> byId;
    const auto watch = [&] {
        watcher = std::make_unique<BrokerLink>(BrokerLink::Settings{{"127.0.0.1", port, false}, "qm25-bench", {}, {}, {}, {}, {}});
        QObject::connect(watcher.get(), &BrokerLink::connected, [&] {
            watcher->subscribe({"qm25/+/availability", "qm25/+/power", "qm25/+/state"});
        });
        QObject::connect(watcher.get(), &BrokerLink::message, [&](const QString &topic, const QByteArray &payload) {
            Projector *p = byId[topic.section('/', 1, 1)];
            const QString leaf = topic.section('/', 2);
            if (!p)
                return;
            if (leaf == QLatin1String("availability"))
                p->online = payload == "online";
            else if (leaf == QLatin1String("power"))
                p->power = QString::fromUtf8(payload);
            else if (leaf == QLatin1String("state"))
                p->hasState = !QJsonDocument::fromJson(payload)["status"]["power"].isNull();
        });
        QString error;
        watcher->start(&error);
    };
    watch();

    const std::int64_t launch = nowNs();
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        Projector &p = fleet[i];
        const QString name = QStringLiteral("drill-%1").arg(i, 3, 10, QLatin1Char('0'));
        byId[name] = &p;
        p.gateway = new QProcess(&app);
        p.gateway->setStandardInputFile(QProcess::nullDevice());
        p.gateway->setStandardOutputFile(QProcess::nullDevice());
        p.gateway->setStandardErrorFile(dir.filePath(name + ".log"));
        p.gateway->start(QStringLiteral(QM25_GATEWAY_BIN), {"--port", p.device, "--name", name, "--pjlink", "127.0.0.1:0", "--mqtt",
                                             QStringLiteral("mqtt://127.0.0.1:%1").arg(port)});
    }
    const auto all = [&](auto pred) { return std::all_of(fleet.begin(), fleet.end(), pred); };
    waitUntil([&] { return all([](auto &p) { return p.online && p.hasState; }); }, 120000);
    const double onlineMs = toMs(nowNs() - launch);
    const long onlineCount = std::count_if(fleet.begin(), fleet.end(), [](auto &p) { return p.online && p.hasState; });

    // Idle: polling every 30 s.
    waitUntil([] { return false; }, 2000);
    const double idleCpu0 = fleetCpuSeconds(fleet, broker);
    const std::int64_t idle0 = nowNs();
    waitUntil([] { return false; }, idleSeconds * 1000);
    const double idleCpu = (fleetCpuSeconds(fleet, broker) - idleCpu0) / (toMs(nowNs() - idle0) / 1000.0) * 100.0;
    std::vector<double> rss, pss;
    for (const Projector &p : fleet) {
        rss.push_back(double(rssKb(pid_t(p.gateway->processId()))) / 1024.0);
        pss.push_back(pssMb(p.gateway->processId()));
    }
    const Summary rssMb = summarise(rss), pssOf = summarise(pss);

    // A group command: from the publish to each frame, and to every state.
    struct Drill {
        Summary frames;
        long reached = 0;
        double stateMs = -1;
        double cpu = 0;
    };
    const auto groupCommand = [&](const char *name, const char *powerAfter) {
        Drill d;
        for (Projector &p : fleet)
            p.frameAt = 0;
        const double cpu0 = fleetCpuSeconds(fleet, broker);
        const std::int64_t sent = nowNs();
        watcher->publish(QStringLiteral("qm25/group/all/set/%1").arg(QLatin1String(name)), {}, false);
        d.stateMs = waitUntil([&] { return all([&](auto &p) { return p.power == QLatin1String(powerAfter); }); }, 60000);
        waitUntil([&] { return all([](auto &p) { return p.frameAt != 0; }); }, 5000);
        d.cpu = (fleetCpuSeconds(fleet, broker) - cpu0) / (toMs(nowNs() - sent) / 1000.0) * 100.0;
        std::vector<double> ms;
        for (const Projector &p : fleet)
            if (p.frameAt)
                ms.push_back(toMs(p.frameAt - sent));
        d.reached = long(ms.size());
        d.frames = summarise(ms);
        return d;
    };
    const Drill on = groupCommand("power on", "on");
    const Drill off = groupCommand("power off", "standby");

    // The broker killed and restarted.
    broker.kill();
    broker.waitForFinished();
    for (Projector &p : fleet)
        p.online = false;
    waitUntil([] { return false; }, 1000);
    startBroker();
    const std::int64_t restarted = nowNs();
    watch();
    const double backMs = waitUntil([&] { return all([](auto &p) { return p.online; }); }, 120000);
    const Drill again = groupCommand("power on", "on");

    const auto line = [](const char *what, const Drill &d, int n) {
        std::printf("  %-22s %ld of %d frames: p50 %.1f ms, p99 %.1f ms, max %.1f ms; every state %s after %.0f ms;"
                    " fleet CPU %.0f %% of one core\n",
                    what, d.reached, n, d.frames.p50, d.frames.p99, d.frames.max, d.reached == n ? "changed" : "NOT",
                    d.stateMs, d.cpu);
    };
    std::printf("Fleet drill: %d gateways and simulators, one Mosquitto, loopback\n", count);
    std::printf("  online with a state    %ld of %d after %.0f ms\n", onlineCount, count, onlineMs);
    std::printf("  idle, %d s              fleet CPU %.1f %% of one core; gateway RSS mean %.2f MB, max %.2f MB;"
                " PSS mean %.2f MB\n", idleSeconds, idleCpu, rssMb.mean, rssMb.max, pssOf.mean);
    line("group power on", on, count);
    line("group power off", off, count);
    std::printf("  broker restarted       all online again after %.0f ms (from the restart)\n", backMs);
    line("then group power on", again, count);
    std::printf("  load average (1 min)   %.2f at end, %d CPUs\n", loadAverage1(), int(sysconf(_SC_NPROCESSORS_ONLN)));
    (void)restarted;

    if (!jsonPath.isEmpty()) {
        const auto drill = [](const Drill &d) {
            return QJsonObject{{"frames_ms", toJson(d.frames)}, {"reached", double(d.reached)}, {"state_ms", d.stateMs},
                               {"cpu_percent", d.cpu}};
        };
        QFile f(jsonPath);
        if (f.open(QIODevice::WriteOnly))
            f.write(QJsonDocument(QJsonObject{{"count", count}, {"online_ms", onlineMs}, {"online", double(onlineCount)},
                                              {"idle_cpu_percent", idleCpu}, {"rss_mb", toJson(rssMb)}, {"pss_mb", toJson(pssOf)},
                                              {"power_on", drill(on)}, {"power_off", drill(off)},
                                              {"broker_restart_ms", backMs}, {"after_restart", drill(again)},
                                              {"load_average", loadAverage1()}})
                        .toJson());
    }
    for (Projector &p : fleet) {
        p.gateway->terminate();
        p.sim->terminate();
    }
    for (Projector &p : fleet) {
        if (!p.gateway->waitForFinished(5000))
            p.gateway->kill();
        if (!p.sim->waitForFinished(5000))
            p.sim->kill();
    }
    broker.kill();
    broker.waitForFinished();
    const bool clean = onlineCount == count && on.reached == count && off.reached == count && again.reached == count
                       && backMs >= 0;
    std::printf("  %s\n", clean ? "none missed" : "MISSED: not every gateway took part in every step");
    return clean ? 0 : 1;
}
