// qm25ctl as scripts run it, against the projector simulator: a name for
// every table row, each outcome and its exit status, the JSON it prints,
// and a port held by the panel.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include "core/command_table.h"
#include "support/sim_process.h"

using namespace qm25;
using namespace qm25::test;

namespace {

struct Run {
    int status = -1;  // -1: crashed, or still running after 30 s
    QByteArray out, err;
};

// qm25ctl with COM1 on `com1`.
Run ctl(const QStringList &args, const QString &com1)
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
    void listNamesEveryTableRowOnce()
    {
        const Run r = ctl({"list", "--json"}, "/nonexistent/qm25");
        QCOMPARE(r.status, 0);
        QMap<QString, QJsonObject> listed;  // a name given twice would show once
        for (const QJsonObject &o : objects(r.out))
            listed.insert(o["name"].toString(), o);
        QStringList rows;
        for (const ClickCommand &row : clickCommands())
            rows << QString("%1=%2").arg(row.name, row.code);
        for (const RepeatCommand &row : repeatCommands())
            rows << QString("%1=%2").arg(row.name, row.code);
        for (const TypedQuery &row : typedQueries())
            rows << QString("%1=%2").arg(row.name, row.code);
        for (const QString &row : rows)
            QVERIFY2(listed.value(row.section('=', 0, 0))["code"].toString() == row.section('=', 1), qPrintable(row));
        QCOMPARE(listed.size(), rows.size());
        // The reply time-out of each kind of command is the panel's.
        const QList<std::pair<QString, int>> timeouts{
            {"power on", 500}, {"image cinema", 2000}, {"signal video auto", 5000}, {"volume up", 500}, {"mute", 2000}};
        for (const auto &[name, ms] : timeouts)
            QCOMPARE(listed[name]["timeout_ms"].toInt(), ms);
    }

    void outcomesAndExitStatus_data()
    {
        QTest::addColumn<QString>("simArgs");
        QTest::addColumn<QString>("args");  // one argument per word
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("lines");  // on stdout and stderr: one per command run
        QTest::newRow("status read") << "" << "power" << 0 << "power: Stand by\n" << 1;
        QTest::newRow("refused in stand-by") << "" << "input pc2" << 1 << "input pc2: not accepted, reply \" ? CR \"" << 1;
        QTest::newRow("unknown code") << "" << "send C99" << 1 << "send C99: not accepted, reply \" E R R CR \"" << 1;
        QTest::newRow("over a device server") << "--tcp 127.0.0.1:0" << "power" << 0 << "power: Stand by\n" << 1;
        QTest::newRow("silent projector") << "--no-reply" << "power" << 3 << "power: no reply within 500 ms" << 1;
        QTest::newRow("no such port") << "" << "--port /nonexistent/qm25 power" << 4
                                      << "power: Cannot open /nonexistent/qm25: No such file" << 1;
        QTest::newRow("line lost") << "--hangup-after 1" << "power power" << 4 << " was lost: " << 2;
        QTest::newRow("unknown name") << "" << "power onn" << 2 << "unknown command \"onn\"" << 2;
        QTest::newRow("power on waits for the count-down") << "--warmup-ms 600" << "power on input pc2 input" << 0
            << "power on: accepted; Power ON\ninput pc2: accepted\ninput: Computer 2\n" << 3;
        QTest::newRow("power off waits for stand-by") << "--warmup-ms 0 --cooldown-ms 600" << "power on power off power"
            << 0 << "power off: accepted; Stand by\npower: Stand by\n" << 3;
        QTest::newRow("wait bounded") << "--warmup-ms 30000" << "--wait 0.2 power on" << 5
                                      << "power on: accepted, but the power reads \"Count down\"" << 1;
        QTest::newRow("power fail ends the wait") << "--warmup-ms 300 --lamp-fails" << "power on" << 5
                                                  << "power on: accepted, but the power reads \"Power Fail\"" << 1;
        QTest::newRow("first failure stops the rest") << "--warmup-ms 30000" << "--wait 0 power on input pc2 power" << 1
                                                      << "power on: accepted\n" << 2;
        // Waiting out the time-out would take 120 s and fail the run.
        QTest::newRow("reply complete at its CR") << "--split 3 --split-gap 50" << "--timeout 60000 power lamp time" << 0
                                                  << "power: Stand by\nlamp time: 0 0 0 0 0 CR  Hour Use\n" << 2;
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
        const Run r = ctl(args.split(' '), sim.devicePath());
        const QByteArray said = r.out + r.err;
        QVERIFY2(said.contains(says.toUtf8()), said.constData());
        QCOMPARE(said.count('\n'), lines);
        QCOMPARE(r.status, status);
    }

    void jsonObjectPerCommand()
    {
        SimProcess sim({"--warmup-ms", "0"});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        Run r = ctl({"status", "power on", "send", "C99", "--json"}, sim.devicePath());
        QCOMPARE(r.status, 1);
        const QList<QJsonObject> all = objects(r.out);
        QStringList names;
        for (const QJsonObject &o : all) {
            names << o["name"].toString();
            QCOMPARE(o.keys(), (QStringList{"decoded", "frame", "ms", "name", "outcome", "rendered", "reply"}));
        }
        QCOMPARE(names, (QStringList{"power", "input", "lamp time", "settings", "temperatures", "power on", "send"}));
        const auto shape = [](const QJsonObject &o) {
            return QStringList{o["frame"].toString(), o["reply"].toString(), o["rendered"].toString(),
                               o["decoded"].toString(), o["outcome"].toString()};
        };
        QCOMPARE(shape(all[0]), (QStringList{"CR0\r", "80\r", " 8 0 CR ", " Stand by", "ok"}));
        QCOMPARE(shape(all[6]), (QStringList{"C99\r", "ERR\r", " E R R CR ", "", "not-accepted"}));
        QCOMPARE(objects(ctl({"--json", "power"}, "/nonexistent/qm25").out).value(0)["outcome"], "port-error");
    }

    void portHeldByThePanelSaysSo()
    {
        SimProcess sim({});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        QProcess panel;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QM25_COM1", sim.devicePath());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        panel.setProcessEnvironment(env);
        panel.start(QM25_CONTROL_BIN, {});
        // Once the panel has the device open (and so its lock), not before:
        // a qm25ctl run meanwhile would keep the panel from starting.
        QVERIFY(QTest::qWaitFor([&] {
            const QDir fds(QString("/proc/%1/fd").arg(panel.processId()));
            for (const QFileInfo &fd : fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
                if (fd.symLinkTarget() == sim.devicePath())
                    return true;
            return false;
        }, 20000));
        const Run r = ctl({"--port", sim.devicePath(), "power"}, {});
        QCOMPARE(r.status, 4);
        const QString held = QString("The control panel is using this port (qm25-control, process %1)").arg(panel.processId());
        QVERIFY2(r.err.contains(held.toUtf8()), r.err.constData());
        panel.terminate();
        QVERIFY(panel.waitForFinished());
        QCOMPARE(ctl({"--port", sim.devicePath(), "power"}, {}).status, 0);
    }
};

QTEST_GUILESS_MAIN(CtlTest)
#include "test_ctl.moc"
