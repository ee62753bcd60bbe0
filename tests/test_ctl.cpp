// qm25ctl: its command line read as a function; as scripts run it, against
// the projector simulator: each outcome and its exit status, the JSON it
// prints; a stale reply on a real line and on a device server's; a port held
// by the gateway or the panel, or locked by a panel that was killed, named by
// its stable name; the gateway's PJLink port, which is no projector's.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include "core/catalogue.h"
#include "ctl/arguments.h"
#include "ctl/program.h"
#include "ctl/runner.h"
#include "line/port_devices.h"
#include "line/port_line.h"
#include "line/serial_devices.h"
#include "support/gateway_process.h"
#include "support/pty.h"
#include "support/sim_process.h"

using namespace qm25;
using namespace qm25::test;

namespace {

struct Run {
    int status = -1;  // -1: crashed, or still running after 30 s
    QByteArray out, err;
};

// qm25ctl with COM1 on `com1`.
Run runCtl(const QStringList &args, const QString &com1)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QM25_COM1", com1);
    p.setProcessEnvironment(env);
    p.start(QM25_CTL_BIN, args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

QList<QJsonObject> objects(const QByteArray &out)
{
    QList<QJsonObject> all;
    for (const QByteArray &line : out.split('\n'))
        if (!line.isEmpty())
            all.append(QJsonDocument::fromJson(line).object());
    return all;
}

}  // namespace

class CtlTest : public QObject {
    Q_OBJECT
private slots:
    void argumentsAreRead_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("read");  // the requests' frames and the options, or the error
        QTest::newRow("names in words or whole") << QStringList{"power", "on", "lamp time", "--json"} << "C00 CR3 json";
        QTest::newRow("longest name first") << QStringList{"power on power"} << "C00 CR0";
        QTest::newRow("status") << QStringList{"status"} << "CR0 CR1 CR3 CR4 CR6";
        QTest::newRow("send takes the next word whole") << QStringList{"send", "CR PRESSURE", "--com=2", "--wait", "0.5"}
                                                        << "CR PRESSURE com2 wait500";
        QTest::newRow("send with a CR") << QStringList{"send", "C00\rC01"} << "error: character 4 of the code is a control character (code 13)";
        QTest::newRow("send beyond a byte") << QStringList{"send", "C\u65e5"} << "error: holds a character that is no single byte";
        QTest::newRow("send alone") << QStringList{"send"} << "error: send needs a code";
        QTest::newRow("unknown name") << QStringList{"power", "onn"} << "error: unknown command \"onn\"";
        QTest::newRow("unknown option") << QStringList{"--colour", "power"} << "error: unknown option";
        QTest::newRow("list alone") << QStringList{"list", "power"} << "error: list goes alone";
        QTest::newRow("nothing") << QStringList{"--json"} << "error: no command given";
        QTest::newRow("the shortest time-out") << QStringList{"--timeout", "1", "power"} << "CR0 timeout1";
        QTest::newRow("no time-out") << QStringList{"--timeout", "0", "power"} << "error: --timeout wants a number from 1 to 3600000";
    }
    void argumentsAreRead()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, read);
        QString error;
        const auto inv = ctl::parseArguments(args, &error);
        if (!inv) {
            QVERIFY2(read.startsWith("error: ") && error.contains(read.mid(7)), qPrintable(error));
            return;
        }
        QStringList got;
        for (const ctl::Request &r : inv->requests)
            got << QString::fromLatin1(r.frame().chopped(1));
        if (inv->json)
            got << "json";
        if (inv->com != 1)
            got << QString("com%1").arg(inv->com);
        if (inv->waitMs != 120000)
            got << QString("wait%1").arg(inv->waitMs);
        if (inv->timeoutMs)
            got << QString("timeout%1").arg(inv->timeoutMs);
        QCOMPARE(got.join(' '), read);
    }

    void listShowsTheCatalogue()
    {
        const Run r = runCtl({"list", "--json"}, "/nonexistent/qm25");
        QCOMPARE(r.status, 0);
        const QList<QJsonObject> listed = objects(r.out);
        QCOMPARE(listed.size(), qsizetype(commands().size()));
        QCOMPARE(listed[0], (QJsonObject{{"name", "power on"}, {"code", "C00"}, {"kind", "action"},
                                         {"description", "Power on"}, {"timeout_ms", 500}}));
        QCOMPARE(listed.last()["kind"], "read");
    }

    void outcomesAndExitStatus_data()
    {
        QTest::addColumn<QString>("simArgs");
        QTest::addColumn<QString>("args");  // one argument per word
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("lines");  // on stdout and stderr: one per command run
        QTest::newRow("status read") << "" << "power" << 0 << "power: Stand by\n" << 1;
        QTest::newRow("refused in stand-by") << "" << "input pc2" << 1 << "input pc2: not accepted, reply \" ? CR \" (refused in the projector's present state)" << 1;
        QTest::newRow("unknown code") << "" << "send C99" << 1 << "send C99: not accepted, reply \" E R R CR \" (a code the projector does not know)" << 1;
        QTest::newRow("over a device server") << "--tcp 127.0.0.1:0" << "power" << 0 << "power: Stand by\n" << 1;
        QTest::newRow("silent projector") << "--no-reply" << "power" << 3 << "power: no reply within 500 ms" << 1;
        QTest::newRow("no such port") << "" << "--port /nonexistent/qm25 power" << 4
                                      << "power: Cannot open /nonexistent/qm25: No such file" << 1;
        QTest::newRow("line lost") << "--hangup-after 1" << "power power" << 4 << " was lost: " << 2;
        QTest::newRow("usage error") << "" << "power onn" << 2 << "unknown command \"onn\"" << 2;
        QTest::newRow("power on waits for the count-down") << "--warmup-ms 600" << "power on input pc2 input" << 0
            << "power on: accepted; Power ON\ninput pc2: accepted\ninput: Computer 2\n" << 3;
        QTest::newRow("power off waits for stand-by") << "--warmup-ms 0 --cooldown-ms 600" << "power on power off power"
            << 0 << "power off: accepted; Stand by\npower: Stand by\n" << 3;
        QTest::newRow("wait bounded") << "--warmup-ms 30000" << "--wait 0.2 power on" << 5
                                      << "power on: accepted, but the power reads \"Count down\"" << 1;
        QTest::newRow("power fail ends the wait") << "--warmup-ms 300 --lamp-fails" << "power on" << 5
                                                  << "power on: accepted, but the power reads \"Power Fail\"" << 1;
        QTest::newRow("a typed power on does not wait") << "--warmup-ms 30000" << "--wait 0.2 send C00" << 0
                                                       << "send C00: accepted\n" << 1;
        QTest::newRow("first failure stops the rest") << "--warmup-ms 30000" << "--wait 0 power on input pc2 power" << 1
                                                      << "power on: accepted\n" << 2;
        // Waiting out the time-out would take 120 s and fail the run.
        QTest::newRow("reply complete at its CR") << "--split 3 --split-gap 50 --lamp-hours 12345" << "--timeout 60000 power lamp time"
                                                  << 0 << "power: Stand by\nlamp time: 12345 h\n" << 2;
    }
    void outcomesAndExitStatus()
    {
        QFETCH(QString, simArgs);
        QFETCH(QString, args);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(int, lines);
        SimProcess sim(simArgs.split(' ', Qt::SkipEmptyParts));
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        const Run r = runCtl(args.split(' '), sim.devicePath());
        const QByteArray said = r.out + r.err;
        QVERIFY2(said.contains(says.toUtf8()), said.constData());
        QCOMPARE(said.count('\n'), lines);
        QCOMPARE(r.status, status);
    }

    void jsonObjectPerCommand()
    {
        SimProcess sim({"--warmup-ms", "0"});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        Run r = runCtl({"status", "power on", "send", "C99", "--json"}, sim.devicePath());
        QCOMPARE(r.status, 1);
        const QList<QJsonObject> all = objects(r.out);
        QStringList names;
        for (const QJsonObject &o : all) {
            names << o["name"].toString();
            QCOMPARE(o.keys(), (QStringList{"decoded", "frame", "ms", "name", "outcome", "rendered", "reply", "value"}));
        }
        QCOMPARE(names, (QStringList{"power", "input", "lamp time", "settings", "temperatures", "power on", "send"}));
        const auto shape = [](const QJsonObject &o) {
            return QStringList{o["frame"].toString(), o["reply"].toString(), o["rendered"].toString(),
                               o["decoded"].toString(), o["outcome"].toString()};
        };
        QCOMPARE(shape(all[0]), (QStringList{"CR0\r", "80\r", " 8 0 CR ", " Stand by", "ok"}));
        QCOMPARE(all[0]["value"]["state"], "standby");
        QCOMPARE(all[2]["value"]["hours"], 0);  // numbers as numbers
        QCOMPARE(all[4]["value"]["celsius"][2], 25.0);
        QCOMPARE(all[5]["value"]["state"], "on");  // the power read that ended the wait
        QCOMPARE(shape(all[6]), (QStringList{"C99\r", "ERR\r", " E R R CR ", "", "not-accepted"}));
        QVERIFY(all[6]["value"].isNull());
        QCOMPARE(objects(runCtl({"--json", "power"}, "/nonexistent/qm25").out).value(0)["outcome"], "port-error");
    }

    // A reply that came too late for the exchange before, still waiting in
    // the line, is not taken as the answer to the next frame: on a serial
    // line, and on a device server's connection.
    void aStaleReplyOnTheLineIsNotTheAnswer()
    {
        for (const bool deviceServer : {false, true}) {
            PtyPeer projector;
            QTcpServer server;
            PortLine line;
            QVERIFY(server.listen(QHostAddress::LocalHost)
                    && line.setDevice(deviceServer ? QString("tcp://127.0.0.1:%1").arg(server.serverPort()) : projector.path()));
            QVERIFY2(line.open() && line.finishOpening(), qPrintable(line.errorText()));
            QTcpSocket *peer = deviceServer ? (server.waitForNewConnection(100), server.nextPendingConnection()) : nullptr;
            const auto send = [&](const QByteArray &b) { return peer ? peer->write(b) == b.size() && peer->flush() : projector.write(b); };
            ctl::Runner runner(&line, 2000, 0);
            QVERIFY(send("99\r"));  // late, and not yet read by anyone
            QThread::msleep(50);     // (on its way over loopback meanwhile)
            QTimer::singleShot(100, &line, [&] {
                if ((peer ? (peer->waitForReadyRead(1000), peer->readAll()) : projector.readExactly(4, 1000)) == "CR0\r")
                    send("80\r");
            });
            const ctl::Result r = runner.run({&command("power"), false, {}});
            QCOMPARE(r.reply, QByteArray("80\r"));
            QCOMPARE(ctl::explain(r), QStringLiteral("Stand by"));
        }
    }

    void portHeldByAnotherProgramSaysSo()
    {
        SimProcess sim({});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        // Named by a stable name, as an adapter is.
        QTemporaryDir byId;
        const QString stable = byId.filePath("usb-FTDI_FT232R-if00-port0");
        QVERIFY(QFile::link(sim.devicePath(), stable));
        setStableNamesFolder(byId.path());
        QString said;
        QTextStream out(&said), err(&said);
        {  // The gateway: its raw exchange port is the way in; its PJLink port is no projector's.
            QTcpServer free;
            QTemporaryFile password;
            QVERIFY(free.listen(QHostAddress::LocalHost) && password.open() && password.write("s3cret\n") == 7 && password.flush());
            const QString raw = QString("127.0.0.1:%1").arg(free.serverPort());
            free.close();
            Gatewayd gateway({"--port", sim.devicePath(), "--raw", raw, "--password-file", password.fileName()});
            QVERIFY(gateway.waitForLog("line open"));
            QCOMPARE(ctl::runProgram({"--port", stable, "power"}, out, err), 4);
            QCOMPARE(ctl::runProgram({"--port", QString("tcp://127.0.0.1:%1").arg(gateway.pjlink), "power"}, out, err), 6);
            QVERIFY2(said.contains("The room-control gateway is using this port (qm25d, process ")
                     && said.contains("Choose its raw exchange port instead: the device tcp://" + raw + ".")
                     && said.contains("power: reply \" P J L I N K "), qPrintable(said));
        }
        QProcess panel;
        panel.start(QM25_CONTROL_BIN, {"-platform", "offscreen", "--com1", sim.devicePath()});
        // Once the panel holds the device's lock for good (at start-up it
        // opens the port, closes it and opens it again), not before: a qm25ctl
        // run meanwhile would keep the panel from starting.
        const QString held = QString("qm25-control, process %1").arg(panel.processId());
        const auto holds = [&] { return portHolder(sim.devicePath()) == held; };
        QVERIFY(QTest::qWaitFor([&] { return holds() && (QTest::qWait(200), holds()); }, 20000));
        said.clear();
        QCOMPARE(ctl::runProgram({"--port", stable, "power"}, out, err), 4);
        QVERIFY2(said.contains("Cannot open " + stable) && said.contains("The control panel is using this port (" + held + ")"),
                 qPrintable(said));
        panel.kill();  // killed by a signal: its lock file stays
        QVERIFY(panel.waitForFinished());
        QCOMPARE(portHolder(sim.devicePath()), QString("a stale lock file of a program that has ended"));
        said.clear();
        QCOMPARE(ctl::runProgram({"--port", stable, "power"}, out, err), 0);
        setStableNamesFolder({});
    }
};

QTEST_GUILESS_MAIN(CtlTest)
#include "test_ctl.moc"
