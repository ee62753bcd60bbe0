// qm25-bench-abuse: qm25d under clients that attack it, on loopback, and
// what it costs qm25d: its memory, and what it writes to its log.
//
//   qm25-bench-abuse [--quick] [--seconds N] [--qm25d PATH] [--json FILE]
//
// Three runs, one after another, each against a qm25d of its own with a
// password and the web panel (no projector needed):
//  - unread answers: 10 HTTP connections each send GET / every 20 ms and
//    never read an answer, for N seconds (40; --quick 10) (two requests that
//    reach qm25d together close the connection that sent them: a busy
//    machine ends some of these clients early, before as after);
//  - pings: 3 live connections (WebSockets) send pings as fast as they can
//    and never read the pongs, for N / 4 seconds;
//  - guessing: one client tries wrong PJLink digests, one connection after
//    another, as fast as qm25d lets it, and bearer tokens at the web panel
//    in between, for 10 s.
// Reported: qm25d's RSS before, at the end and after the clients left; the
// requests sent and the connections qm25d ended; the tries judged (PJLINK
// ERRA, 401) and refused (closed before the greeting, 429); the bytes qm25d
// logged. --qm25d runs another build of qm25d (an older one, to compare).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench_util.h"

using namespace qm25::bench;

namespace {

const QByteArray kPassword = "bench-password";

void spin(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// qm25d with a password and the web panel on free ports; its log goes to a
// file, so that no pipe holds it back however much it says.
struct Daemon {
    QProcess process;
    QString logPath;
    quint16 http = 0, pjlink = 0;
    Daemon(const QString &program, const QString &passwordFile)
        : logPath(QFileInfo(passwordFile).dir().filePath(QStringLiteral("qm25d-%1.log").arg(nowNs())))
    {
        process.setStandardErrorFile(logPath);
        process.start(program, {"--port", "/nonexistent/qm25", "--pjlink", "127.0.0.1:0", "--http", "127.0.0.1:0",
                                "--password-file", passwordFile});
        for (int i = 0; i < 150 && !http; ++i, spin(100)) {
            const QString said = log();
            http = quint16(said.section(QStringLiteral("HTTP on 127.0.0.1:"), 1).section(' ', 0, 0).toUInt());
            pjlink = quint16(said.section(QStringLiteral("PJLink on 127.0.0.1:"), 1).section(' ', 0, 0).toUInt());
        }
    }
    ~Daemon()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
    long rss() { return rssKb(pid_t(process.processId())); }
    QString log()
    {
        QFile f(logPath);
        return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
    }
    qint64 logBytes() { return QFileInfo(logPath).size(); }
};

// A connection that takes nothing in: Qt reads at most a byte of it, and
// TCP's window toward it stays small.
std::unique_ptr<QTcpSocket> nonReader(quint16 port)
{
    auto s = std::make_unique<QTcpSocket>();
    s->setReadBufferSize(1);
    s->connectToHost(QHostAddress::LocalHost, port);
    if (s->waitForConnected(10000)) {
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        s->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    }
    return s;
}

QJsonObject memory(long before, long end, long after)
{
    std::printf("  qm25d RSS %.1f MB before, %.1f MB at the end, %.1f MB after the clients left\n", double(before) / 1024,
                double(end) / 1024, double(after) / 1024);
    return {{"rss_before_kb", double(before)}, {"rss_end_kb", double(end)}, {"rss_after_kb", double(after)}};
}

QJsonObject unreadAnswers(const QString &program, const QString &passwordFile, int seconds)
{
    Daemon d(program, passwordFile);
    spin(1000);
    const long before = d.rss();
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 10; ++i)
        clients.push_back(nonReader(d.http));
    long sent = 0;
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < seconds * 1000LL) {
        for (auto &c : clients)
            if (c->state() == QAbstractSocket::ConnectedState && c->write("GET / HTTP/1.1\r\nHost: x\r\n\r\n") > 0)
                ++sent;
        spin(20);
    }
    const long end = d.rss();
    spin(12000);  // time for a client that took nothing to be cut off
    const QString said = d.log();
    const long ended = said.count(QStringLiteral("took none of the")) + said.count(QStringLiteral("one request at a time"));
    clients.clear();
    spin(1000);
    std::printf("unread answers: 10 connections, GET / every 20 ms, %d s: %ld requests sent, %ld connections ended by qm25d\n",
                seconds, sent, ended);
    QJsonObject o = memory(before, end, d.rss());
    o["requests"] = double(sent);
    o["ended"] = double(ended);
    return o;
}

QJsonObject pings(const QString &program, const QString &passwordFile, int seconds)
{
    Daemon d(program, passwordFile);
    spin(500);
    const long before = d.rss();
    const QByteArray upgrade = "GET /api/live HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + kPassword
                               + "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    // Masked pings of 125 bytes, each answered by a pong of as many.
    const QByteArray chunk = (QByteArray("\x89\xfd\0\0\0\0", 6) + QByteArray(125, 'p')).repeated(2000);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(nonReader(d.http));
        clients.back()->write(upgrade);
    }
    spin(500);
    double mb = 0;
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < seconds * 1000LL) {
        for (auto &c : clients)
            if (c->state() == QAbstractSocket::ConnectedState && c->bytesToWrite() < chunk.size()) {
                c->write(chunk);
                mb += double(chunk.size()) / 1e6;
            }
        spin(1);
    }
    const long end = d.rss();
    const long cut = std::count_if(clients.begin(), clients.end(),
                                   [](const auto &c) { return c->state() != QAbstractSocket::ConnectedState; });
    clients.clear();
    spin(1000);
    std::printf("pings: 3 live connections, %d s: %.0f MB of pings sent, %ld cut off by qm25d\n", seconds, mb, cut);
    QJsonObject o = memory(before, end, d.rss());
    o["ping_mb"] = mb;
    o["cut_off"] = double(cut);
    return o;
}

QJsonObject guessing(const QString &program, const QString &passwordFile, int seconds)
{
    Daemon d(program, passwordFile);
    spin(500);
    long judged = 0, refused = 0, webJudged = 0, webRefused = 0;
    QElapsedTimer run;
    run.start();
    while (run.elapsed() < seconds * 1000LL) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, d.pjlink);
        s.write(QByteArray(32, '0') + "%1POWR ?\r");  // a wrong digest, sent before the greeting comes
        QByteArray in;
        while (s.state() != QAbstractSocket::UnconnectedState && s.waitForReadyRead(2000))
            in += s.readAll();
        in += s.readAll();
        (in.contains("PJLINK ERRA") ? judged : refused)++;
        if ((judged + refused) % 20 == 0) {
            QTcpSocket w;
            w.connectToHost(QHostAddress::LocalHost, d.http);
            w.write("GET /api/status HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer guess\r\nConnection: close\r\n\r\n");
            QByteArray answer;
            while (w.state() != QAbstractSocket::UnconnectedState && w.waitForReadyRead(2000))
                answer += w.readAll();
            (answer.startsWith("HTTP/1.1 429") ? webRefused : webJudged)++;
        }
    }
    const qint64 logged = d.logBytes();
    std::printf("guessing: %d s of wrong passwords from one address: PJLink %ld judged, %ld refused; "
                "web %ld judged, %ld refused; qm25d log %lld bytes\n",
                seconds, judged, refused, webJudged, webRefused, logged);
    return {{"pjlink_judged", double(judged)}, {"pjlink_refused", double(refused)}, {"web_judged", double(webJudged)},
            {"web_refused", double(webRefused)}, {"log_bytes", double(logged)}};
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int seconds = 40;
    QString program = QStringLiteral(QM25_GATEWAY_BIN), jsonPath;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--quick"))
            seconds = 10;
        else if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = std::max(4, args[++i].toInt());
        else if (args[i] == QLatin1String("--qm25d") && i + 1 < args.size())
            program = args[++i];
        else if (args[i] == QLatin1String("--json") && i + 1 < args.size())
            jsonPath = args[++i];
        else {
            std::fprintf(stderr, "usage: qm25-bench-abuse [--quick] [--seconds N] [--qm25d PATH] [--json FILE]\n");
            return 2;
        }
    }
    QTemporaryDir dir;
    const QString passwordFile = writePasswordFile(dir.path(), kPassword);
    if (passwordFile.isEmpty())
        return 1;
    std::printf("qm25-bench-abuse: %s\n", qPrintable(program));
    const QJsonObject results{{"unread_answers", unreadAnswers(program, passwordFile, seconds)},
                              {"pings", pings(program, passwordFile, std::max(2, seconds / 4))},
                              {"guessing", guessing(program, passwordFile, 10)}};
    if (!jsonPath.isEmpty()) {
        QFile out(jsonPath);
        if (out.open(QIODevice::WriteOnly))
            out.write(QJsonDocument(results).toJson());
    }
    return 0;
}
