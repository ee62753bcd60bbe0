// Fault drills on the real window and the real serial control: the device
// end hangs up, COM1 cannot be opened at start-up, a switch to a port that is
// held or missing, and sends while the port is closed.
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/panel.h"
#include "support/pty.h"

using namespace qm25;
using namespace qm25::test;

namespace {

// Bounds of the drills. A busy loop would use about a whole second of CPU.
constexpr qint64 kCloseBoundMs = 100;
constexpr double kIdleCpuBoundMs = 50.0;

// The real serial control, with every write that reaches the device layer
// recorded.
class CountingComm : public SerialPortComm {
    Q_OBJECT
public:
    using SerialPortComm::SerialPortComm;
    QList<QByteArray> writes;

protected:
    bool writeBytes(const QByteArray &bytes, QString *error) override
    {
        writes.append(bytes);
        return SerialPortComm::writeBytes(bytes, error);
    }
};

std::unique_ptr<Panel> realPanel(CountingComm **counting = nullptr)
{
    auto p = std::make_unique<Panel>();
    auto comm = std::make_unique<CountingComm>();
    if (counting)
        *counting = comm.get();
    p->comm = comm.get();
    p->form = std::make_unique<Form1>(std::move(comm));
    Panel *raw = p.get();
    p->form->warningBox = [raw](const QString &text) { raw->warnings.append(text); };
    p->form->endProgram = [raw] { ++raw->ends; };
    p->form->Form_Load();
    return p;
}

QWidget *widget(Form1 &f, const char *name) { return f.control(QLatin1String(name)); }
void click(Form1 &f, const char *name) { f.control<QPushButton>(QLatin1String(name))->click(); }

// Runs the event loop until `done` holds; returns the milliseconds it took,
// or -1 when `timeoutMs` passed first.
template <class Pred>
qint64 waitUntil(Pred done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QTest::qSleep(1);
    }
    return clock.elapsed();
}

// CPU time this process uses while its event loop runs for `ms`.
double cpuWhileRunning(int ms)
{
    const double before = processCpuMs();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return processCpuMs() - before;
}

// Another program holding a port: a child process opens it with the serial
// port layer, which locks it, and keeps it until it is told to let go.
class PortHolder {
public:
    explicit PortHolder(const QString &device)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QM25_HOLD_PORT"), device);
        proc_.setProcessEnvironment(env);
        proc_.start(QCoreApplication::applicationFilePath(), {});
        if (proc_.waitForReadyRead(20000))
            answer_ = QString::fromLocal8Bit(proc_.readLine()).trimmed();
    }
    ~PortHolder() { release(); }
    bool holding() const { return answer_ == QLatin1String("held"); }
    QString answer() const { return answer_; }
    qint64 pid() const { return proc_.processId(); }
    void release()
    {
        if (proc_.state() == QProcess::NotRunning)
            return;
        proc_.closeWriteChannel();
        if (!proc_.waitForFinished(10000)) {
            proc_.kill();
            proc_.waitForFinished(5000);
        }
    }

private:
    QProcess proc_;
    QString answer_;
};

// The child side of PortHolder.
int holdPort(const QByteArray &device)
{
    QSerialPort port;
    port.setPortName(QString::fromLocal8Bit(device));
    if (!port.open(QIODevice::ReadWrite)) {
        std::printf("failed: %s\n", qPrintable(port.errorString()));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

struct Run {
    bool finished = false;
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString err;
    // The program's own line on stderr, without what Qt may print before it.
    QString reason() const
    {
        for (const QString &line : err.split(QLatin1Char('\n')))
            if (line.startsWith(QLatin1String("qm25-control: ")))
                return line;
        return {};
    }
};

// Starts the real program with COM1 on `com1` and waits for it to end.
Run startProgram(const QString &com1, const QStringList &asUser = {})
{
    QProcess proc;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QM25_COM1", com1);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    proc.setProcessEnvironment(env);
    if (asUser.isEmpty())
        proc.start(QStringLiteral(QM25_CONTROL_BIN), {});
    else
        proc.start(asUser.first(), asUser.mid(1) + QStringList{QStringLiteral(QM25_CONTROL_BIN)});
    Run r;
    r.finished = proc.waitForFinished(30000);
    if (!r.finished) {
        proc.kill();
        proc.waitForFinished(5000);
    }
    r.exitCode = proc.exitCode();
    r.status = proc.exitStatus();
    r.err = QString::fromLocal8Bit(proc.readAllStandardError());
    return r;
}

QString groupOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    const group *g = ::getgrgid(st.st_gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
}

}  // namespace

class FaultTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("QM25_COM1"); qunsetenv("QM25_COM2"); }

    // --- the device end hangs up -----------------------------------------------

    void hangUpWhileIdle()
    {
        PtyPeer peer;
        QVERIFY(peer.ok());
        qputenv("QM25_COM1", peer.path().toLocal8Bit());
        auto p = realPanel();
        Form1 &f = *p->form;
        f.show();
        QVERIFY2(f.MSComm1->PortOpen(), qPrintable(f.startupError()));

        peer.hangUp();
        const qint64 closedAfter = waitUntil([&] { return !f.MSComm1->PortOpen(); }, 5000);
        QVERIFY2(closedAfter >= 0, "the port stayed open after the hang-up");
        QVERIFY2(closedAfter <= kCloseBoundMs, qPrintable(QString("closed after %1 ms").arg(closedAfter)));
        QVERIFY(waitUntil([&] { return !p->warnings.isEmpty(); }, 2000) >= 0);

        const double cpu = cpuWhileRunning(1000);
        QVERIFY2(cpu < kIdleCpuBoundMs, qPrintable(QString("%1 ms of CPU in the second after the loss").arg(cpu)));
        QCOMPARE(p->warnings.size(), 1);
        QVERIFY(p->warnings[0].contains("COM1"));
        QVERIFY(p->warnings[0].contains(peer.path()));
        QVERIFY2(p->warnings[0].contains("choose the port again"), qPrintable(p->warnings[0]));
    }

    void hangUpWhileAButtonRepeatsEvery5ms()
    {
        PtyPeer peer;
        qputenv("QM25_COM1", peer.path().toLocal8Bit());
        CountingComm *comm = nullptr;
        auto p = realPanel(&comm);
        Form1 &f = *p->form;
        f.show();
        QVERIFY(f.MSComm1->PortOpen());

        // A D.Zoom release leaves the cursor pad repeating every 5 ms.
        QTest::mousePress(widget(f, "Command48"), Qt::LeftButton);
        QTest::mouseRelease(widget(f, "Command48"), Qt::LeftButton);
        QCOMPARE(f.Timer1->Interval(), 5);
        QTest::mousePress(widget(f, "Command5"), Qt::LeftButton);
        QVERIFY(f.Timer1->Enabled());
        // Ticks that find the port closed would each try to send.
        int ticksWhileClosed = 0;
        connect(f.Timer1, &IntervalTimer::Timer, this, [&] { ticksWhileClosed += f.MSComm1->PortOpen() ? 0 : 1; });
        QByteArray line = peer.readExactly(4 * 20, 5000);
        QVERIFY2(line.size() >= 4 * 20, "the held button did not repeat");
        QVERIFY(line.startsWith("C30\rC3C\rC3C\r"));

        peer.hangUp();
        const qint64 closedAfter = waitUntil([&] { return !f.MSComm1->PortOpen(); }, 5000);
        QVERIFY2(closedAfter >= 0, "the port stayed open after the hang-up");
        QVERIFY2(closedAfter <= kCloseBoundMs, qPrintable(QString("closed after %1 ms").arg(closedAfter)));
        QVERIFY(waitUntil([&] { return !p->warnings.isEmpty(); }, 2000) >= 0);
        const qsizetype writesAtLoss = comm->writes.size();

        // The repetition has stopped with the loss: no tick comes any more,
        // so nothing is sent, not even refused by the closed port.
        QVERIFY(!f.Timer1->Enabled());
        QCOMPARE(f.KeyRepeatNo, quint8(0));
        const double cpu = cpuWhileRunning(1000);
        QVERIFY2(cpu < kIdleCpuBoundMs, qPrintable(QString("%1 ms of CPU in the second after the loss").arg(cpu)));
        QCOMPARE(ticksWhileClosed, 0);
        QCOMPARE(comm->writes.size(), writesAtLoss);
        QCOMPARE(p->warnings.size(), 1);

        // The operator lets go after the warning: still nothing goes out.
        QTest::mouseRelease(widget(f, "Command5"), Qt::LeftButton);
        QVERIFY(!f.Timer1->Enabled());
        QCOMPARE(comm->writes.size(), writesAtLoss);
        QCOMPARE(p->warnings.size(), 1);
    }

    // A tick of the repeat that came between the loss and its report used
    // to try one more send on the closed port (seen in about one run of five
    // of the drill above); the repetition now stops within the loss itself.
    void lossStopsTheRepeatBeforeTheNextTick()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        f.show();
        QTest::mousePress(widget(f, "Command15"), Qt::LeftButton);  // Brightness +
        QVERIFY(f.Timer1->Enabled());
        const qsizetype sent = p->fake()->written.size();

        p->fake()->hangUp();
        QVERIFY(!f.Timer1->Enabled());
        QCOMPARE(f.KeyRepeatNo, quint8(0));
        f.Timer1_Timer();  // a tick already due when the loss came
        QCOMPARE(p->fake()->written.size(), sent);
        QVERIFY(!f.Label22->text().contains("Not sent"));

        // The box comes once, after the event in which the loss showed.
        QVERIFY(p->warnings.isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(p->warnings.size(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(p->warnings.size(), 1);
        QTest::mouseRelease(widget(f, "Command15"), Qt::LeftButton);
    }

    void lossAfterEndShowsNoBox()
    {
        auto p = makePanel();
        p->fake()->hangUp();
        p->form->Command16_Click();
        QCoreApplication::processEvents();
        QVERIFY(p->warnings.isEmpty());
        QCOMPARE(p->ends, 1);
    }

    void sendsWhileClosedAreShownAsNotSent()
    {
        PtyPeer peer;
        qputenv("QM25_COM1", peer.path().toLocal8Bit());
        CountingComm *comm = nullptr;
        auto p = realPanel(&comm);
        Form1 &f = *p->form;
        f.show();
        peer.hangUp();
        QVERIFY(waitUntil([&] { return !p->warnings.isEmpty(); }, 5000) >= 0);
        QVERIFY(!f.MSComm1->PortOpen());

        click(f, "Command17");
        QCOMPARE(f.Label11->text(), QStringLiteral(" C 0 0 CR "));
        QVERIFY2(f.Label22->text().startsWith(" Not sent"), qPrintable(f.Label22->text()));
        QVERIFY(f.RecvText.isEmpty());

        QTest::mousePress(widget(f, "Command1"), Qt::LeftButton);
        QVERIFY(f.Label22->text().startsWith(" Not sent"));
        f.Timer1_Timer();
        QTest::mouseRelease(widget(f, "Command1"), Qt::LeftButton);

        f.Text1->setText(QStringLiteral("CR PRESSURE"));
        click(f, "Command95");
        QCOMPARE(f.Label11->text(), QStringLiteral(" C R   P R E S S U R E CR "));
        QVERIFY(f.Label22->text().startsWith(" Not sent"));

        // Reception stays silent and the reply time-out runs as usual.
        QCOMPARE(f.MSComm1->Input(), QString());
        f.MSComm1_OnComm();
        QVERIFY(f.RecvText.isEmpty());
        f.Timer2_Timer();
        QCOMPARE(f.Label12->text(), QStringLiteral(" X X X X"));
        QVERIFY(f.RecvText.isEmpty());
        QVERIFY(comm->writes.isEmpty());
        QCOMPARE(p->warnings.size(), 1);
    }

    // --- COM1 cannot be opened at start-up -----------------------------------------

    void startUpFailsWithTheReason_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("advice");
        QTest::newRow("missing") << QStringLiteral("/nonexistent/qm25-port")
                                 << QStringLiteral("No such file or directory. There is no such device");
        QTest::newRow("/dev/null") << QStringLiteral("/dev/null")
                                   << QStringLiteral("/dev/null is not a serial port");
        QTest::newRow("regular file") << QStringLiteral("%FILE%")
                                      << QStringLiteral("is not a serial port but a regular file");
        QTest::newRow("directory") << QStringLiteral("%DIR%")
                                   << QStringLiteral("is not a serial port but a directory");
        QTest::newRow("named pipe") << QStringLiteral("%FIFO%")
                                    << QStringLiteral("is not a serial port but a named pipe");
    }
    void startUpFailsWithTheReason()
    {
        QFETCH(QString, device);
        QFETCH(QString, advice);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        if (device == QLatin1String("%FILE%")) {
            device = dir.filePath("not-a-port");
            QFile file(device);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("C00\r");
        } else if (device == QLatin1String("%DIR%")) {
            device = dir.path();
        } else if (device == QLatin1String("%FIFO%")) {
            device = dir.filePath("pipe");
            QVERIFY(::mkfifo(QFile::encodeName(device).constData(), 0600) == 0);
        }
        const Run r = startProgram(device);
        QVERIFY2(r.finished, "the program kept running: it showed its window");
        QCOMPARE(r.status, QProcess::NormalExit);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.reason().startsWith(QStringLiteral("qm25-control: Cannot open COM1 (%1): ").arg(device)),
                 qPrintable(r.err));
        QVERIFY2(r.reason().contains(advice), qPrintable(r.err));
        // A regular file is left as it was.
        if (QFileInfo(device).isFile()) {
            QFile file(device);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("C00\r"));
        }
    }

    void startUpFailsWhenAnotherProgramHoldsCom1()
    {
        PtyPeer peer;
        PortHolder holder(peer.path());
        QVERIFY2(holder.holding(), qPrintable(holder.answer()));
        const Run r = startProgram(peer.path());
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.reason().startsWith(QStringLiteral("qm25-control: Cannot open COM1 (%1): ").arg(peer.path())),
                 qPrintable(r.err));
        QVERIFY2(r.reason().contains(QStringLiteral("Another program is using this port")), qPrintable(r.err));
        QVERIFY2(r.reason().contains(QStringLiteral("process %1").arg(holder.pid())), qPrintable(r.err));

        // Once the other program lets go, the port can be had.
        holder.release();
        qputenv("QM25_COM1", peer.path().toLocal8Bit());
        auto p = realPanel();
        QVERIFY2(p->form->MSComm1->PortOpen(), qPrintable(p->form->startupError()));
    }

    void startUpFailsWithoutPermission()
    {
        // Tests run as root, who may open anything; the program is run as
        // the unprivileged user "nobody" instead.
        if (::geteuid() != 0)
            QSKIP("needs root to run the program as another user");
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is not installed");
        const QStringList asNobody{setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
        if (QProcess::execute(setpriv, asNobody.mid(1) + QStringList{"test", "-x", QM25_CONTROL_BIN}) != 0)
            QSKIP("user nobody cannot run " QM25_CONTROL_BIN " (a directory on its path is closed to it)");

        PtyPeer peer;
        const QByteArray path = peer.path().toLocal8Bit();
        // Readable and writable for its group only, as serial ports usually are.
        QVERIFY(::chmod(path.constData(), 0660) == 0);
        if (const group *dialout = ::getgrnam("dialout"))
            QVERIFY(::chown(path.constData(), 0, dialout->gr_gid) == 0);
        const QString group = groupOf(peer.path());

        const Run r = startProgram(peer.path(), asNobody);
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.reason().startsWith(QStringLiteral("qm25-control: Cannot open COM1 (%1): ").arg(peer.path())),
                 qPrintable(r.err));
        QVERIFY2(r.reason().contains("Permission denied"), qPrintable(r.err));
        QVERIFY2(r.reason().contains(QStringLiteral("members of group \"%1\" may").arg(group)), qPrintable(r.err));

        // Closed to the group as well: the owner is named instead.
        QVERIFY(::chmod(path.constData(), 0600) == 0);
        const Run owner = startProgram(peer.path(), asNobody);
        QCOMPARE(owner.exitCode, 1);
        QVERIFY2(owner.reason().contains("only its owner \"root\" may"), qPrintable(owner.err));
    }

    // --- switching to a port that cannot be had ----------------------------------------

    void switchToAHeldPortWarnsThenAWorkingPortOpens()
    {
        PtyPeer com1, com2;
        qputenv("QM25_COM1", com1.path().toLocal8Bit());
        qputenv("QM25_COM2", com2.path().toLocal8Bit());
        PortHolder holder(com2.path());
        QVERIFY2(holder.holding(), qPrintable(holder.answer()));
        auto p = realPanel();
        Form1 &f = *p->form;
        f.show();
        QVERIFY(f.MSComm1->PortOpen());

        f.Command33_Click();
        f.Option2->click();
        QCOMPARE(p->warnings.size(), 1);
        const QString &w = p->warnings[0];
        QVERIFY2(w.startsWith(QStringLiteral("Cannot open COM2 (%1): ").arg(com2.path())), qPrintable(w));
        QVERIFY2(w.contains("Another program is using this port"), qPrintable(w));
        QVERIFY(!f.MSComm1->PortOpen());

        // COM1 still works.
        f.Option1->click();
        QVERIFY(f.MSComm1->PortOpen());
        QCOMPARE(f.MSComm1->CommPort(), 1);
        QVERIFY(f.Frame8->isHidden());
        click(f, "Command17");
        QCOMPARE(com1.readExactly(4), QByteArray("C00\r"));

        // And COM2 once the other program has let go of it.
        holder.release();
        f.Command33_Click();
        f.Option2->click();
        QVERIFY(f.MSComm1->PortOpen());
        QCOMPARE(f.MSComm1->CommPort(), 2);
        click(f, "Command18");
        QCOMPARE(com2.readExactly(4), QByteArray("C01\r"));
        QCOMPARE(p->warnings.size(), 1);
    }

    void switchToAMissingPortWarnsThenAWorkingPortOpens()
    {
        PtyPeer com1;
        qputenv("QM25_COM1", com1.path().toLocal8Bit());
        qputenv("QM25_COM2", "/nonexistent/qm25-com2");
        auto p = realPanel();
        Form1 &f = *p->form;
        f.show();

        f.Command33_Click();
        f.Option2->click();
        QCOMPARE(p->warnings.size(), 1);
        QVERIFY2(p->warnings[0].contains("/nonexistent/qm25-com2"), qPrintable(p->warnings[0]));
        QVERIFY(p->warnings[0].contains("No such file or directory"));
        QVERIFY(!f.MSComm1->PortOpen());
        QVERIFY(!f.Frame8->isHidden());

        f.Option1->click();
        QVERIFY(f.MSComm1->PortOpen());
        QCOMPARE(f.MSComm1->CommPort(), 1);
        click(f, "Command44");
        QCOMPARE(com1.readExactly(4), QByteArray("CR0\r"));
        QCOMPARE(p->warnings.size(), 1);
    }
};

// The test program doubles as the "other program" that holds a port.
int main(int argc, char *argv[])
{
    if (const QByteArray device = qgetenv("QM25_HOLD_PORT"); !device.isEmpty()) {
        QCoreApplication app(argc, argv);
        return holdPort(device);
    }
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    FaultTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_faults.moc"
