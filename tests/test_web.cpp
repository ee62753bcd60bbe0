// qm25d's HTTP API as a program, on the simulator: the status codes of its
// answers, the password as a bearer token and as the page's session cookie,
// the origin check, requests that break the rules and clients that take
// nothing, on loopback; the whole panel's sessions and their bounds; the
// guard's verdict on a request's bytes and where a request comes from,
// without the network; and the metrics, scraped by Debian's Prometheus.
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include "support/gateway_process.h"
#include "support/sim_process.h"
#include "web/access.h"
#include "web/http_guard.h"

using qm25::test::Gatewayd;
using qm25::test::SimProcess;

namespace {

struct Answer {
    int status = 0;  // 0: the connection closed without one
    QByteArray head, body;
    bool closed = false;  // the connection closed after it
};

// One request as raw bytes on a connection of its own.
Answer exchange(quint16 port, const QByteArray &bytes, int waitMs = 10000)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    s.write(bytes);
    QByteArray in;
    const auto whole = [&] {
        const qsizetype end = in.indexOf("\r\n\r\n");
        const qsizetype length = in.mid(in.indexOf("Content-Length: ") + 16).split('\r').value(0).toLongLong();
        return end >= 0 && in.size() >= end + 4 + length;
    };
    const auto closed = [&] { return s.state() == QAbstractSocket::UnconnectedState; };
    (void)QTest::qWaitFor([&] { return ((in += s.readAll()), whole() && in.contains("Connection: close") == closed()) || closed(); }, waitMs);
    const qsizetype end = in.contains("\r\n\r\n") ? in.indexOf("\r\n\r\n") : in.size();  // all of it when no HTTP
    return {in.startsWith("HTTP/1.1 ") ? in.mid(9, 3).toInt() : 0, in.left(end), in.mid(end + 4), closed()};
}

// A request with the given extra header lines ("Name: value", "|" between).
Answer request(quint16 port, const QByteArray &method, const QByteArray &path, const QByteArray &headers = {},
               const QByteArray &body = {})
{
    QByteArray bytes = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    for (const QByteArray &h : headers.split('|'))
        if (!h.trimmed().isEmpty())
            bytes += h.trimmed() + "\r\n";
    if (!body.isEmpty())
        bytes += QByteArray("Content-Type: ") + (body.startsWith('{') ? "application/json" : "application/x-www-form-urlencoded")
                 + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    return exchange(port, bytes + "\r\n" + body);
}

long rssKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    return status.open(QIODevice::ReadOnly) ? QString(status.readAll()).section("VmRSS:", 1).trimmed().section(' ', 0, 0).toLong() : -1;
}

const QByteArray kBearer = "Authorization: Bearer Room-101";
const QByteArray kUpgrade = "Connection: Upgrade|Upgrade: websocket|Sec-WebSocket-Version: 13|Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==";

// A whole panel's session, by the password as a bearer token from the
// page's own origin; what it hears, in order.
struct Panel {
    explicit Panel(quint16 port)
    {
        QNetworkRequest r(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/panel").arg(port)));
        r.setRawHeader("Authorization", "Bearer Room-101");
        r.setRawHeader("Origin", "http://127.0.0.1:" + QByteArray::number(port));
        QObject::connect(&ws, &QWebSocket::textMessageReceived, [this](const QString &m) { heard += m + '\n'; });
        ws.open(r);
    }
    bool open()
    {
        (void)QTest::qWaitFor([&] { return ws.state() != QAbstractSocket::ConnectingState; }, 10000);
        return ws.state() == QAbstractSocket::ConnectedState;
    }
    bool hears(const QString &piece) { return QTest::qWaitFor([&] { return heard.contains(piece); }, 10000); }
    bool closed() { return QTest::qWaitFor([&] { return ws.state() == QAbstractSocket::UnconnectedState; }, 10000); }
    QWebSocket ws;
    QString heard;
};

}  // namespace

class WebTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    std::unique_ptr<SimProcess> sim_;
    std::unique_ptr<Gatewayd> d_;

private slots:
    void initTestCase()
    {
        QFile file(dir_.filePath("password"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("Room-101\n") && file.flush());
        sim_ = std::make_unique<SimProcess>(QStringList{"--warmup-ms", "60000"});
        QVERIFY2(sim_->ok(), qPrintable(sim_->failure()));
        d_ = std::make_unique<Gatewayd>(QStringList{"--port", sim_->devicePath(), "--http", "127.0.0.1:0",
                                                    "--password-file", file.fileName()});
        QVERIFY(d_->http && d_->waitForLog("line open"));
    }

    // In order: the projector is switched on halfway.
    void api_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("says");  // pieces of the body, "|" between
        const auto row = [](const char *name, const char *method, const char *path, const QByteArray &headers,
                            int status, const char *says) {
            QTest::newRow(name) << QByteArray(method) << QByteArray(path) << headers << status << QByteArray(says);
        };
        row("no password", "GET", "/api/status", "", 401, R"("error":"password needed")");
        row("wrong bearer", "GET", "/api/status", "Authorization: Bearer room-101", 401, "wrong password");
        row("metrics", "GET", "/metrics", kBearer, 200, "\nqm25_line_up 1\n|qm25_auth_failures_total{front_door=\"web\"} 1\n"
            "|qm25_requests_refused_total{front_door=\"web\",reason=\"no_password\"} 1\n|# TYPE qm25_exchanges_total counter\n");
        row("status", "GET", "/api/status", kBearer, 200, R"("power":{"all_lamps_failed":false,"code":"80",)");
        row("catalogue", "GET", "/api/commands", kBearer, 200, R"({"code":"C00","description":"Power on","kind":"action")");
        row("unknown command", "POST", "/api/commands/power%20up", kBearer, 400, R"(unknown command \"power up\")");
        row("refused in stand-by", "POST", "/api/commands/input%20pc1", kBearer, 409,
            R"("decoded":"","frame":"C05\r","ms":)");
        row("another site's page", "POST", "/api/commands/power%20on", kBearer + "|Origin: http://192.0.2.9", 403, "another site");
        row("power on, lower-case bearer", "POST", "/api/commands/power%20on", "Authorization: bearer Room-101|Origin: http://127.0.0.1:PORT", 200,
            R"("name":"power on","outcome":"ok","rendered":" ACK CR ","reply":"\u0006\r","value":null})");
        row("read by POST", "POST", "/api/commands/power", kBearer, 200, R"("value":{"all_lamps_failed":false,"code":"40")");
        row("a command by GET", "GET", "/api/commands/power%20on", kBearer, 405, "use POST");
        row("no such page", "GET", "/api/nothing", kBearer, 404, "no such page");
        row("live, no password", "GET", "/api/live", kUpgrade, 401, "password needed");
    }
    void api()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        QFETCH(QByteArray, says);
        const Answer a = request(d_->http, method, path, headers.replace("PORT", QByteArray::number(d_->http)));
        QCOMPARE(a.status, status);
        for (const QByteArray &piece : says.split('|'))
            QVERIFY2(a.body.contains(piece), a.body.constData());
    }

    void sessionCookie()
    {
        const QByteArray origin = "Origin: http://127.0.0.1:" + QByteArray::number(d_->http);
        QCOMPARE(request(d_->http, "POST", "/api/login", origin, R"({"password":"room-101"})").status, 401);
        const Answer login = request(d_->http, "POST", "/api/login", origin, "password=Room%2D101");
        QCOMPARE(login.status, 204);
        const QByteArray setCookie = login.head.mid(login.head.indexOf("Set-Cookie: ") + 12).split('\r').value(0);
        QVERIFY2(setCookie.endsWith("; Path=/; HttpOnly; SameSite=Strict"), setCookie.constData());
        const QByteArray cookie = "Cookie: " + setCookie.split(';').value(0);
        QCOMPARE(request(d_->http, "GET", "/api/status", cookie).status, 200);
        QCOMPARE(request(d_->http, "POST", "/api/commands/power", cookie + '|' + origin).status, 200);
        QCOMPARE(request(d_->http, "POST", "/api/commands/power", cookie).status, 403);  // says no origin
        QCOMPARE(request(d_->http, "POST", "/api/commands/power", cookie + "|Sec-Fetch-Site: cross-site").status, 403);
        QCOMPARE(request(d_->http, "POST", "/api/logout", cookie + '|' + origin).status, 204);
        QCOMPARE(request(d_->http, "GET", "/api/status", cookie).status, 401);
    }

    // A client's bytes: what the guard makes of them, the same whether they
    // come at once or a byte at a time (0: a request passed whole, -1: more
    // wanted, or the status it refuses them with); and, where given, what a
    // client that sends them gets: that status, the connection closed after
    // it, while others are served.
    void guard_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("verdict");
        QTest::addColumn<int>("sent");
        const auto row = [](const char *name, const QByteArray &bytes, int verdict, int sent = 0) {
            QTest::newRow(name) << bytes << verdict << sent;
        };
        const QByteArray get = "GET / HTTP/1.1\r\nHost: x\r\n", post = "POST /api/login HTTP/1.1\r\nHost: x\r\n";
        row("no HTTP", QByteArray("\x16\x03\x01\x02\x00\x01\r\n\r\n", 10), 400);
        row("LF alone", "GET / HTTP/1.1\nHost: x\n\n", 400);
        row("CR alone, then a byte", get + "X: a\rb\r\n\r\n", 400);
        row("head of 8193 bytes", get + "X: " + QByteArray(8161, 'a') + "\r\n\r\n", 431);
        row("path too long", "GET /" + QByteArray(3000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", 414);
        row("body too long", post + "Content-Length: 5000\r\n\r\n", 413);
        row("a length past any number", post + "Content-Length: 99999999999999999999\r\n\r\n", 400);
        row("every letter in a name", get + "ABCDEFGHIJKLMNOPQRSTUVWXYZ-abcdefghijklmnopqrstuvwxyz: a\r\n\r\n", 0);
        row("chunked", post + "Transfer-Encoding: chunked\r\n\r\n", 501);
        row("two at once", get + "\r\n" + get + "\r\n", 0, 400);
        row("upgrade without Connection: Upgrade", "GET /api/live HTTP/1.1\r\nHost: x\r\n" + kBearer + "\r\nUpgrade: websocket\r\n\r\n", 400, 400);
        row("never ends", get, -1, 408);
    }
    void guard()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, verdict);
        QFETCH(int, sent);
        for (const qsizetype step : {bytes.size(), qsizetype(1)}) {
            qm25::web::RequestScanner scan;
            for (qsizetype at = 0; at < bytes.size(); at += step)
                scan.feed(QByteArrayView(bytes).sliced(at, std::min(step, bytes.size() - at)));
            const auto state = scan.state();
            QCOMPARE(state == decltype(state)::Refused ? scan.refusal().status : state == decltype(state)::Whole ? 0 : -1, verdict);
        }
        if (!sent)
            return;
        const Answer a = exchange(d_->http, bytes, 15000);
        QCOMPARE(a.status, sent);
        QVERIFY(a.closed);
        QCOMPARE(request(d_->http, "GET", "/api/commands", kBearer).status, 200);
    }

    // Where a request comes from: a trusted proxy's word for the scheme the
    // page came by and for the client, no one else's; the client as logged,
    // and what the origin check says.
    void client_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<QString>("seen");
        const QByteArray https = "host: p.example|origin: https://p.example|x-forwarded-proto: https|"
                                 "x-forwarded-for: 198.51.100.7, 203.0.113.9";
        QTest::newRow("the proxy, the page by https") << "192.0.2.1" << https << "203.0.113.9 via 192.0.2.1:5000, 0";
        QTest::newRow("the proxy as IPv6") << "::ffff:192.0.2.1" << https << "203.0.113.9 via 192.0.2.1:5000, 0";
        QTest::newRow("another peer's word") << "::ffff:192.0.2.2" << https << "192.0.2.2:5000, 403";
    }
    void client()
    {
        QFETCH(QString, peer);
        QFETCH(QByteArray, headers);
        QFETCH(QString, seen);
        const qm25::web::Access access("Room-101", nullptr, {QHostAddress("192.0.2.1")});
        const qm25::web::HeaderLookup header = [&](const QByteArray &name) {
            return QString(headers).section(name + ": ", 1).section('|', 0, 0).toLatin1();
        };
        const qm25::web::Client c = access.clientOf(QHostAddress(peer), 5000, header);
        QCOMPARE(QStringLiteral("%1, %2").arg(c.text).arg(qm25::web::Access::checkOrigin(header, true, c.scheme).status), seen);
    }

    // Without a password: 504 from a silent projector, 503 without a line,
    // and a page that names this machine otherwise than by an address is
    // refused (another site's name made to point here).
    void lineOutcomes()
    {
        SimProcess silent({"--no-reply"});
        QVERIFY2(silent.ok(), qPrintable(silent.failure()));
        Gatewayd quiet({"--port", silent.devicePath(), "--http", "0"});
        QVERIFY(quiet.waitForLog("line open"));
        QCOMPARE(request(quiet.http, "POST", "/api/commands/power%20on").status, 504);
        QVERIFY(request(quiet.http, "GET", "/api/status").body.contains(R"("outcome":"no-reply")"));
        QCOMPARE(exchange(quiet.http, "GET / HTTP/1.1\r\nHost: projector.example:80\r\n\r\n").status, 421);

        Gatewayd none({"--port", "/nonexistent/qm25", "--http", "0"});
        const Answer a = request(none.http, "POST", "/api/commands/power%20on");
        QCOMPARE(a.status, 503);
        QVERIFY(a.body.contains(R"("outcome":"port-error")"));
        QVERIFY(request(none.http, "GET", "/api/status").body.contains(R"("line":"down")"));
        QCOMPARE(request(none.http, "POST", "/api/login", {}, R"({"password":"any"})").status, 204);  // nothing to log in to
    }

    // Wrong passwords at either door count together: after ten in a minute
    // from one address both refuse even the right one, unjudged, and the log
    // sums the refusals up instead of saying each.
    void wrongPasswordsThrottled()
    {
        Gatewayd d({"--port", "/nonexistent/qm25", "--http", "127.0.0.1:0", "--password-file", dir_.filePath("password")});
        const QByteArray guess = QByteArray(32, '0') + "%1POWR ?\r";
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(request(d.http, "GET", "/api/commands", "Authorization: Bearer guess" + QByteArray::number(i)).status, 401);
            QVERIFY(exchange(d.pjlink, guess).head.endsWith("\rPJLINK ERRA\r"));
        }
        for (int i = 0; i < 50; ++i) {
            QCOMPARE(request(d.http, "GET", "/api/commands", kBearer).status, 429);
            QCOMPARE(exchange(d.pjlink, guess).head, QByteArray());  // closed before the greeting
        }
        QVERIFY(d.waitForLog("too many wrong passwords"));
        QCOMPARE(d.log().count("wrong password"), 11);
    }

    // Live connections that come and go, and clients that take nothing they
    // are sent: answers to the requests they keep sending, the WebSocket's
    // answers to a flood of pings. Each is held back or cut off; qm25d's
    // memory stays put, and another client is served meanwhile.
    void clientsThatTakeNothing()
    {
#if defined(__SANITIZE_ADDRESS__)
        // Under the address sanitizer freed memory waits in a quarantine and
        // what is handed out is padded: a smaller quarantine for qm25d, and a
        // wider bound, still far below what unbounded growth reaches.
        const QByteArray sanitizer = qgetenv("ASAN_OPTIONS");
        qputenv("ASAN_OPTIONS", sanitizer + ":quarantine_size_mb=16");
        const long growthKb = 64 * 1024;
#else
        const long growthKb = 8 * 1024;
#endif
        Gatewayd d({"--port", "/nonexistent/qm25", "--http", "127.0.0.1:0", "--password-file", dir_.filePath("password")});
        const QByteArray upgrade = QByteArray("GET /api/live HTTP/1.1|Host: x|" + kBearer + '|' + kUpgrade + "||").replace('|', "\r\n");
        for (int i = 0; i < 200; ++i)
            QCOMPARE(exchange(d.http, upgrade).status, 101);
        QCOMPARE(request(d.http, "GET", "/").status, 200);
        // Three times as many silent connections as there are places: the
        // first 128 are held, every other one is answered 503 and closed,
        // and the web is there again as soon as the silent ones leave.
        std::vector<std::unique_ptr<QTcpSocket>> silent(3 * 128);
        for (auto &c : silent) {
            c = std::make_unique<QTcpSocket>();
            c->connectToHost(QHostAddress::LocalHost, d.http);
            QVERIFY(c->waitForConnected(10000));
        }
        const auto refused = [&] {
            return std::count_if(silent.begin(), silent.end(), [](auto &c) {
                return c->state() == QAbstractSocket::UnconnectedState && c->peek(12) == "HTTP/1.1 503";
            });
        };
        QVERIFY(QTest::qWaitFor([&] { return refused() == 2 * 128; }, 20000));
        QCOMPARE(request(d.http, "GET", "/").status, 503);
        silent.clear();
        QVERIFY(QTest::qWaitFor([&] { return request(d.http, "GET", "/").status == 200; }, 10000));
#if defined(__SANITIZE_ADDRESS__)
        qputenv("ASAN_OPTIONS", sanitizer);
#endif
        const long before = rssKb(d.pid());
        std::vector<std::unique_ptr<QTcpSocket>> readers(11);
        for (auto &r : readers) {
            r = std::make_unique<QTcpSocket>();
            r->setReadBufferSize(1);  // takes in nothing
            r->connectToHost(QHostAddress::LocalHost, d.http);
            QVERIFY(r->waitForConnected(10000));
            r->setSocketOption(QAbstractSocket::LowDelayOption, 1);  // each request a piece of its own
        }
        QTcpSocket &pinger = *readers.back();
        pinger.write(upgrade);
        for (int round = 0; round < 100; ++round, QTest::qWait(10))
            for (int i = 0; i < 10; ++i)
                readers[i]->write("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        // Pings of 125 bytes, each answered by a pong of as many.
        const QByteArray pings = (QByteArray("\x89\xfd\0\0\0\0", 6) + QByteArray(125, 'p')).repeated(8000);
        for (int mb = 0; mb < 64 && pinger.state() == QAbstractSocket::ConnectedState; ++mb) {
            pinger.write(pings);
            QVERIFY(QTest::qWaitFor([&] { return pinger.bytesToWrite() < pings.size(); }, 10000));
        }
        QCOMPARE(request(d.http, "GET", "/api/commands", kBearer).status, 200);
        QVERIFY2(rssKb(d.pid()) < before + growthKb, qPrintable(QStringLiteral("%1 -> %2 kB").arg(before).arg(rssKb(d.pid()))));
        // The pinger is cut off; each reader once it has taken nothing for a
        // while, or at once when two of its requests came together (as on a
        // slow machine, where qm25d answers one after the next has come).
        QVERIFY(d.waitForLog("does not take what is sent to it"));
        QVERIFY(QTest::qWaitFor([&] { return d.log().count("took none of the") + d.log().count("one request at a time") == 10; }, 20000));
    }

    // Each message, or several in turn; what the session hears, or how its
    // connection is closed. Another session is served meanwhile.
    void panelMessages_data()
    {
        QTest::addColumn<QByteArrayList>("messages");  // "\0..." goes as a binary message
        QTest::addColumn<QString>("hears");            // a piece of a message, or "closed CODE"
        const auto row = [](const char *name, const QByteArrayList &messages, const QString &hears) {
            QTest::newRow(name) << messages << hears;
        };
        row("a click", {R"({"click":"settings"})"}, R"({"rxd":" 1 1 CR "})");
        row("a typed code", {R"({"send":"CR3"})"}, R"({"status":" 0 0 0 0 0 CR  Hour Use"})");
        row("not JSON", {"hello"}, "a message is a JSON object of one member");
        row("two members", {R"({"click":"settings","end":true})"}, "a message is a JSON object of one member");
        row("no such message", {R"({"fly":"settings"})"}, R"(no such message: \"fly\")");
        row("a held button clicked", {R"({"click":"volume up"})"}, R"(no button clicks \"volume up\")");
        row("a read without a button clicked", {R"({"click":"pressure"})"}, R"(no button clicks \"pressure\")");
        row("a click button held", {R"({"press":"power on"})"}, R"(no button repeats \"power on\" while held)");
        row("two held at once", {R"({"press":"volume up"})", R"({"press":"keystone up"})"},
            "one held button at a time: volume up is held");
        row("another let go", {R"({"press":"volume up"})", R"({"release":"zoom in"})"}, R"(\"zoom in\" is not held)");
        row("a control character", {R"({"send":"C00\rC01"})"}, "character 4 of the code is a control character (code 13)");
        row("no text", {R"({"send":5})"}, "send a text");
        row("held, then silent", {R"({"press":"volume up"})"}, R"({"stopped":"no word from this page for 500 ms"})");
        row("too long", {QByteArray(5000, 'x')}, "closed 1009");
        row("binary", {QByteArray("\0binary", 7)}, "closed 1003");
        row("a flood", QByteArrayList(30, R"({"alive":true})"), "closed 1008");
        row("END", {R"({"end":true})"}, "closed 1000");
    }
    void panelMessages()
    {
        QFETCH(QByteArrayList, messages);
        QFETCH(QString, hears);
        Panel p(d_->http), other(d_->http);
        QVERIFY(p.open() && other.open());
        QVERIFY(p.hears(R"({"line":"up"})"));
        for (const QByteArray &m : messages)
            m.startsWith('\0') ? p.ws.sendBinaryMessage(m) : p.ws.sendTextMessage(QString::fromUtf8(m));
        if (hears.startsWith("closed "))
            QVERIFY2(p.closed() && p.ws.closeCode() == hears.mid(7).toInt(), qPrintable(p.ws.closeReason()));
        else
            QVERIFY2(p.hears(hears), qPrintable(p.heard));
        other.ws.sendTextMessage(R"({"click":"input"})");
        QVERIFY2(other.hears(R"({"rxd":" 1 CR "})"), qPrintable(other.heard));
    }

    // Sixteen panels at once: more are refused, over and over, as others
    // come and go; one that never reads is cut off; those open are served.
    void panelBounds()
    {
        std::vector<std::unique_ptr<Panel>> open;
        while (open.size() < 16) {
            open.push_back(std::make_unique<Panel>(d_->http));
            if (!open.back()->open())
                open.pop_back();  // one of the test before has not quite gone
            QVERIFY(open.size() < 16 || open.back()->ws.isValid());
        }
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 10; ++i)
                QVERIFY(!Panel(d_->http).open());
            open[round]->ws.close();
            QVERIFY(open[round]->closed());
            open[round] = std::make_unique<Panel>(d_->http);
            QVERIFY(QTest::qWaitFor([&] { return open[round]->open() || (open[round] = std::make_unique<Panel>(d_->http), false); }, 10000));
        }
        QVERIFY(d_->waitForLog("16 panels open already"));
        open.pop_back();
        QVERIFY(QTest::qWaitFor([&] { return Panel(d_->http).open(); }, 10000));

        // It asks for long frames, each another than the last, 20 a second,
        // and reads nothing of what it hears; another asks once a second.
        QTcpSocket mute;
        mute.connectToHost(QHostAddress::LocalHost, d_->http);
        mute.write("GET /api/panel HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" + kBearer + "\r\n\r\n");
        QVERIFY(mute.waitForReadyRead(10000) && mute.peek(12) == "HTTP/1.1 101");
        mute.setReadBufferSize(1);
        for (int i = 0; !d_->log().contains("does not take what is sent to it") && i < 1200; ++i) {
            const QByteArray payload = "{\"send\":\"" + QByteArray(3900, char('A' + i % 2)) + "\"}";
            mute.write(QByteArray("\x81\xfe", 2) + char(payload.size() >> 8) + char(payload.size() & 0xff)
                       + QByteArray(4, '\0') + payload);  // masked with zeros
            if (i % 20 == 0)
                open.front()->ws.sendTextMessage(R"({"click":"input"})");
            QTest::qWait(50);
        }
        QVERIFY2(d_->log().contains("does not take what is sent to it"), qPrintable(d_->log().right(1500)));
        QVERIFY(open.front()->hears(R"({"rxd":" 1 CR "})"));
    }

    // Debian's Prometheus scrapes the metrics listener, the password from a
    // file, and gives the values back through its query API; the simulator
    // goes, and the line's loss shows there too. The listener serves
    // /metrics alone, and a real scrape passes promtool's checks.
    void scrapedByPrometheus()
    {
        if (QStandardPaths::findExecutable("prometheus").isEmpty() || QStandardPaths::findExecutable("promtool").isEmpty())
            QSKIP("prometheus is not installed (scripts/setup.sh installs it)");
        auto sim = std::make_unique<SimProcess>(QStringList{"--lamp-hours", "1234"});
        QVERIFY2(sim->ok(), qPrintable(sim->failure()));
        Gatewayd d({"--port", sim->devicePath(), "--metrics", "127.0.0.1:0", "--password-file", dir_.filePath("password"),
                    "--poll-seconds", "1"});
        QCOMPARE(request(d.metrics, "GET", "/metrics").status, 401);
        QCOMPARE(request(d.metrics, "GET", "/api/status", kBearer).status, 404);
        QProcess promtool;
        promtool.setProcessChannelMode(QProcess::MergedChannels);
        promtool.start("promtool", {"check", "metrics"});
        promtool.write(request(d.metrics, "GET", "/metrics", kBearer).body);
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(30000));
        const QByteArray lint = promtool.readAll();
        QVERIFY2(promtool.exitCode() == 0 && lint.isEmpty(), lint.constData());

        const quint16 port = qm25::test::freeLoopbackPort();
        QFile config(dir_.filePath("prometheus.yml"));
        QVERIFY(config.open(QIODevice::WriteOnly)
                && config.write(QStringLiteral("global: {scrape_interval: 1s}\nscrape_configs:\n  - job_name: qm25\n"
                                               "    authorization: {credentials_file: '%1'}\n"
                                               "    static_configs: [{targets: ['127.0.0.1:%2']}]\n")
                                    .arg(dir_.filePath("password")).arg(d.metrics).toUtf8()) > 0
                && config.flush());
        QProcess prometheus;
        prometheus.setProcessChannelMode(QProcess::MergedChannels);
        prometheus.start("prometheus", {"--config.file=" + config.fileName(), "--storage.tsdb.path=" + dir_.filePath("tsdb"),
                                        "--web.listen-address=127.0.0.1:" + QString::number(port)});
        const auto seen = [&](const QByteArray &query, const QString &value) {
            return QTest::qWaitFor([&] {
                const Answer a = request(port, "GET", "/api/v1/query?query=" + query);
                return QJsonDocument::fromJson(a.body)["data"]["result"][0]["value"][1].toString() == value;
            }, 30000);
        };
        QVERIFY2(seen("qm25_lamp_time_seconds", "4442400") && seen("qm25_line_up", "1"), prometheus.readAll().constData());
        sim.reset();
        QVERIFY2(seen("qm25_line_up", "0"), prometheus.readAll().constData());
        prometheus.terminate();
        QVERIFY(prometheus.waitForFinished(15000));
    }

    void cleanupTestCase() { QVERIFY2(d_->stop(), qPrintable(d_->log())); }
};

QTEST_GUILESS_MAIN(WebTest)
#include "test_web.moc"
