// qm25d as a program, on the simulator's pseudo-terminal: PJLink clients
// and raw exchange clients on loopback, the password, a line that goes and
// comes back, clients that flood or send garbage (TCP and UDP), the bounds
// on connections, PJLink Class 2's search and notifications.
#include <QCryptographicHash>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "core/exchange_client.h"
#include "line/port_line.h"
#include "support/gateway_process.h"
#include "support/sim_process.h"

using qm25::test::Gatewayd;
using qm25::test::SimProcess;

namespace {

// A client on loopback; lines are read up to their CR.
struct Client {
    explicit Client(quint16 port, const QHostAddress &from = {})
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { in += socket.readAll(); });
        if (!from.isNull())
            socket.bind(from);
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    QByteArray line()
    {
        if (!QTest::qWaitFor([&] { return in.contains('\r') || closed(); }, 10000) || !in.contains('\r'))
            return "(nothing)";
        const QByteArray l = in.left(in.indexOf('\r'));
        in.remove(0, l.size() + 1);
        return l;
    }
    // The next n lines, joined by "|".
    QByteArray lines(int n)
    {
        QByteArrayList all;
        while (n-- > 0)
            all << line();
        return all.join('|');
    }
    QByteArray ask(const QByteArray &request)
    {
        socket.write(request + '\r');
        return line();
    }
    // Asks each "REQUEST=ANSWER" of a PJLink conversation in turn: "POWR ?=0 | INPT 11=ERR3".
    void converse(const QByteArray &script, const QByteArray &pjlinkClass = "%1")
    {
        for (const QByteArray &step : script.split('|')) {
            const QByteArray request = step.trimmed().split('=').value(0), answer = step.trimmed().split('=').value(1);
            QCOMPARE(ask(pjlinkClass + request), pjlinkClass + request.left(4) + '=' + answer);
        }
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
    bool waitClosed() { return QTest::qWaitFor([&] { return closed(); }, 15000); }
    QTcpSocket socket;
    QByteArray in;
};

// What reaches a UDP port of a loopback address other than the gateway's:
// a controller's or a searcher's (the gateway answers and notifies on the
// PJLink port's number).
struct Heard {
    Heard(const char *address, quint16 port)
    {
        QObject::connect(&socket, &QUdpSocket::readyRead, [this] {
            while (socket.hasPendingDatagrams())
                got << socket.receiveDatagram().data();
        });
        socket.bind(QHostAddress(QLatin1String(address)), port);
    }
    bool waitFor(const QByteArray &datagram) { return QTest::qWaitFor([&] { return got.contains(datagram + '\r'); }, 15000); }
    QUdpSocket socket;
    QByteArrayList got;
};

// The digest that proves the password, from the greeting's random value.
QByteArray digest(Client &c, const QByteArray &password)
{
    const QByteArray random = c.line().mid(9);
    return QRegularExpression("^[0-9a-f]{8}$").match(QString::fromLatin1(random)).hasMatch()
        ? QCryptographicHash::hash(random + password, QCryptographicHash::Md5).toHex() : QByteArray("no random");
}

// Asks until the answer is `answer` (the projector changes by itself).
bool answersSoon(Client &c, const QByteArray &request, const QByteArray &answer)
{
    return QTest::qWaitFor([&] { return c.ask(request) == answer; }, 15000);
}

}  // namespace

class GatewayTest : public QObject {
    Q_OBJECT
private slots:
    // Behind a password: every command of both classes, and a controller's
    // notifications of what changed (wrong digests: test_web, with the web's).
    void servesEachCommand()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("room.password"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("Qm25-room\n") && file.flush());
        SimProcess sim({"--warmup-ms", "1500", "--cooldown-ms", "500"});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        Gatewayd d({"--port", sim.devicePath(), "--name", "Room 101", "--password-file", file.fileName(), "--verbose"});
        Heard heard("127.0.0.2", d.pjlink);  // where notifications to a controller on 127.0.0.2 go
        Client c(d.pjlink, QHostAddress("127.0.0.2"));
        QCOMPARE(c.ask(digest(c, "Qm25-room") + "%1POWR ?"), QByteArray("%1POWR=0"));
        c.converse("INPT 11=ERR3 | AVMT ?=ERR3 | POWR 1=OK | POWR ?=3 | AVMT 31=ERR3 | LAMP ?=0 1");
        c.converse("FREZ 1=ERR3 | SVOL 1=ERR3 | IRES ?=ERR3 | MVOL 1=ERR1 | INNM ?12=PC2 | SNUM ?= | SVER ?=1.40"
                   " | POWR ?=ERR1", "%2");
        QVERIFY(answersSoon(c, "%1POWR ?", "%1POWR=1"));
        c.converse("INPT 21=OK | INPT ?=21");
        QVERIFY(heard.waitFor("%2INPT=21"));  // before the next change of input
        c.converse("AVMT 31=OK | AVMT ?=31 | AVMT 10=OK | AVMT ?=21 | ERST ?=000000"
                   " | INFO ?=QM25 SIM 1.40 | NAME ?=Room 101 | INPT 59=ERR2 | FREZ 1=ERR1");
        c.converse("SVOL 1=OK | SVOL 0=OK | INPT 12=OK | INPT ?=12 | IRES ?=*", "%2");
        // Answers come in the order of the requests, made at once or after an
        // exchange, or when their turn comes (the freeze as just set).
        c.socket.write("%1CLSS ?\r%1INPT ?\r%1XXXX ?\r%2FREZ 1\r%2FREZ ?\r%2FREZ 0\r%2FREZ ?\r");
        QCOMPARE(c.lines(7), QByteArray("%1CLSS=2|%1INPT=12|%1XXXX=ERR1|%2FREZ=OK|%2FREZ=1|%2FREZ=OK|%2FREZ=0"));
        // The power switched off as the panel would, through the raw port: the
        // controller hears of it without asking, as of every change, once.
        QCOMPARE(Client(d.raw).ask("C01"), QByteArray("\x06"));
        QVERIFY(heard.socket.state() == QAbstractSocket::BoundState && heard.waitFor("%2POWR=2"));
        // Each command's changes in order, each once; changes that come within
        // one notification gap reach the controller as the latest value (the
        // mute's, depending on when the watcher last read it).
        std::map<QByteArray, QByteArrayList> changes;
        for (const QByteArray &n : heard.got) {
            QByteArrayList &seen = changes[n.mid(2, 4)];
            QVERIFY2(seen.isEmpty() || seen.last() != n.mid(7).chopped(1), n.constData());
            seen << n.mid(7).chopped(1);
        }
        QCOMPARE(changes["POWR"], (QByteArrayList{"3", "1", "2"}));
        QCOMPARE(changes["INPT"], (QByteArrayList{"21", "12"}));
        QCOMPARE(changes["AVMT"].value(changes["AVMT"].size() - 1), QByteArray("21"));
        // --verbose logs requests and answers, never the password or a digest.
        QVERIFY(d.waitForLog(": %1INPT ? -> %1INPT=21") && !d.log().contains(QRegularExpression("Qm25-room|[0-9a-f]{32}")));
    }

    void lineLostAndBack()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("com1");
        auto sim = std::make_unique<SimProcess>(QStringList{"--link", link, "--hangup-after", "2"});
        QVERIFY2(sim->ok(), qPrintable(sim->failure()));
        Gatewayd d({"--port", link, "--retry-ms", "200"});
        QVERIFY(d.waitForLog("line open"));
        Client c(d.pjlink), raw(d.raw);
        QCOMPARE(c.line(), QByteArray("PJLINK 0"));
        c.converse("POWR ?=0");
        QCOMPARE(raw.ask("CR1"), QByteArray("1"));  // the second frame: the simulator hangs up
        QVERIFY(sim->waitForCleanExit());
        QVERIFY(raw.waitClosed());  // a raw client learns it as from a device server
        QVERIFY(answersSoon(c, "%1POWR ?", "%1POWR=ERR4"));
        c.converse("AVMT 11=ERR4 | CLSS ?=2");
        Heard heard("127.0.0.2", d.pjlink);  // a controller that speaks while the line is down
        Client controller(d.pjlink, QHostAddress("127.0.0.2"));
        QCOMPARE(controller.line(), QByteArray("PJLINK 0"));
        controller.converse("POWR ?=ERR4");
        QVERIFY(Client(d.raw).waitClosed());
        QTest::qWait(1000);  // a few attempts more, said once
        QCOMPARE(d.log().count("line down"), 1);

        sim = std::make_unique<SimProcess>(QStringList{"--link", link});
        QVERIFY2(sim->ok(), qPrintable(sim->failure()));
        QVERIFY(answersSoon(c, "%1POWR ?", "%1POWR=0"));
        QVERIFY(d.waitForLog("line open", 2));
        QVERIFY(heard.waitFor("%2LKUP=00:00:00:00:00:00"));  // hears the gateway serve
        QCOMPARE(Client(d.raw).ask("CR0"), QByteArray("80"));
        QVERIFY2(d.stop(), qPrintable(d.log()));
    }

    void clientsAtOnce()
    {
        SimProcess sim({"--warmup-ms", "60000"});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        Gatewayd d({"--port", sim.devicePath(), "--verbose"});
        QVERIFY(d.waitForLog("line open"));  // until then the raw port takes nobody

        // A client that floods (its requests are read a few at a time), three
        // that send garbage, and four that ask in one go.
        constexpr int kFlood = 3000;
        Client flood(d.pjlink), binary(d.pjlink), endless(d.pjlink), rawEndless(d.raw), rawLong(d.raw), rawHttp(d.raw), hoarder(d.pjlink);
        // (Commands, which no two requests share, refused in stand-by.)
        flood.socket.write(QByteArray("%1INPT 11\r").repeated(kFlood));
        binary.socket.write("%1POWR \xff\xfe\r");
        endless.socket.write(QByteArray(1000, '%'));
        rawEndless.socket.write(QByteArray(1000, 'C'));
        // 257 bytes with its CR, in two pieces: the CR comes with bytes the
        // gateway has not looked at yet.
        rawLong.socket.write(QByteArray(100, 'C'));
        QVERIFY(rawLong.socket.waitForBytesWritten(5000));
        QTest::qWait(50);
        rawLong.socket.write(QByteArray(156, 'C') + '\r');
        // A web page posting to the raw port: the frame in its body never goes.
        rawHttp.socket.write("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4\r\n\r\nC00\r");
        // One that never reads, owed an exchange and hundreds of answers at
        // once: nothing more is read from it while it is owed the most, so
        // its last line is read only after the exchange.
        QObject::disconnect(&hoarder.socket, &QTcpSocket::readyRead, nullptr, nullptr);
        const QString hoarderPort = hoarder.socket.waitForConnected(10000) ? QString::number(hoarder.socket.localPort()) : "none";
        hoarder.socket.write("%1INPT 12\r" + QByteArray("%1XXXX ?\r").repeated(300) + "garbage\r");
        std::vector<std::unique_ptr<Client>> others;
        for (int i = 0; i < 4; ++i) {
            others.push_back(std::make_unique<Client>(d.pjlink));
            others.back()->socket.write("%1INPT ?\r%1ERST ?\r%1INFO ?\r");
        }
        // Meanwhile a PJLink client and a raw one in turn, the raw one through
        // the line layer as the panel and qm25ctl reach a device server.
        qm25::PortLine line;
        QVERIFY(line.setDevice(QStringLiteral("tcp://127.0.0.1:%1").arg(d.raw)) && line.open() && line.finishOpening());
        qm25::ExchangeClient raw(&line);
        Client a(d.pjlink);
        QCOMPARE(a.line(), QByteArray("PJLINK 0"));
        QCOMPARE(raw.run("CR0\r", 2000).reply, QByteArray("80\r"));
        a.converse("POWR 1=OK");
        QCOMPARE(raw.run("CR0\r", 2000).reply, QByteArray("40\r"));
        a.converse("INPT 11=ERR3");
        QCOMPARE(raw.run("C01\r", 2000).reply, QByteArray("\x06\r"));
        a.converse("POWR ?=2");
        QCOMPARE(raw.run("XYZ\r", 2000).reply, QByteArray("ERR\r"));
        QCOMPARE(raw.run(QByteArray(255, 'C') + '\r', 2000).reply, QByteArray("ERR\r"));  // 256 bytes: taken

        QVERIFY(flood.in.count('\r') < kFlood);  // the flood did not go first
        for (auto &o : others)
            QCOMPARE(o->lines(4), QByteArray("PJLINK 0|%1INPT=11|%1ERST=000000|%1INFO=QM25 SIM 1.40"));
        for (Client *g : {&binary, &endless, &rawEndless, &rawLong, &rawHttp})
            QVERIFY(g->waitClosed());
        QVERIFY(d.waitForLog("not printable ASCII") && d.waitForLog("longer than 136 bytes") && d.waitForLog("longer than 256 bytes")
                && d.waitForLog("an HTTP request (this is the raw exchange port)") && d.waitForLog("no PJLink request")
                && rawHttp.in.startsWith("HTTP/1.1 400 "));
        const auto at = [&](const QString &what) { return d.log().indexOf(QRegularExpression(what + ".*\\b" + hoarderPort + "\\b")); };
        QVERIFY(at("exchange for") >= 0 && at("exchange for") < at("closing"));
        // Searches far past one answer a second, with datagrams that are no
        // search, empty or too long; another searcher still has its answer.
        Heard searcher("127.0.0.3", d.pjlink), other("127.0.0.4", d.pjlink);
        for (int i = 0; i < 300; ++i) {
            searcher.socket.writeDatagram("%2SRCH\r", QHostAddress::LocalHost, d.pjlink);
            searcher.socket.writeDatagram(QByteArray(i % 200, 'x'), QHostAddress::LocalHost, d.pjlink);
        }
        for (int i = 0; i < 15 && other.got.isEmpty(); ++i) {  // the kernel may drop some of the flood
            other.socket.writeDatagram("%2SRCH\r", QHostAddress::LocalHost, d.pjlink);
            if (QTest::qWaitFor([&] { return !other.got.isEmpty(); }, 1000))
                break;
        }
        QCOMPARE(other.got.value(0), QByteArray("%2ACKN=00:00:00:00:00:00\r"));
        QVERIFY(searcher.got.size() >= 1 && searcher.got.size() <= 2 && searcher.got.front() == "%2ACKN=00:00:00:00:00:00\r");
        QVERIFY(d.waitForLog("UDP: dropped") && d.log().count("UDP: dropped") == 1);  // once a minute at most
        QVERIFY(QTest::qWaitFor([&] { return flood.in.count('\r') > kFlood || flood.closed(); }, 60000));
        QCOMPARE(flood.in.count("%1INPT=ERR3\r"), kFlood);  // answered in full, in the end
        QVERIFY2(d.stop(), qPrintable(d.log()));
    }

    void connectionBounds()
    {
        Gatewayd d({"--port", "/nonexistent/qm25"});
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < 64; ++i) {
            clients.push_back(std::make_unique<Client>(d.pjlink));
            QCOMPARE(clients.back()->line(), QByteArray("PJLINK 0"));
        }
        Client refused(d.pjlink);
        QVERIFY(refused.waitClosed() && refused.in.isEmpty());
        QVERIFY(d.waitForLog("64 connections open already"));
        clients.front()->socket.disconnectFromHost();
        QVERIFY(QTest::qWaitFor([&] { return Client(d.pjlink).line() == "PJLINK 0"; }, 15000));

        // On a device server, which sets the line's speed; the time in front of each line.
        SimProcess server({"--tcp", "127.0.0.1:0"});
        Gatewayd quick({"--port", server.devicePath(), "--idle-seconds", "1", "--timestamps"});
        Client silent(quick.pjlink);
        QCOMPARE(silent.line(), QByteArray("PJLINK 0"));
        QVERIFY(silent.waitClosed());  // it said nothing
        QVERIFY(QRegularExpression("^[\\d-]{10}T[\\d:.]{12} qm25d: line open: tcp://127.0.0.1:\\d+ \\(the device server sets its speed\\)$",
                                   QRegularExpression::MultilineOption).match(quick.log()).hasMatch());
    }
};

QTEST_GUILESS_MAIN(GatewayTest)
#include "test_gateway.moc"
