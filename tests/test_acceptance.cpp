// The panel as the operator uses it: the real window, shown (offscreen),
// worked with the mouse and the keyboard, on the real serial control and
// real timers, against the projector simulator on a pseudo-terminal. Last,
// the start script brings up the real program on a simulator of its own.
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <optional>
#include <sys/types.h>
#include <unistd.h>

#include "support/panel.h"
#include "support/sim_process.h"

using namespace qm25;
using namespace qm25::test;

namespace {

constexpr int kWaitMs = 15000;  // bound for anything that should happen

// What the three display lines showed right after an event that writes them.
struct Shot {
    enum Event { Reply, ReplyTimeout, DisplayClear };
    Event event;
    QString txd, rxd, status;
};

QString describe(const Shot &s)
{
    static const char *const names[] = {"reply", "time-out", "clear"};
    return QStringLiteral("%1: TXD \"%2\" RXD \"%3\" STATUS \"%4\"")
        .arg(QLatin1String(names[s.event]), s.txd, s.rxd, s.status);
}

// Records the display lines after each reception, reply time-out and display
// clear, so what the operator saw can be checked after the clear has emptied
// the lines again. Connected after the window's own handlers, so it runs
// right after them.
class DisplayLog : public QObject {
public:
    explicit DisplayLog(Form1 &f) : f_(f)
    {
        connect(f.MSComm1, &MSComm::OnComm, this, [this] { take(Shot::Reply); });
        connect(f.Timer2, &IntervalTimer::Timer, this, [this] { take(Shot::ReplyTimeout); });
        connect(f.Timer4, &IntervalTimer::Timer, this, [this] { take(Shot::DisplayClear); });
    }
    QList<Shot> shots;

private:
    void take(Shot::Event e)
    {
        shots.append({e, f_.Label11->text(), f_.Label12->text(), f_.Label22->text()});
    }
    Form1 &f_;
};

// A panel on a simulator, and what the operator does with it.
class Bench {
public:
    // Starts a simulator with these arguments (and a trace file). The panel's
    // COM1 is `com1` when given (a --link path), otherwise the simulator's
    // device.
    [[nodiscard]] bool startSim(const QStringList &args, const QString &com1 = {})
    {
        trace = dir.filePath(QStringLiteral("trace%1.txt").arg(++sims_));
        sim = std::make_unique<SimProcess>(args + QStringList{QStringLiteral("--trace-file"), trace});
        if (!sim->ok())
            return fail(sim->failure());
        qputenv("QM25_COM1", (com1.isEmpty() ? sim->devicePath() : com1).toLocal8Bit());
        return true;
    }

    // A simulator, then the window on it, shown, active and opened to its
    // full height the operator's way: Ctrl+H, then a double-click on the
    // picture.
    [[nodiscard]] bool begin(const QStringList &simArgs, const QString &com1 = {})
    {
        if (!startSim(simArgs, com1))
            return false;
        panel = makeRealPanel();
        Form1 &f = form();
        if (!f.MSComm1->PortOpen())
            return fail(QStringLiteral("COM1 did not open: ") + f.startupError());
        log = std::make_unique<DisplayLog>(f);
        f.show();
        QApplication::setActiveWindow(&f);
        if (!QTest::qWaitForWindowActive(&f, kWaitMs))
            return fail(QStringLiteral("the window did not become active"));
        QWidget *focused = QApplication::focusWidget();
        QTest::keyClick(focused ? focused : &f, Qt::Key_H, Qt::ControlModifier);
        QTest::mouseDClick(f.Image1, Qt::LeftButton);
        if (f.heightTwips() != 9100)
            return fail(QStringLiteral("the window is %1 twips high, not at full height").arg(f.heightTwips()));
        for (const char *name : {"Command1", "Command17", "Command18", "Command19", "Command28", "Command33",
                                 "Command44", "Command45", "Command46", "Command47", "Command54", "Command95",
                                 "Command96", "Text1", "Label11", "Label12", "Label22"}) {
            if (!inView(f.control(QLatin1String(name))))
                return fail(QStringLiteral("%1 is not in view").arg(QLatin1String(name)));
        }
        return true;
    }

    Form1 &form() { return *panel->form; }
    bool inView(QWidget *w)
    {
        return w && w->isVisible() && form().rect().contains(QRect(w->mapTo(&form(), QPoint()), w->size()));
    }

    void click(const char *name) { QTest::mouseClick(form().control(QLatin1String(name)), Qt::LeftButton); }

    // Types `text` on the command line (emptied with CLS first) and clicks SEND.
    void sendLine(const QString &text)
    {
        click("Command96");
        QTest::mouseClick(form().Text1, Qt::LeftButton);
        QTest::keyClicks(form().Text1, text);
        click("Command95");
    }

    // One exchange at the operator's pace: does `act`, then waits until a
    // whole reply (up to its CR) has been shown and the reply time-out has
    // passed, which empties the receive buffer for the next exchange.
    // `*reply` is the display as the last piece of the reply left it.
    [[nodiscard]] bool exchange(const std::function<void()> &act, Shot *reply)
    {
        const qsizetype from = log->shots.size();
        act();
        const auto settled = [&] {
            bool whole = false, timedOut = false;
            for (qsizetype i = from; i < log->shots.size(); ++i) {
                const Shot &s = log->shots[i];
                if (s.event == Shot::Reply && s.rxd.endsWith(QLatin1String("CR "))) {
                    whole = true;
                    *reply = s;
                }
                timedOut = timedOut || s.event == Shot::ReplyTimeout;
            }
            return whole && timedOut;
        };
        if (QTest::qWaitFor(settled, kWaitMs))
            return true;
        return fail(QStringLiteral("no whole reply came; display since the send:\n") + history(from));
    }
    [[nodiscard]] bool ask(const char *button, Shot *reply)
    {
        return exchange([&] { click(button); }, reply);
    }
    [[nodiscard]] bool askLine(const QString &text, Shot *reply)
    {
        return exchange([&] { sendLine(text); }, reply);
    }

    // Asks STATUS until it shows `until`, accepting `meanwhile` before it;
    // every text seen goes to `*seen` once in a row.
    [[nodiscard]] bool waitForPower(const QString &until, const QString &meanwhile, QStringList *seen)
    {
        QDeadlineTimer deadline(kWaitMs);
        while (!deadline.hasExpired()) {
            Shot s;
            if (!ask("Command44", &s))
                return false;
            if (seen->isEmpty() || seen->last() != s.status)
                seen->append(s.status);
            if (s.status == until)
                return true;
            if (s.status != meanwhile)
                return fail(QStringLiteral("STATUS showed \"%1\" on the way to \"%2\"").arg(s.status, until));
            QTest::qWait(100);
        }
        return fail(QStringLiteral("STATUS never showed \"%1\"").arg(until));
    }

    QString history(qsizetype from = 0) const
    {
        QStringList lines;
        for (qsizetype i = from; i < log->shots.size(); ++i)
            lines.append(describe(log->shots[i]));
        return lines.join(QLatin1Char('\n'));
    }

    bool fail(const QString &why)
    {
        failure = why;
        return false;
    }

    QTemporaryDir dir;
    QString trace;  // trace file of the current simulator
    QString failure;
    // Declared in this order so the panel closes its port before the
    // simulator goes.
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<Panel> panel;
    std::unique_ptr<DisplayLog> log;

private:
    int sims_ = 0;
};

// --- processes of the start script, from /proc -------------------------------------

struct ProcInfo {
    qint64 pid = 0;
    qint64 parent = 0;
    QString name;
    char state = '?';
};

std::optional<ProcInfo> procInfo(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "pid (name) state ppid ..."; the name may hold blanks and parentheses.
    const QByteArray stat = file.readAll();
    const qsizetype open = stat.indexOf('('), close = stat.lastIndexOf(')');
    if (open < 0 || close < open)
        return std::nullopt;
    const QList<QByteArray> rest = stat.mid(close + 2).split(' ');
    if (rest.size() < 2 || rest[0].isEmpty())
        return std::nullopt;
    return ProcInfo{pid, rest[1].toLongLong(), QString::fromLocal8Bit(stat.mid(open + 1, close - open - 1)),
                    rest[0].at(0)};
}

// A running process (a zombie has ended) of this name, or false.
bool isRunning(qint64 pid, const QString &name)
{
    const auto info = procInfo(pid);
    return info && info->name == name && info->state != 'Z' && info->state != 'X';
}

// Every live process below `root`, each before its own children.
QList<ProcInfo> descendants(qint64 root)
{
    QList<ProcInfo> all;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        const auto info = number ? procInfo(pid) : std::nullopt;
        if (info && info->state != 'Z' && info->state != 'X')
            all.append(*info);
    }
    QList<ProcInfo> below;
    QList<qint64> parents{root};
    while (!parents.isEmpty()) {
        const qint64 parent = parents.takeFirst();
        for (const ProcInfo &info : all) {
            if (info.parent == parent) {
                below.append(info);
                parents.append(info.pid);
            }
        }
    }
    return below;
}

// The child of `parent` named `name`, or 0.
qint64 childNamed(qint64 parent, const QString &name)
{
    for (const ProcInfo &info : descendants(parent))
        if (info.parent == parent && info.name == name)
            return info.pid;
    return 0;
}

// What the files a process holds open resolve to.
QStringList openFiles(qint64 pid)
{
    QStringList targets;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        targets.append(fd.symLinkTarget());
    return targets;
}

// Ends, one by one and by their ids, what a failed or skipped run may have
// left of the script: whatever it still runs (a build, say), the panel and
// the simulator. The script itself goes with its QProcess.
struct ScriptGuard {
    const QProcess *script = nullptr;
    qint64 panel = 0, sim = 0;
    ~ScriptGuard()
    {
        if (script && script->state() != QProcess::NotRunning) {
            const QList<ProcInfo> left = descendants(script->processId());
            for (auto it = left.crbegin(); it != left.crend(); ++it)
                ::kill(pid_t(it->pid), SIGTERM);
        }
        if (panel && isRunning(panel, QStringLiteral("qm25-control")))
            ::kill(pid_t(panel), SIGKILL);
        if (sim && isRunning(sim, QStringLiteral("qm25-sim")))
            ::kill(pid_t(sim), SIGTERM);
    }
};

// True while the script still builds: some build tool runs below it.
bool stillBuilding(qint64 script)
{
    static const QStringList tools{"cmake", "gmake", "make", "cc1plus", "c++", "g++", "as", "ld", "collect2", "moc"};
    for (const ProcInfo &info : descendants(script))
        if (tools.contains(info.name))
            return true;
    return false;
}

}  // namespace

class AcceptanceTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        qunsetenv("QM25_COM1");
        qunsetenv("QM25_COM2");
    }

    void powerCycleShowsEachStage()
    {
        // Count-down and cooling outlast the exchange that starts them (a
        // send, its reply and the reply time-out) even on a slow machine.
        Bench b;
        QVERIFY2(b.begin({"--warmup-ms", "2000", "--cooldown-ms", "2000"}), qPrintable(b.failure));
        QStringList seen;
        Shot s;
        QVERIFY2(b.ask("Command44", &s), qPrintable(b.failure));
        QCOMPARE(s.txd, QStringLiteral(" C R 0 CR "));
        QCOMPARE(s.rxd, QStringLiteral(" 8 0 CR "));
        seen.append(s.status);

        QVERIFY2(b.ask("Command17", &s), qPrintable(b.failure));  // ON
        QCOMPARE(s.txd, QStringLiteral(" C 0 0 CR "));
        QCOMPARE(s.rxd, QStringLiteral(" ACK CR "));
        QVERIFY2(b.ask("Command44", &s), qPrintable(b.failure));
        seen.append(s.status);
        QVERIFY2(b.waitForPower(" Power ON", " Count down", &seen), qPrintable(b.failure));

        QVERIFY2(b.ask("Command18", &s), qPrintable(b.failure));  // OFF
        QCOMPARE(s.txd, QStringLiteral(" C 0 1 CR "));
        QCOMPARE(s.rxd, QStringLiteral(" ACK CR "));
        QVERIFY2(b.ask("Command44", &s), qPrintable(b.failure));
        seen.append(s.status);
        QVERIFY2(b.waitForPower(" Stand by", " Cooling down", &seen), qPrintable(b.failure));

        QCOMPARE(seen, (QStringList{" Stand by", " Count down", " Power ON", " Cooling down", " Stand by"}));
    }

    void inputAndMuteAreReadBack()
    {
        Bench b;
        QVERIFY2(b.begin({"--warmup-ms", "300", "--cooldown-ms", "300"}), qPrintable(b.failure));
        Shot s;
        QStringList seen;
        QVERIFY2(b.ask("Command17", &s), qPrintable(b.failure));
        QVERIFY2(b.waitForPower(" Power ON", " Count down", &seen), qPrintable(b.failure));

        QVERIFY2(b.ask("Command45", &s), qPrintable(b.failure));  // MODE
        QCOMPARE(s.status, QStringLiteral(" Computer 1"));
        QVERIFY2(b.ask("Command28", &s), qPrintable(b.failure));  // PC2
        QCOMPARE(s.rxd, QStringLiteral(" ACK CR "));
        QVERIFY2(b.ask("Command45", &s), qPrintable(b.failure));
        QCOMPARE(s.txd, QStringLiteral(" C R 1 CR "));
        QCOMPARE(s.rxd, QStringLiteral(" 2 CR "));
        QCOMPARE(s.status, QStringLiteral(" Computer 2"));

        QVERIFY2(b.ask("Command19", &s), qPrintable(b.failure));  // SOUND MUTE ON
        QCOMPARE(s.rxd, QStringLiteral(" ACK CR "));
        QVERIFY2(b.askLine("CRA", &s), qPrintable(b.failure));
        QCOMPARE(s.txd, QStringLiteral(" C R A CR "));
        QCOMPARE(s.rxd, QStringLiteral(" 0 2 CR "));
        QCOMPARE(s.status, QStringLiteral(" Audio mute ON"));
    }

    void statusReadsAreDecoded()
    {
        // In stand-by, so the temperatures stay at 25.0 and the hours at 123.
        Bench b;
        QVERIFY2(b.begin({"--lamp-hours", "123", "--orientation", "01"}), qPrintable(b.failure));
        Shot s;
        QVERIFY2(b.ask("Command46", &s), qPrintable(b.failure));  // L-TIME
        QCOMPARE(s.rxd, QStringLiteral(" 0 0 1 2 3 CR "));
        QCOMPARE(s.status, QStringLiteral(" 0 0 1 2 3 CR  Hour Use"));

        QVERIFY2(b.ask("Command54", &s), qPrintable(b.failure));  // TEMP: "025.0  25.0 025.0"
        QCOMPARE(s.status, QStringLiteral("  S1= 0 2 5 . 0 C  ,   S2=  2 5 . 0 C , S3= 0 2 5 . 0 C"));

        QVERIFY2(b.ask("Command47", &s), qPrintable(b.failure));  // SETTING
        QCOMPARE(s.rxd, QStringLiteral(" 0 1 CR "));
        QCOMPARE(s.status, QStringLiteral(" Left/Right reversal"));

        QVERIFY2(b.askLine("CR PRESSURE", &s), qPrintable(b.failure));  // count 853
        QCOMPARE(s.txd, QStringLiteral(" C R   P R E S S U R E CR "));
        QCOMPARE(s.rxd, QStringLiteral(" 0 8 5 3 CR "));
        QCOMPARE(s.status, QStringLiteral("1013 hPa"));
    }

    void heldVolumeRepeatsUntilRelease()
    {
        Bench b;
        QVERIFY2(b.begin({}), qPrintable(b.failure));
        Form1 &f = b.form();
        QWidget *plus = f.control("Command1");  // VOL "+"
        QTest::mousePress(plus, Qt::LeftButton);
        QCOMPARE(f.Label11->text(), QStringLiteral(" C 0 9 CR "));
        QTest::qWait(1000);
        QTest::mouseRelease(plus, Qt::LeftButton);
        QVERIFY(f.Label11->text().isEmpty());
        QVERIFY(f.Label12->text().isEmpty());

        // STATUS marks the release on the line: every C09 sent before it
        // arrives before it, and a repeat that outlived the release would
        // arrive after it. (A reply to the last C09 may still come after the
        // release and stand in front of the STATUS reply, so that reply is
        // not read here.)
        b.click("Command44");
        QTRY_VERIFY_WITH_TIMEOUT(tracedFrames(b.trace).contains(QLatin1String("CR0<CR>")), kWaitMs);
        QTest::qWait(600);
        QStringList frames = tracedFrames(b.trace);
        const QString all = frames.join(QLatin1Char(' '));
        QCOMPARE(frames.takeLast(), QStringLiteral("CR0<CR>"));
        QVERIFY2(frames.size() >= 2 && frames.size() <= 8, qPrintable(all));
        QVERIFY2(frames.count(QStringLiteral("C09<CR>")) == frames.size(), qPrintable(all));
    }

    void missingReplyShowsCrossesThenClears()
    {
        Bench b;
        QVERIFY2(b.begin({"--no-reply"}), qPrintable(b.failure));
        Form1 &f = b.form();
        b.click("Command44");
        QTRY_VERIFY_WITH_TIMEOUT(!b.log->shots.isEmpty() && b.log->shots.last().event == Shot::DisplayClear,
                                 kWaitMs);
        QCOMPARE(b.log->shots.size(), 2);  // no reception at all
        const Shot &timeout = b.log->shots[0];
        QCOMPARE(timeout.event, Shot::ReplyTimeout);
        QCOMPARE(timeout.txd, QStringLiteral(" C R 0 CR "));
        QCOMPARE(timeout.rxd, QStringLiteral(" X X X X"));
        QVERIFY(timeout.status.isEmpty());  // the time-out is never decoded
        QVERIFY(f.Label11->text().isEmpty());
        QVERIFY(f.Label12->text().isEmpty());
        QVERIFY(f.Label22->text().isEmpty());
        // The frame did reach the projector; only the answer was missing.
        QCOMPARE(tracedFrames(b.trace), QStringList{"CR0<CR>"});
    }

    void repliesInPiecesShowWholeAndDecode()
    {
        Bench b;
        QVERIFY2(b.begin({"--split", "3", "--split-gap", "30"}), qPrintable(b.failure));
        Shot s;
        QVERIFY2(b.ask("Command44", &s), qPrintable(b.failure));
        QCOMPARE(s.rxd, QStringLiteral(" 8 0 CR "));
        QCOMPARE(s.status, QStringLiteral(" Stand by"));
        QVERIFY2(b.ask("Command46", &s), qPrintable(b.failure));
        QCOMPARE(s.status, QStringLiteral(" 0 0 0 0 0 CR  Hour Use"));
        QVERIFY2(b.askLine("CR PRESSURE", &s), qPrintable(b.failure));
        QCOMPARE(s.rxd, QStringLiteral(" 0 8 5 3 CR "));
        QCOMPARE(s.status, QStringLiteral("1013 hPa"));
        // Each of the three replies went out in three pieces.
        QCOMPARE(tracedReplyPieces(b.trace).size(), 9);
    }

    void lostLineWarnsOnceAndCom1ReopensIt()
    {
        Bench b;
        const QString link = b.dir.filePath(QStringLiteral("com1"));
        QVERIFY2(b.begin({"--link", link, "--hangup-after", "1"}, link), qPrintable(b.failure));
        Form1 &f = b.form();
        Shot s;
        QVERIFY2(b.ask("Command44", &s), qPrintable(b.failure));  // answered, then the line drops
        QCOMPARE(s.status, QStringLiteral(" Stand by"));
        QTRY_COMPARE_WITH_TIMEOUT(b.panel->warnings.size(), 1, kWaitMs);
        QVERIFY2(b.panel->warnings[0].contains("COM1"), qPrintable(b.panel->warnings[0]));
        QVERIFY(!f.MSComm1->PortOpen());
        QVERIFY(b.sim->waitForCleanExit());
        QTest::qWait(300);
        QCOMPARE(b.panel->warnings.size(), 1);
        QCOMPARE(b.panel->ends, 0);

        // A new projector on the same path; the operator picks COM1 again.
        QVERIFY2(b.startSim({"--link", link}, link), qPrintable(b.failure));
        b.click("Command33");  // COM
        QVERIFY(b.inView(f.Option1));
        QTest::mouseClick(f.Option1, Qt::LeftButton);
        QVERIFY(f.MSComm1->PortOpen());
        QVERIFY(f.Frame8->isHidden());
        QCOMPARE(b.panel->warnings.size(), 1);
        QVERIFY2(b.ask("Command44", &s), qPrintable(b.failure));
        QCOMPARE(s.status, QStringLiteral(" Stand by"));
        QCOMPARE(tracedFrames(b.trace), QStringList{"CR0<CR>"});
    }

    void startScriptBringsUpTheProgram()
    {
        const QString script = QStringLiteral(QM25_SOURCE_DIR "/scripts/start.sh");
        QVERIFY2(QFileInfo(script).isFile(), qPrintable(script));
        const QString buildDir = QFileInfo(QStringLiteral(QM25_CONTROL_BIN)).absolutePath();

        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QM25_BUILD_DIR"), buildDir);
        env.remove(QStringLiteral("QM25_COM1"));
        env.remove(QStringLiteral("QM25_COM2"));
        run.setProcessEnvironment(env);
        run.setStandardInputFile(QProcess::nullDevice());
        run.start(QStringLiteral("bash"), {script, "--warmup-ms", "300", "--cooldown-ms", "300", "--trace"});
        QVERIFY(run.waitForStarted(kWaitMs));
        const qint64 scriptPid = run.processId();
        ScriptGuard guard{&run};
        QByteArray out, err;
        const auto collect = [&] {
            out += run.readAllStandardOutput();
            err += run.readAllStandardError();
        };

        // It sets up and builds first: fast when all is up to date, but it
        // may have work to do.
        QDeadlineTimer deadline(120000);
        while (!deadline.hasExpired() && run.state() == QProcess::Running) {
            collect();
            guard.sim = childNamed(scriptPid, QStringLiteral("qm25-sim"));
            guard.panel = childNamed(scriptPid, QStringLiteral("qm25-control"));
            if (guard.sim && guard.panel)
                break;
            QTest::qWait(200);
        }
        collect();
        if (!(guard.sim && guard.panel) && run.state() == QProcess::Running && stillBuilding(scriptPid))
            QSKIP("start.sh was still building after 120 s: the build directory was not up to date "
                  "(build every target first, e.g. with scripts/build.sh)");
        QVERIFY2(guard.sim && guard.panel && run.state() == QProcess::Running,
                 qPrintable(QStringLiteral("out: %1\nerr: %2")
                                .arg(QString::fromLocal8Bit(out), QString::fromLocal8Bit(err))));
        const QRegularExpression announced(QStringLiteral("start: projector simulator on (/dev/pts/\\d+)"));
        QTRY_VERIFY2_WITH_TIMEOUT((collect(), announced.match(QString::fromLocal8Bit(out)).hasMatch()),
                                  out.constData(), kWaitMs);
        const QString line = announced.match(QString::fromLocal8Bit(out)).captured(1);

        // A second later the panel still runs, with that line open.
        QTest::qWait(1000);
        collect();
        QVERIFY2(isRunning(guard.panel, QStringLiteral("qm25-control")), err.constData());
        QVERIFY2(openFiles(guard.panel).contains(line), qPrintable(openFiles(guard.panel).join(' ')));
        QVERIFY2(isRunning(guard.sim, QStringLiteral("qm25-sim")), err.constData());
        QCOMPARE(run.state(), QProcess::Running);
        QVERIFY2(!err.contains("Cannot open"), err.constData());
        QVERIFY2(err.contains("serving on /dev/pts/"), err.constData());  // the simulator's trace
        QVERIFY2(!err.contains("line lost"), err.constData());

        // Asked to stop, the script takes the panel and the simulator with it.
        run.terminate();
        QVERIFY(run.waitForFinished(kWaitMs));
        QTRY_VERIFY_WITH_TIMEOUT(!isRunning(guard.panel, QStringLiteral("qm25-control")), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!isRunning(guard.sim, QStringLiteral("qm25-sim")), kWaitMs);
    }
};

QTEST_MAIN(AcceptanceTest)
#include "test_acceptance.moc"
