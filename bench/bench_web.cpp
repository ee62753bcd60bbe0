// qm25-bench-web: qm25d's web panel under the load of a room full of phones,
// against the simulator, everything on loopback.
//
//   qm25-bench-web [--quick] [--seconds N] [--watchers N] [--posters N] [--json FILE]
//   qm25-bench-web --scrapes [--quick] [--seconds N] [--json FILE]
//
// N watchers (20) behave as the page does: log in, load the page, read the
// status, and hold the live WebSocket open. N posters (5) each send their
// own pair of commands in turn (mute, no show, freeze, volume, size), the
// next 200-600 ms after the answer, for the length of the run (60 s;
// --quick 10 s). Between qm25d and the simulator's TCP port sits a relay
// that notes when each frame and reply passes: the line. Measured: from a
// POST to its frame on the line; from a status reply that differs from the
// one before (a change on the line) to the status update reaching each
// watcher; and qm25d's memory and CPU time at the start and the end.
//
// With --scrapes, Prometheus's side instead: 1000 scrapes of /metrics one
// after another (--quick 200), each from the request to the whole answer,
// and its size; then a scrape every second for the length of the run and
// the frames on the line meanwhile, against what the poll sends by itself.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>
#include <cstdio>
#include <map>
#include <memory>
#include <unistd.h>

#include "bench_util.h"

using namespace qm25::bench;

namespace {

const QByteArray kPassword = "bench-password";

// The line: a relay between qm25d and the simulator that notes each frame
// (qm25d to projector) and each reply, cut at CR, when it passes.
class LineRelay : public QObject {
public:
    std::function<void(const QByteArray &frame, std::int64_t at)> onFrame;
    std::function<void(const QByteArray &frame, const QByteArray &reply, std::int64_t at)> onReply;

    explicit LineRelay(quint16 simPort) : simPort_(simPort)
    {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *down = server_.nextPendingConnection()) {
                auto *up = new QTcpSocket(down);
                up->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                down->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                up->connectToHost(QHostAddress::LocalHost, simPort_);
                QObject::connect(down, &QTcpSocket::readyRead, this, [this, down, up] {
                    const QByteArray bytes = down->readAll();
                    framesIn_ += bytes;
                    for (qsizetype cr; (cr = framesIn_.indexOf('\r')) >= 0;) {
                        lastFrame_ = framesIn_.left(cr);
                        framesIn_.remove(0, cr + 1);
                        if (onFrame)
                            onFrame(lastFrame_, nowNs());
                    }
                    if (up->state() == QAbstractSocket::ConnectedState)
                        up->write(bytes);
                    else
                        pending_ += bytes;
                });
                QObject::connect(up, &QTcpSocket::connected, this, [this, up] { up->write(std::exchange(pending_, {})); });
                QObject::connect(up, &QTcpSocket::readyRead, this, [this, down, up] {
                    const QByteArray bytes = up->readAll();
                    down->write(bytes);
                    repliesIn_ += bytes;
                    for (qsizetype cr; (cr = repliesIn_.indexOf('\r')) >= 0;) {
                        if (onReply)
                            onReply(lastFrame_, repliesIn_.left(cr), nowNs());
                        repliesIn_.remove(0, cr + 1);
                    }
                });
                QObject::connect(down, &QTcpSocket::disconnected, down, &QObject::deleteLater);
            }
        });
    }
    quint16 port() const { return server_.serverPort(); }

private:
    quint16 simPort_;
    QTcpServer server_;
    QByteArray framesIn_, repliesIn_, lastFrame_, pending_;
};

// A browser-like HTTP connection: one request at a time, keep-alive.
struct Browser {
    QTcpSocket socket;
    QByteArray in, cookie, host, authorization;
    std::function<void(int status, const QByteArray &head, const QByteArray &body)> answered;

    explicit Browser(quint16 port) : host("127.0.0.1:" + QByteArray::number(port))
    {
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            in += socket.readAll();
            const qsizetype end = in.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const qsizetype length = in.mid(in.indexOf("Content-Length: ") + 16).split('\r').value(0).toLongLong();
            if (in.size() < end + 4 + length)
                return;
            const QByteArray head = in.left(end), body = in.mid(end + 4, length);
            in.remove(0, end + 4 + length);
            if (answered)
                answered(head.mid(9, 3).toInt(), head, body);
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    void send(const QByteArray &method, const QByteArray &path, const QByteArray &body = {})
    {
        QByteArray r = method + ' ' + path + " HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host
                       + "\r\nSec-Fetch-Site: same-origin\r\nUser-Agent: qm25-bench-web\r\nAccept: */*\r\n";
        if (!cookie.isEmpty())
            r += "Cookie: " + cookie + "\r\n";
        if (!authorization.isEmpty())
            r += "Authorization: " + authorization + "\r\n";
        if (!body.isEmpty())
            r += "Content-Type: application/json\r\n";
        r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        socket.write(r);
    }
    // Sends and waits (the event loop running) for the answer's status.
    int call(const QByteArray &method, const QByteArray &path, const QByteArray &body = {}, QByteArray *head = nullptr)
    {
        int status = 0;
        answered = [&](int s, const QByteArray &h, const QByteArray &) {
            status = s;
            if (head)
                *head = h;
        };
        send(method, path, body);
        QElapsedTimer t;
        t.start();
        while (!status && t.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        answered = nullptr;
        return status;
    }
    bool login()
    {
        QByteArray head;
        if (call("POST", "/api/login", R"({"password":")" + kPassword + "\"}", &head) != 204)
            return false;
        cookie = head.mid(head.indexOf("Set-Cookie: ") + 12).split(';').value(0);
        return !cookie.isEmpty();
    }
};

struct Watcher {
    std::unique_ptr<Browser> browser;
    std::unique_ptr<QWebSocket> socket;
    QJsonObject lastStatus;
    std::vector<std::int64_t> updates;  // when a message with a new status came
    long messages = 0;
};

struct Poster {
    std::unique_ptr<Browser> browser;
    QByteArrayList names, codes;
    int next = 0;
    std::int64_t postedAt = 0;
    QByteArray waitingFor;  // the code whose frame is awaited
    std::map<int, long> statuses;
};

// Prometheus's side: the time to serve /metrics and its size, and the
// frames on the line while it is scraped once a second.
int scrapeRun(quint16 httpPort, qint64 pid, LineRelay &line, int seconds, bool quick, const QString &jsonPath)
{
    const int pollSeconds = 30;  // qm25d's default
    Browser scraper(httpPort);
    scraper.authorization = "Bearer " + kPassword;
    QByteArray body;
    scraper.answered = [&](int, const QByteArray &, const QByteArray &b) { body = b; };
    const auto scrape = [&] {
        body.clear();
        const std::int64_t t = nowNs();
        scraper.send("GET", "/metrics");
        while (body.isEmpty() && nowNs() - t < 10'000'000'000LL)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return nowNs() - t;
    };
    // The first scrape starts the watcher: its round of reads, then the values.
    long frames = 0;
    line.onFrame = [&](const QByteArray &, std::int64_t) { ++frames; };
    scrape();
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const long firstRound = std::exchange(frames, 0);
    scrape();
    if (!body.contains("\nqm25_lamp_time_seconds ")) {
        std::fprintf(stderr, "qm25-bench-web: no lamp time after the first scrape:\n%s\n", body.constData());
        return 1;
    }
    std::vector<double> serve;
    const int count = quick ? 200 : 1000;
    const double cpuStart = processCpuSeconds(pid);
    for (int i = 0; i < count; ++i)
        serve.push_back(toMs(scrape()));
    const double cpuPerScrapeMs = (processCpuSeconds(pid) - cpuStart) * 1000.0 / count;
    const qsizetype size = body.size();
    const long burstFrames = std::exchange(frames, 0);
    // One a second; the poll's rounds meanwhile, five reads each.
    const std::int64_t t0 = nowNs();
    for (int i = 0; i < seconds; ++i) {
        scrape();
        while (nowNs() < t0 + (i + 1) * 1'000'000'000LL)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const Summary s = summarise(serve);
    const int reads = 5;  // a round: power, input, lamp time, temperatures, mute
    std::printf("qm25-bench-web --scrapes: /metrics of %lld bytes\n", qlonglong(size));
    std::printf("  %d scrapes one after another: p50 %.3f ms  p99 %.3f ms  max %.3f ms; qm25d's CPU %.3f ms a scrape;"
                " %ld frames on the line meanwhile\n",
                count, s.p50, s.p99, s.max, cpuPerScrapeMs, burstFrames);
    std::printf("  a scrape a second for %d s: %ld frames on the line, %.1f rounds of %d reads; the poll every %d s makes"
                " at most %d (the first scrape's round before: %ld frames)\n",
                seconds, frames, double(frames) / reads, reads, pollSeconds, seconds / pollSeconds + 1, firstRound);
    if (!jsonPath.isEmpty()) {
        QFile out(jsonPath);
        if (out.open(QIODevice::WriteOnly))
            out.write(QJsonDocument(QJsonObject{{"bytes", double(size)},
                                                {"serve_ms", toJson(s)},
                                                {"cpu_ms_per_scrape", cpuPerScrapeMs},
                                                {"frames_during_burst", double(burstFrames)},
                                                {"seconds", seconds},
                                                {"frames_while_scraped", double(frames)},
                                                {"first_round_frames", double(firstRound)},
                                                {"poll_seconds", pollSeconds}})
                          .toJson());
    }
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int seconds = 60, watcherCount = 20, posterCount = 5;
    bool scrapes = false, quick = false;
    QString jsonPath;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--quick")) {
            seconds = 10;
            quick = true;
        }
        else if (args[i] == QLatin1String("--scrapes"))
            scrapes = true;
        else if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = std::max(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--watchers") && i + 1 < args.size())
            watcherCount = std::clamp(args[++i].toInt(), 1, 60);
        else if (args[i] == QLatin1String("--posters") && i + 1 < args.size())
            posterCount = std::clamp(args[++i].toInt(), 1, 5);
        else if (args[i] == QLatin1String("--json") && i + 1 < args.size())
            jsonPath = args[++i];
        else {
            std::fprintf(stderr, "usage: qm25-bench-web [--scrapes] [--quick] [--seconds N] [--watchers N] [--posters N] [--json FILE]\n");
            return 2;
        }
    }

    QTemporaryDir dir;
    const QString passwordFile = writePasswordFile(dir.path(), kPassword);
    if (passwordFile.isEmpty())
        return 1;
    QProcess sim, gateway;
    QString simSaid, gatewaySaid;
    sim.start(QStringLiteral(QM25_SIM_BIN), {"--tcp", "127.0.0.1:0", "--warmup-ms", "1000"});
    const quint16 simPort = quint16(wordAfter(sim, simSaid, QStringLiteral("QM25_COM1=tcp://127.0.0.1:"), 15000, false).toUInt());
    if (!simPort) {
        std::fprintf(stderr, "qm25-bench-web: the simulator did not start: %s\n", qPrintable(simSaid));
        return 1;
    }
    LineRelay line(simPort);
    gateway.start(QStringLiteral(QM25_GATEWAY_BIN),
                  {"--port", QStringLiteral("tcp://127.0.0.1:%1").arg(line.port()), "--pjlink", "127.0.0.1:0", "--http",
                   "127.0.0.1:0", "--password-file", passwordFile});
    const quint16 httpPort = quint16(wordAfter(gateway, gatewaySaid, QStringLiteral("HTTP on 127.0.0.1:"), 15000, true).toUInt());
    if (!httpPort) {
        std::fprintf(stderr, "qm25-bench-web: qm25d did not start: %s\n", qPrintable(gatewaySaid));
        return 1;
    }
    const qint64 pid = gateway.processId();
    if (scrapes) {
        const int status = scrapeRun(httpPort, pid, line, seconds, quick, jsonPath);
        gateway.terminate();
        sim.terminate();
        gateway.waitForFinished(5000);
        sim.waitForFinished(5000);
        return status;
    }

    // The projector on, so that every command is carried out.
    Browser admin(httpPort);
    if (!admin.login() || admin.call("POST", "/api/commands/power%20on") != 200) {
        std::fprintf(stderr, "qm25-bench-web: cannot log in and switch on: %s\n", qPrintable(gatewaySaid));
        return 1;
    }
    QElapsedTimer warm;
    warm.start();
    while (warm.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    // The watchers, as the page: log in, the page and its files, the status, the live connection.
    std::vector<std::unique_ptr<Watcher>> watchers;
    for (int i = 0; i < watcherCount; ++i) {
        auto w = std::make_unique<Watcher>();
        w->browser = std::make_unique<Browser>(httpPort);
        if (!w->browser->login() || w->browser->call("GET", "/") != 200 || w->browser->call("GET", "/panel.js") != 200
            || w->browser->call("GET", "/api/status") != 200) {
            std::fprintf(stderr, "qm25-bench-web: a watcher could not load the page\n");
            return 1;
        }
        Watcher *q = w.get();
        q->socket = std::make_unique<QWebSocket>(QStringLiteral("http://127.0.0.1:%1").arg(httpPort));
        QObject::connect(q->socket.get(), &QWebSocket::textMessageReceived, [q](const QString &text) {
            const std::int64_t at = nowNs();
            ++q->messages;
            const QJsonObject status = QJsonDocument::fromJson(text.toUtf8()).object().value("status").toObject();
            if (!q->lastStatus.isEmpty() && status != q->lastStatus)
                q->updates.push_back(at);
            q->lastStatus = status;
        });
        QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/live").arg(httpPort)));
        request.setRawHeader("Cookie", q->browser->cookie);
        q->socket->open(request);
        watchers.push_back(std::move(w));
    }
    QElapsedTimer wait;
    wait.start();
    const auto allLive = [&] {
        return std::all_of(watchers.begin(), watchers.end(), [](const auto &w) { return w->messages > 0; });
    };
    while (wait.elapsed() < 15000 && !allLive())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (!allLive()) {
        std::fprintf(stderr, "qm25-bench-web: not every watcher got the live status\n");
        return 1;
    }

    // The posters, each with a pair of commands of its own.
    const QByteArrayList pairs[] = {{"mute%20on", "mute%20off"}, {"noshow%20on", "noshow%20off"},
                                    {"freeze%20on", "freeze%20off"}, {"volume%20up", "volume%20down"},
                                    {"size%20regular", "size%20wide"}};
    const QByteArrayList codes[] = {{"C0B", "C0C"}, {"C0D", "C0E"}, {"C43", "C44"}, {"C09", "C0A"}, {"C0F", "C10"}};
    std::vector<std::unique_ptr<Poster>> posters;
    std::vector<double> postToFrame, changeToUpdate;
    long posts = 0, answers = 0;
    bool running = true;
    for (int i = 0; i < posterCount; ++i) {
        auto p = std::make_unique<Poster>();
        p->browser = std::make_unique<Browser>(httpPort);
        if (!p->browser->login())
            return 1;
        p->names = pairs[i];
        p->codes = codes[i];
        posters.push_back(std::move(p));
    }
    const auto post = [&](Poster *p) {
        if (!running)
            return;
        p->postedAt = nowNs();
        p->waitingFor = p->codes[p->next];
        p->browser->send("POST", "/api/commands/" + p->names[p->next]);
        p->next ^= 1;
        ++posts;
    };
    for (auto &p : posters) {
        Poster *q = p.get();
        q->browser->answered = [&, q](int status, const QByteArray &, const QByteArray &) {
            ++answers;
            ++q->statuses[status];
            QTimer::singleShot(200 + int(QRandomGenerator::global()->bounded(400)), [&, q] { post(q); });
        };
    }
    std::vector<std::int64_t> changes;
    std::map<QByteArray, QByteArray> lastReply;
    line.onFrame = [&](const QByteArray &frame, std::int64_t at) {
        for (auto &p : posters)
            if (p->waitingFor == frame) {
                postToFrame.push_back(toMs(at - p->postedAt));
                p->waitingFor.clear();
            }
    };
    line.onReply = [&](const QByteArray &frame, const QByteArray &reply, std::int64_t at) {
        if (!frame.startsWith("CR"))
            return;
        const auto it = lastReply.find(frame);
        if (it != lastReply.end() && it->second != reply)
            changes.push_back(at);
        lastReply[frame] = reply;
    };

    const long rssStartKb = rssKb(pid_t(pid));
    const double cpuStart = processCpuSeconds(pid);
    const std::int64_t t0 = nowNs();
    for (auto &p : posters)
        post(p.get());
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < seconds * 1000LL)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    running = false;
    QElapsedTimer drain;
    drain.start();
    while (drain.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const double cpuEnd = processCpuSeconds(pid);
    const long rssEndKb = rssKb(pid_t(pid));
    const double runSeconds = toMs(nowNs() - t0) / 1000.0;

    // Each change on the line, to the first update after it at each watcher.
    long unmatched = 0;
    for (const std::int64_t change : changes)
        for (const auto &w : watchers) {
            const auto it = std::lower_bound(w->updates.begin(), w->updates.end(), change);
            if (it == w->updates.end())
                ++unmatched;
            else
                changeToUpdate.push_back(toMs(*it - change));
        }
    std::map<int, long> statuses;
    for (const auto &p : posters)
        for (const auto &[s, n] : p->statuses)
            statuses[s] += n;
    QString statusText;
    for (const auto &[s, n] : statuses)
        statusText += QStringLiteral("%1 x%2 ").arg(s).arg(n);

    const Summary post2frame = summarise(postToFrame), change2update = summarise(changeToUpdate);
    std::printf("qm25-bench-web: %d watchers, %d posters, %.0f s\n", watcherCount, posterCount, runSeconds);
    std::printf("  POSTs %ld, answered %ld (%s)\n", posts, answers, qPrintable(statusText.trimmed()));
    std::printf("  POST to frame on the line: n %zu  p50 %.2f ms  p99 %.2f ms  max %.2f ms\n", postToFrame.size(),
                post2frame.p50, post2frame.p99, post2frame.max);
    std::printf("  status change on the line to a watcher's update: %zu changes, n %zu  p50 %.2f ms  p99 %.2f ms  max %.2f ms"
                "  (%ld not followed by one)\n",
                changes.size(), changeToUpdate.size(), change2update.p50, change2update.p99, change2update.max, unmatched);
    std::printf("  qm25d RSS %.1f MB at the start, %.1f MB at the end; CPU %.2f s in %.0f s (%.1f %% of one core)\n",
                double(rssStartKb) / 1024, double(rssEndKb) / 1024, cpuEnd - cpuStart, runSeconds,
                100.0 * (cpuEnd - cpuStart) / runSeconds);
    if (!jsonPath.isEmpty()) {
        QFile out(jsonPath);
        if (out.open(QIODevice::WriteOnly))
            out.write(QJsonDocument(QJsonObject{{"watchers", watcherCount},
                                                {"posters", posterCount},
                                                {"seconds", runSeconds},
                                                {"posts", double(posts)},
                                                {"answers", double(answers)},
                                                {"post_to_frame_ms", toJson(post2frame)},
                                                {"change_to_update_ms", toJson(change2update)},
                                                {"changes", double(changes.size())},
                                                {"unmatched", double(unmatched)},
                                                {"rss_start_kb", double(rssStartKb)},
                                                {"rss_end_kb", double(rssEndKb)},
                                                {"cpu_seconds", cpuEnd - cpuStart}})
                          .toJson());
    }
    for (auto &w : watchers)
        w->socket->close();
    gateway.terminate();
    sim.terminate();
    gateway.waitForFinished(5000);
    sim.waitForFinished(5000);
    return 0;
}
