// The panel as the operator uses it: the real window, shown (offscreen),
// worked with the mouse and the keyboard, on the real serial line and real
// timers, against the projector simulator on a pseudo-terminal, or on it
// through a serial device server (Debian's ser2net); the program itself when
// its port cannot be had.
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/panel.h"
#include "support/pty.h"
#include "support/sim_process.h"

using namespace qm25;
using namespace qm25::test;

namespace {

constexpr int kWaitMs = 15000;  // bound for anything that should happen

// What the three display lines showed right after a reception, a reply
// time-out or a display clear (connected after the exchange's own handlers).
struct Shot {
    char event;  // 'r' reply, 't' time-out, 'c' clear
    QString txd, rxd, status;
};

// A simulator, the window on it (directly or through ser2net) shown at full
// height, and a log of the lines.
struct Bench {
    QTemporaryDir dir;
    QString trace, failure;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<Ser2net> server;
    std::unique_ptr<Panel> p;
    QList<Shot> shots;
    int sims = 0;

    bool start(const QStringList &simArgs, const QString &com1 = {}, bool viaSer2net = false)
    {
        trace = dir.filePath(QStringLiteral("trace%1").arg(++sims));
        sim = std::make_unique<SimProcess>(simArgs + QStringList{"--trace-file", trace});
        if (!sim->ok())
            return fail(sim->failure());
        if (viaSer2net && !server && !(server = std::make_unique<Ser2net>(sim->devicePath(), dir.path()))->start())
            return fail(server->failure());
        if (p)
            return true;
        p = makePanel(server ? server->url() : com1.isEmpty() ? sim->devicePath() : com1);
        PanelWindow &f = p->f();
        if (!p->warnings.isEmpty())
            return fail(p->warnings.join(u'\n'));
        ExchangeEngine &e = p->ex();
        const auto take = [this, &e](char event) {
            shots.append({event, e.text(DisplayLine::Txd), e.text(DisplayLine::Rxd), e.text(DisplayLine::Status)});
        };
        QObject::connect(&f.line(), &Line::received, &f, [take] { take('r'); });
        QObject::connect(e.replyTimer(), &IntervalTimer::tick, &f, [take] { take('t'); });
        QObject::connect(e.clearTimer(), &IntervalTimer::tick, &f, [take] { take('c'); });
        f.show();
        QApplication::setActiveWindow(&f);
        if (!QTest::qWaitForWindowActive(&f, kWaitMs))
            return fail(QStringLiteral("the window did not become active"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_H, Qt::ControlModifier);
        QTest::mouseDClick(f.picture(), Qt::LeftButton);
        return f.heightTwips() == 9100 || fail(QStringLiteral("not at full height"));
    }
    bool fail(const QString &why)
    {
        failure = why;
        return false;
    }

    // One exchange at the operator's pace: `act`, then wait for a whole reply
    // and the reply time-out after it. The display as the reply left it.
    Shot exchange(const std::function<void()> &act)
    {
        const qsizetype from = shots.size();
        act();
        Shot reply{'?', {}, {}, {}};
        (void)QTest::qWaitFor([&] {
            bool timedOut = false;
            for (qsizetype i = from; i < shots.size(); ++i) {
                if (shots[i].event == 'r' && shots[i].rxd.endsWith(u"CR "))
                    reply = shots[i];
                timedOut = timedOut || (shots[i].event == 't' && reply.event == 'r');
            }
            return timedOut;
        }, kWaitMs);
        return reply;
    }
    Shot ask(const char *button) { return exchange([&] { p->click(button); }); }
    Shot type(const QString &text)  // on the command line, then SEND
    {
        return exchange([&] { p->f().commandBox()->setText(text), p->click("Command95"); });
    }
    // Asks STATUS until it shows `until`; every text seen, once in a row.
    QStringList powerUntil(const QString &until)
    {
        QStringList seen;
        for (QDeadlineTimer d(kWaitMs); !d.hasExpired() && (seen.isEmpty() || seen.last() != until);) {
            const QString s = ask("Command44").status;
            if (seen.isEmpty() || seen.last() != s)
                seen.append(s);
        }
        return seen;
    }
};

// Another program holding a port: this test program again, opening it with
// the serial port layer (which locks it) until its input closes.
int holdPort(const QByteArray &device)
{
    QSerialPort port;
    port.setPortName(QString::fromLocal8Bit(device));
    std::printf(port.open(QIODevice::ReadWrite) ? "held\n" : "failed\n");
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

// Runs the program with COM1 on `com1`, as `asUser` when given; its exit
// status and its own line on stderr.
std::pair<int, QString> runProgram(const QString &com1, const QStringList &asUser = {})
{
    QProcess proc;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QM25_COM1", com1);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    proc.setProcessEnvironment(env);
    if (asUser.isEmpty())
        proc.start(QStringLiteral(QM25_CONTROL_BIN), {});
    else
        proc.start(asUser.first(), asUser.mid(1) + QStringList{QM25_CONTROL_BIN});
    if (!proc.waitForFinished(30000)) {
        proc.kill();
        proc.waitForFinished();
        return {-1, QStringLiteral("still running: the window was shown")};
    }
    for (const QString &line : QString::fromLocal8Bit(proc.readAllStandardError()).split(u'\n'))
        if (line.startsWith(u"qm25-control: "))
            return {proc.exitCode(), line};
    return {proc.exitCode(), QString()};
}

}  // namespace

class EndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("QM25_COM2"); }

    // The same steps on a pseudo-terminal and through a device server.
    void powerCycleAndStatusReads_data()
    {
        QTest::addColumn<bool>("viaSer2net");
        QTest::newRow("pseudo-terminal") << false;
        QTest::newRow("ser2net") << true;
    }
    void powerCycleAndStatusReads()
    {
        // Typed commands leave a 2000 ms reply time-out for every later
        // exchange: the cooling outlasts two of them.
        QFETCH(bool, viaSer2net);
        Bench b;
        QVERIFY2(b.start({"--warmup-ms", "2000", "--cooldown-ms", "6000"}, {}, viaSer2net),
                 qPrintable(b.failure));
        Shot s = b.ask("Command44");
        QCOMPARE(s.txd, QStringLiteral(" C R 0 CR "));
        QCOMPARE(s.rxd, QStringLiteral(" 8 0 CR "));
        QCOMPARE(s.status, QStringLiteral(" Stand by"));

        QCOMPARE(b.ask("Command17").rxd, QStringLiteral(" ACK CR "));  // ON
        QCOMPARE(b.powerUntil(" Power ON"), (QStringList{" Count down", " Power ON"}));
        QCOMPARE(b.ask("Command28").rxd, QStringLiteral(" ACK CR "));  // PC2
        QCOMPARE(b.ask("Command45").status, QStringLiteral(" Computer 2"));
        // VOL "+" held repeats until released; STATUS marks the release on
        // the line: a repeat that outlived it would come after it.
        QTest::mousePress(b.p->w("Command1"), Qt::LeftButton);
        QTest::qWait(1000);
        QTest::mouseRelease(b.p->w("Command1"), Qt::LeftButton);
        QVERIFY(b.p->f().txdLine()->text().isEmpty() && b.p->f().rxdLine()->text().isEmpty());
        QCOMPARE(b.ask("Command44").status, QStringLiteral(" Power ON"));
        const QStringList frames = tracedFrames(b.trace);
        const qsizetype repeats = frames.lastIndexOf("CR0<CR>") - frames.indexOf("C09<CR>");
        QVERIFY2(repeats >= 2 && repeats <= 8 && frames.count("C09<CR>") == repeats, qPrintable(frames.join(u' ')));
        b.ask("Command19");  // SOUND MUTE ON
        s = b.type(QStringLiteral("CRA"));
        QCOMPARE(s.txd, QStringLiteral(" C R A CR "));
        QCOMPARE(s.status, QStringLiteral(" Audio mute ON"));
        QCOMPARE(b.type(QStringLiteral("CR PRESSURE")).status, QStringLiteral("1013 hPa"));
        QCOMPARE(b.ask("Command18").rxd, QStringLiteral(" ACK CR "));  // OFF
        QCOMPARE(b.powerUntil(" Stand by"), (QStringList{" Cooling down", " Stand by"}));
    }

    // The line goes while a button repeats: the projector's end hangs up,
    // or the device server stops. Then it comes back and COM1 is chosen.
    void lostLineThenChosenAgain_data() { powerCycleAndStatusReads_data(); }
    void lostLineThenChosenAgain()
    {
        QFETCH(bool, viaSer2net);
        Bench b;
        const QString link = b.dir.filePath("com1");
        QVERIFY2(b.start(viaSer2net ? QStringList{} : QStringList{"--link", link, "--hangup-after", "3"}, link, viaSer2net),
                 qPrintable(b.failure));
        PanelWindow &f = b.p->f();
        QTest::mousePress(b.p->w("Command15"), Qt::LeftButton);  // Brightness "+", every 50 ms
        if (viaSer2net)
            b.server->stop();
        QTRY_COMPARE_WITH_TIMEOUT(b.p->warnings.size(), 1, kWaitMs);
        const QString device = viaSer2net ? b.server->url() : link;
        QVERIFY2(b.p->warnings[0].startsWith("COM1 (" + device + ") was lost: "), qPrintable(b.p->warnings[0]));
        QVERIFY(!f.line().isOpen() && !b.p->ex().repeatTimer()->isEnabled());
        const double cpu = processCpuMs();
        QTest::qWait(500);
        QVERIFY2(processCpuMs() - cpu < 150, "busy after the loss");
        QVERIFY(!f.statusLine()->text().contains(u"Not sent"));  // no tick tried the closed port
        QTest::mouseRelease(b.p->w("Command15"), Qt::LeftButton);
        b.p->click("Command44");  // the window still answers, and says why nothing went out
        QCOMPARE(f.statusLine()->text(), QStringLiteral(" Not sent: port closed"));

        const bool back = viaSer2net ? b.server->start() : b.start({"--link", link});
        QVERIFY2(back, qPrintable(viaSer2net ? b.server->failure() : b.failure));
        b.p->click("Command33");
        QTest::mouseClick(f.portOption(1), Qt::LeftButton);  // the port already marked
        QTRY_VERIFY_WITH_TIMEOUT(f.line().isOpen() && f.portPanel()->isHidden() && f.portOption(1)->isChecked(), kWaitMs);
        // Replies to the repeats before the loss may still wait at the server
        // and come first: the second exchange is a clean one.
        b.ask("Command44");
        QCOMPARE(b.ask("Command44").status, QStringLiteral(" Stand by"));
        QCOMPARE(b.p->warnings.size(), 1);
        if (!viaSer2net)
            return;
        // The server sets the speed: a choice is kept for a serial port, and said.
        b.p->click("Command33");
        QTest::mouseClick(f.option9600(), Qt::LeftButton);
        QCOMPARE(f.statusLine()->text(), QStringLiteral(" Speed: set by the device server"));
        QVERIFY(f.line().isOpen() && f.line().settings() == "9600,N,8,1");
    }

    void programEndsWhenCom1CannotBeOpened_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("advice");
        QTest::newRow("missing") << "/nonexistent/qm25-port" << "No such file or directory. There is no such device";
        QTest::newRow("/dev/null") << "/dev/null" << "/dev/null is not a serial port";
        QTest::newRow("held") << "HELD" << "Another program is using this port (";
        QTest::newRow("forbidden") << "NOBODY" << "members of group \"";
        QTest::newRow("no route to the device server") << "tcp://127.0.0.1:4001" << "no route to 127.0.0.1 port 4001";
    }
    void programEndsWhenCom1CannotBeOpened()
    {
        QFETCH(QString, device);
        QFETCH(QString, advice);
        PtyPeer pty;
        QProcess holder;
        QStringList asUser;
        if (device == "HELD") {
            device = pty.path();
            holder.setProcessEnvironment([&] {
                auto env = QProcessEnvironment::systemEnvironment();
                env.insert("QM25_HOLD_PORT", device);
                return env;
            }());
            holder.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(holder.waitForReadyRead(20000) && holder.readLine() == "held\n");
        } else if (device.startsWith("tcp:")) {
            // A network namespace of its own, where even the loopback is down.
            asUser = QStringList{"unshare", "--net"};
            if (QProcess::execute("unshare", {"--net", "true"}) != 0)
                QSKIP("needs unshare and the right to make a network namespace");
        } else if (device == "NOBODY") {
            const QString setpriv = QStandardPaths::findExecutable("setpriv");
            if (::geteuid() != 0 || setpriv.isEmpty())
                QSKIP("needs root and setpriv to run the program as another user");
            asUser = QStringList{setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
            if (QProcess::execute(setpriv, asUser.mid(1) + QStringList{"test", "-x", QM25_CONTROL_BIN}) != 0)
                QSKIP("user nobody cannot reach the program");
            device = pty.path();
            const QByteArray path = device.toLocal8Bit();
            const group *dialout = ::getgrnam("dialout");
            QVERIFY(::chmod(path.constData(), 0660) == 0 && (!dialout || ::chown(path.constData(), 0, dialout->gr_gid) == 0));
        }
        const auto [status, reason] = runProgram(device, asUser);
        QCOMPARE(status, 1);
        QVERIFY2(reason.startsWith(QStringLiteral("qm25-control: Cannot open COM1 (%1): ").arg(device)), qPrintable(reason));
        QVERIFY2(reason.contains(advice), qPrintable(reason));
        if (holder.state() != QProcess::NotRunning) {
            QVERIFY2(reason.contains(QStringLiteral("process %1").arg(holder.processId())), qPrintable(reason));
            holder.closeWriteChannel();
        }
    }
};

int main(int argc, char *argv[])
{
    if (const QByteArray device = qgetenv("QM25_HOLD_PORT"); !device.isEmpty()) {
        QCoreApplication app(argc, argv);
        return holdPort(device);
    }
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    EndToEndTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_end_to_end.moc"
