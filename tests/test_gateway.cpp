// qm25d as a program, on the simulator's pseudo-terminal: PJLink clients
// and raw exchange clients on loopback, the password, a line that goes and
// comes back, clients that flood or send garbage, and the bounds on
// connections.
#include <QCryptographicHash>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "core/exchange_client.h"
#include "line/port_line.h"
#include "support/sim_process.h"

using qm25::test::SimProcess;

namespace {

// qm25d as a child of the test. The constructor waits, bounded, until it
// says where it listens; the destructor stops it.
class Gatewayd {
public:
    explicit Gatewayd(QStringList args)
    {
        args << "--pjlink" << "127.0.0.1:0" << "--raw" << "127.0.0.1:0";
        process_.start(QStringLiteral(QM25_GATEWAY_BIN), args);
        if (waitForLog("raw exchanges on 127.0.0.1:")) {
            pjlink = port("PJLink on 127.0.0.1:");
            raw = port("raw exchanges on 127.0.0.1:");
        }
    }
    ~Gatewayd() { stop(); }
    // Ends it as the service manager does; whether it was still running and
    // then ended cleanly (under the sanitizers: without a finding).
    bool stop()
    {
        const bool running = process_.state() == QProcess::Running;
        process_.terminate();
        if (!process_.waitForFinished(10000))
            process_.kill();
        return running && process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }
    QString log()
    {
        log_ += QString::fromLocal8Bit(process_.readAllStandardError());
        return log_;
    }
    bool waitForLog(const QString &text, int times = 1)
    {
        return QTest::qWaitFor([&] { return log().count(text) >= times; }, 15000);
    }
    quint16 pjlink = 0, raw = 0;

private:
    quint16 port(const QString &after)
    {
        const qsizetype at = log_.indexOf(after) + after.size();
        return quint16(log_.mid(at, log_.indexOf(QLatin1Char(' '), at) - at).section(QLatin1Char('\n'), 0, 0).toUInt());
    }
    QProcess process_;
    QString log_;
};

// A client on loopback; lines are read up to their CR.
class Client {
public:
    explicit Client(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { in += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    QByteArray line()
    {
        if (!QTest::qWaitFor([&] { return in.contains('\r') || closed(); }, 10000))
            return "(nothing)";
        const qsizetype cr = in.indexOf('\r');
        const QByteArray l = cr < 0 ? QByteArray() : in.left(cr);
        in.remove(0, cr + 1);
        return l;
    }
    QByteArray ask(const QByteArray &request)
    {
        socket.write(request + '\r');
        return line();
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
    bool waitClosed() { return QTest::qWaitFor([&] { return closed(); }, 15000); }
    QTcpSocket socket;
    QByteArray in;
};

// Asks until the answer is `answer` (the projector changes by itself).
bool answersSoon(Client &c, const QByteArray &request, const QByteArray &answer)
{
    return QTest::qWaitFor([&] { return c.ask(request) == answer; }, 15000);
}

}  // namespace

class GatewayTest : public QObject {
    Q_OBJECT
private slots:
    void servesEveryCommand()
    {
        SimProcess sim({"--warmup-ms", "1500", "--cooldown-ms", "500"});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        Gatewayd d({"--port", sim.devicePath(), "--name", "Room 101"});
        Client c(d.pjlink);
        QCOMPARE(c.line(), QByteArray("PJLINK 0"));
        const std::pair<QByteArray, QByteArray> beforeOn[] = {
            {"%1POWR ?", "%1POWR=0"},     {"%1INPT 11", "%1INPT=ERR3"}, {"%1AVMT ?", "%1AVMT=ERR3"},
            {"%1POWR 1", "%1POWR=OK"},    {"%1POWR ?", "%1POWR=3"},     {"%1AVMT 31", "%1AVMT=ERR3"},
            {"%1LAMP ?", "%1LAMP=0 1"},
        };
        for (const auto &[request, answer] : beforeOn)
            QCOMPARE(c.ask(request), answer);
        QVERIFY(answersSoon(c, "%1POWR ?", "%1POWR=1"));
        const std::pair<QByteArray, QByteArray> on[] = {
            {"%1INPT 21", "%1INPT=OK"},   {"%1INPT ?", "%1INPT=21"},     {"%1AVMT 31", "%1AVMT=OK"},
            {"%1AVMT ?", "%1AVMT=31"},    {"%1AVMT 10", "%1AVMT=OK"},    {"%1AVMT ?", "%1AVMT=21"},
            {"%1ERST ?", "%1ERST=000000"}, {"%1INFO ?", "%1INFO=QM25 SIM 1.40"}, {"%1NAME ?", "%1NAME=Room 101"},
            {"%1INF1 ?", "%1INF1=RUNO"},  {"%1INF2 ?", "%1INF2=QM25"},   {"%1CLSS ?", "%1CLSS=1"},
            {"%1INST ?", "%1INST=11 12 21"}, {"%1INPT 59", "%1INPT=ERR2"}, {"%1FREZ 1", "%1FREZ=ERR1"},
            {"%1POWR 0", "%1POWR=OK"},    {"%1POWR ?", "%1POWR=2"},
        };
        for (const auto &[request, answer] : on)
            QCOMPARE(c.ask(request), answer);
        // Answers come in the order of the requests, whether made at once or
        // after an exchange.
        c.socket.write("%1CLSS ?\r%1INPT ?\r%1XXXX ?\r");
        QByteArrayList answers;
        for (int i = 0; i < 3; ++i)
            answers << c.line();
        QCOMPARE(answers, (QByteArrayList{"%1CLSS=1", "%1INPT=21", "%1XXXX=ERR1"}));
    }

    void authentication_data()
    {
        QTest::addColumn<QByteArray>("password");  // what the client proves; empty: no digest
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("right") << QByteArray("Qm25-room") << QByteArray("%1POWR=0");
        QTest::newRow("wrong") << QByteArray("qm25-room") << QByteArray("PJLINK ERRA");
        QTest::newRow("none") << QByteArray() << QByteArray("PJLINK ERRA");
    }
    void authentication()
    {
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, answer);
        QTemporaryDir dir;
        QFile file(dir.filePath("room.password"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("Qm25-room\n");
        file.close();
        SimProcess sim({});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        Gatewayd d({"--port", sim.devicePath(), "--password-file", file.fileName()});
        Client c(d.pjlink);
        const QByteArray greeting = c.line();
        QVERIFY2(QRegularExpression("^PJLINK 1 [0-9a-f]{8}$").match(QString::fromLatin1(greeting)).hasMatch(),
                 greeting.constData());
        const QByteArray digest = password.isEmpty() ? QByteArray()
            : QCryptographicHash::hash(greeting.mid(9) + password, QCryptographicHash::Md5).toHex();
        QCOMPARE(c.ask(digest + "%1POWR ?"), answer);
        if (answer.startsWith("PJLINK")) {
            QVERIFY(c.waitClosed());
            QVERIFY(d.waitForLog("wrong password"));
        } else {
            QCOMPARE(c.ask("%1CLSS ?"), QByteArray("%1CLSS=1"));  // proven once, for the connection
        }
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
        QCOMPARE(c.ask("%1POWR ?"), QByteArray("%1POWR=0"));
        QCOMPARE(raw.ask("CR1"), QByteArray("1"));  // the second frame: the simulator hangs up
        QVERIFY(sim->waitForCleanExit());
        QVERIFY(raw.waitClosed());  // a raw client learns it as from a device server
        QVERIFY(answersSoon(c, "%1POWR ?", "%1POWR=ERR4"));
        QCOMPARE(c.ask("%1AVMT 11"), QByteArray("%1AVMT=ERR4"));
        QCOMPARE(c.ask("%1CLSS ?"), QByteArray("%1CLSS=1"));
        Client early(d.raw);
        QVERIFY(early.waitClosed());
        QTest::qWait(1000);  // a few attempts more
        QCOMPARE(d.log().count("line down"), 1);

        sim = std::make_unique<SimProcess>(QStringList{"--link", link});
        QVERIFY2(sim->ok(), qPrintable(sim->failure()));
        QVERIFY(answersSoon(c, "%1POWR ?", "%1POWR=0"));
        QVERIFY(d.waitForLog("line open", 2));
        Client back(d.raw);
        QCOMPARE(back.ask("CR0"), QByteArray("80"));
        QVERIFY2(d.stop(), qPrintable(d.log()));
    }

    void clientsAtOnce()
    {
        SimProcess sim({"--warmup-ms", "60000"});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        Gatewayd d({"--port", sim.devicePath()});
        QVERIFY(d.waitForLog("line open"));  // until then the raw port takes nobody

        // A client that floods (the gateway reads its requests a few at a
        // time), and three that send garbage.
        Client flood(d.pjlink);
        constexpr int kFlood = 3000;
        QByteArray requests;
        for (int i = 0; i < kFlood; ++i)
            requests += "%1INPT ?\r";
        flood.socket.write(requests);
        Client binary(d.pjlink), endless(d.pjlink), rawEndless(d.raw);
        binary.socket.write("%1POWR \xff\xfe\r");
        endless.socket.write(QByteArray(1000, '%'));
        rawEndless.socket.write(QByteArray(1000, 'C'));

        // Meanwhile clients that ask in turn, the raw one through the line
        // layer as the panel and qm25ctl reach a device server.
        std::vector<std::unique_ptr<Client>> others;
        for (int i = 0; i < 4; ++i) {
            others.push_back(std::make_unique<Client>(d.pjlink));
            others.back()->socket.write("%1CLSS ?\r%1INPT ?\r%1INST ?\r%1ERST ?\r%1INFO ?\r");
        }
        qm25::PortLine line;
        line.setDevice(QStringLiteral("tcp://127.0.0.1:%1").arg(d.raw));
        QVERIFY(line.open() && line.finishOpening());
        qm25::ExchangeClient raw(&line);
        Client a(d.pjlink);
        QCOMPARE(a.line(), QByteArray("PJLINK 0"));
        QCOMPARE(raw.run("CR0\r", 2000).reply, QByteArray("80\r"));
        QCOMPARE(a.ask("%1POWR 1"), QByteArray("%1POWR=OK"));
        QCOMPARE(raw.run("CR0\r", 2000).reply, QByteArray("40\r"));
        QCOMPARE(a.ask("%1INPT 11"), QByteArray("%1INPT=ERR3"));
        QCOMPARE(raw.run("C01\r", 2000).reply, QByteArray("\x06\r"));
        QCOMPARE(a.ask("%1POWR ?"), QByteArray("%1POWR=2"));
        QCOMPARE(raw.run("XYZ\r", 2000).reply, QByteArray("ERR\r"));

        QVERIFY(flood.in.count('\r') < kFlood);  // the flood did not go first
        for (auto &o : others) {
            QByteArrayList answers;
            for (int i = 0; i < 6; ++i)
                answers << o->line();
            QCOMPARE(answers, (QByteArrayList{"PJLINK 0", "%1CLSS=1", "%1INPT=11", "%1INST=11 12 21", "%1ERST=000000",
                                              "%1INFO=QM25 SIM 1.40"}));
        }
        for (Client *g : {&binary, &endless, &rawEndless})
            QVERIFY(g->waitClosed());
        QVERIFY(d.waitForLog("not printable ASCII") && d.waitForLog("longer than 136 bytes")
                && d.waitForLog("longer than 256 bytes"));

        // The flood is answered in full, in the end.
        QCOMPARE(flood.line(), QByteArray("PJLINK 0"));
        QVERIFY(QTest::qWaitFor([&] { return flood.in.count('\r') >= kFlood || flood.closed(); }, 60000));
        QCOMPARE(flood.in.count("%1INPT=11\r"), kFlood);
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
        QVERIFY(refused.waitClosed());
        QVERIFY(refused.in.isEmpty());
        QVERIFY(d.waitForLog("64 connections open already"));
        clients.front()->socket.disconnectFromHost();
        QVERIFY(QTest::qWaitFor([&] { return Client(d.pjlink).line() == "PJLINK 0"; }, 15000));

        // A client that says nothing is closed after the idle time.
        Gatewayd quick({"--port", "/nonexistent/qm25", "--idle-seconds", "1"});
        Client silent(quick.pjlink);
        QCOMPARE(silent.line(), QByteArray("PJLINK 0"));
        QVERIFY(silent.waitClosed());
    }
};

QTEST_GUILESS_MAIN(GatewayTest)
#include "test_gateway.moc"
