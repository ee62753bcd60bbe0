// The qm25-sim program end to end: started as a process, spoken to through
// its pseudo-terminal (or a device given to it), faults switched on by option.
#include "projector_model.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 5000;  // bound for anything that should come
constexpr int kQuietMs = 300;  // how long to listen for something that should not come

// One open end of a terminal line, raw mode, non-blocking.
class Line {
public:
    explicit Line(int fd) : m_fd(fd)
    {
        termios tio{};
        if (m_fd >= 0 && ::tcgetattr(m_fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    static Line open(const QString &path)
    {
        return Line(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    }
    Line(const Line &) = delete;
    ~Line() { close(); }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool write(QByteArrayView bytes) const
    {
        return ::write(m_fd, bytes.data(), static_cast<size_t>(bytes.size())) == bytes.size();
    }

    // Reads until `done` says the bytes so far are enough, the line hangs up
    // or `ms` passes; returns what came.
    template<typename Done>
    QByteArray readWhile(Done done, int ms)
    {
        QByteArray got;
        QDeadlineTimer deadline(ms);
        while (!done(got) && !hungUp) {
            pollfd p{m_fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(deadline.remainingTime()));
            if (ready <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR) || (p.revents & POLLHUP))
                hungUp = true;
        }
        return got;
    }
    QByteArray readReplies(int count, int ms = kWaitMs)
    {
        return readWhile([count](const QByteArray &got) { return got.count('\r') >= count; }, ms);
    }
    QByteArray readBytes(qsizetype count, int ms = kWaitMs)
    {
        return readWhile([count](const QByteArray &got) { return got.size() >= count; }, ms);
    }
    QByteArray listen(int ms = kQuietMs)
    {
        return readWhile([](const QByteArray &) { return false; }, ms);
    }

    bool hungUp = false;  // read gave end of file or an error: the other end hung up

private:
    int m_fd;
};

// The simulator as a child process.
class Sim {
public:
    explicit Sim(const QStringList &args)
    {
        m_process.start(QStringLiteral(QM25_SIM_BIN), args);
        if (!m_process.waitForStarted(kWaitMs))
            return;
        QDeadlineTimer deadline(kWaitMs);
        while (!m_process.canReadLine() && !deadline.hasExpired()
               && m_process.state() == QProcess::Running)
            m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        const QByteArray first = m_process.readLine().trimmed();
        if (first.startsWith("QM25_COM1="))
            path = QString::fromLocal8Bit(first.mid(10));
    }
    ~Sim()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kWaitMs);
        }
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    // Asks the simulator to stop with SIGTERM; its exit code, or -1.
    int terminate()
    {
        m_process.terminate();
        return finish();
    }
    int finish()
    {
        if (!m_process.waitForFinished(kWaitMs) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        return m_process.exitCode();
    }

    QString path;

private:
    QProcess m_process;
};

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool waitForTrace(const QString &name, const QByteArray &text)
{
    return QTest::qWaitFor([&] { return readFile(name).contains(text); }, kWaitMs);
}

}  // namespace

class TestSimProgram : public QObject {
    Q_OBJECT

private slots:
    void servesOnItsPseudoTerminal();
    void noReply();
    void splitReplyArrivesWhole();
    void delayedRepliesKeepTheirOrder();
    void garbageByteSlipsIn();
    void hangupAfterFrames();
    void servesOnAGivenDevice();
    void badOptions_data();
    void badOptions();
    void helpAndUnopenableDevice();
};

void TestSimProgram::servesOnItsPseudoTerminal()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("com1"));
    const QString trace = dir.filePath(QStringLiteral("trace.txt"));
    Sim sim({QStringLiteral("--link"), link, QStringLiteral("--trace-file"), trace,
             QStringLiteral("--warmup-ms"), QStringLiteral("600000")});
    QVERIFY(sim.path.startsWith(QLatin1String("/dev/pts/")));
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.path);

    Line line = Line::open(link);
    QVERIFY(line.isOpen());
    QVERIFY(line.write("CR0\r"));
    QCOMPARE(line.readReplies(1), QByteArray("80\r"));

    // Half a frame waits for its CR.
    QVERIFY(line.write("CR"));
    QCOMPARE(line.listen(), QByteArray());
    QVERIFY(line.write("1\r"));
    QCOMPARE(line.readReplies(1), QByteArray("1\r"));

    QVERIFY(line.write("C00\r"));
    QCOMPARE(line.readReplies(1), QByteArray("\x06\r"));
    // The panel closing and reopening its port does not disturb the line.
    line.close();
    QTest::qWait(kQuietMs);  // time for a hang-up to reach the simulator, were there one
    QVERIFY(sim.running());
    Line again = Line::open(sim.path);
    QVERIFY(again.write("CR0\r"));
    QCOMPARE(again.readReplies(1), QByteArray("40\r"));
    QVERIFY(!again.hungUp);

    const QByteArray traced = readFile(trace);
    QVERIFY2(traced.contains("in  \"CR1<CR>\"") && traced.contains("out \"<ACK><CR>\""),
             traced.constData());

    QCOMPARE(sim.terminate(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestSimProgram::noReply()
{
    QTemporaryDir dir;
    const QString trace = dir.filePath(QStringLiteral("trace.txt"));
    Sim sim({QStringLiteral("--no-reply"), QStringLiteral("--trace-file"), trace});
    Line line = Line::open(sim.path);
    QVERIFY(line.isOpen());
    QVERIFY(line.write("CR0\r"));
    QVERIFY(waitForTrace(trace, "no reply sent"));
    QCOMPARE(line.listen(), QByteArray());
    QCOMPARE(sim.terminate(), 0);
}

void TestSimProgram::splitReplyArrivesWhole()
{
    QTemporaryDir dir;
    const QString trace = dir.filePath(QStringLiteral("trace.txt"));
    Sim sim({QStringLiteral("--split"), QStringLiteral("4"), QStringLiteral("--split-gap"),
             QStringLiteral("30"), QStringLiteral("--trace-file"), trace});
    Line line = Line::open(sim.path);
    QVERIFY(line.write("CR9\r"));
    QCOMPARE(line.readReplies(1), qm25::sim::ProjectorModel::identification() + '\r');
    QVERIFY(line.write("CR0\r"));
    QCOMPARE(line.readReplies(1), QByteArray("80\r"));
    QCOMPARE(sim.terminate(), 0);
    // Four writes for the long reply, three for the one of three bytes.
    QCOMPARE(readFile(trace).count("out \""), 4 + 3);
}

void TestSimProgram::delayedRepliesKeepTheirOrder()
{
    Sim sim({QStringLiteral("--delay"), QStringLiteral("100"), QStringLiteral("--split"),
             QStringLiteral("2"), QStringLiteral("--split-gap"), QStringLiteral("10")});
    Line line = Line::open(sim.path);
    QVERIFY(line.write("CR0\rC05\rCR1\rBAD\r"));
    QCOMPARE(line.readReplies(4), QByteArray("80\r\x15\r1\rERR\r"));
}

void TestSimProgram::garbageByteSlipsIn()
{
    Sim sim({QStringLiteral("--garbage"), QStringLiteral("100"), QStringLiteral("--seed"),
             QStringLiteral("7")});
    Line line = Line::open(sim.path);
    for (int i = 0; i < 5; ++i) {
        QVERIFY(line.write("CR0\r"));
        const QByteArray got = line.readBytes(4);
        QCOMPARE(got.size(), 4);
        bool oneExtraByte = false;
        for (qsizetype at = 0; at < got.size(); ++at)
            oneExtraByte = oneExtraByte || QByteArray(got).remove(at, 1) == "80\r";
        QVERIFY2(oneExtraByte, got.toHex().constData());
    }
}

void TestSimProgram::hangupAfterFrames()
{
    Sim sim({QStringLiteral("--hangup-after"), QStringLiteral("2")});
    Line line = Line::open(sim.path);
    QVERIFY(line.write("CR0\r"));
    QCOMPARE(line.readReplies(1), QByteArray("80\r"));
    QVERIFY(!line.hungUp);
    QVERIFY(line.write("CR1\r"));
    line.readWhile([](const QByteArray &) { return false; }, kWaitMs);
    QVERIFY(line.hungUp);
    QCOMPARE(sim.finish(), 0);
}

void TestSimProgram::servesOnAGivenDevice()
{
    // A pseudo-terminal of the test's own stands in for a serial device.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString device = QString::fromLocal8Bit(::ptsname(master));
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    Line line(master);

    Sim sim({QStringLiteral("--device"), device, QStringLiteral("--baud"), QStringLiteral("9600")});
    QCOMPARE(sim.path, device);
    termios tio{};
    QVERIFY(::tcgetattr(master, &tio) == 0);
    QCOMPARE(::cfgetospeed(&tio), speed_t(B9600));
    QVERIFY(line.write("C00\rCR0\r"));
    QCOMPARE(line.readReplies(2), QByteArray("\x06\r" "40\r"));
}

void TestSimProgram::badOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("unknown") << QStringList{"--bogus"};
    QTest::newRow("baud") << QStringList{"--baud", "1200"};
    QTest::newRow("split zero") << QStringList{"--split", "0"};
    QTest::newRow("garbage over 100") << QStringList{"--garbage=101"};
    QTest::newRow("negative delay") << QStringList{"--delay", "-5"};
    QTest::newRow("not a number") << QStringList{"--warmup-ms", "soon"};
    QTest::newRow("missing value") << QStringList{"--device"};
    QTest::newRow("value on a flag") << QStringList{"--no-reply=yes"};
    QTest::newRow("lamp mode") << QStringList{"--lamp-mode", "3"};
    QTest::newRow("signal") << QStringList{"--signal", "1,5"};
    QTest::newRow("positional") << QStringList{"extra"};
}

void TestSimProgram::badOptions()
{
    QFETCH(QStringList, args);
    QProcess process;
    process.start(QStringLiteral(QM25_SIM_BIN), args);
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardOutput().isEmpty());  // no line path announced
    QVERIFY(process.readAllStandardError().startsWith("qm25-sim: "));
}

void TestSimProgram::helpAndUnopenableDevice()
{
    QProcess help;
    help.start(QStringLiteral(QM25_SIM_BIN), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(kWaitMs));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray usage = help.readAllStandardOutput();
    for (const char *option : {"--device", "--no-reply", "--split-gap", "--hangup-after", "--trace-file"})
        QVERIFY2(usage.contains(option), option);

    QProcess missing;
    missing.start(QStringLiteral(QM25_SIM_BIN),
                  {QStringLiteral("--device"), QStringLiteral("/nonexistent/ttyS9")});
    QVERIFY(missing.waitForFinished(kWaitMs));
    QCOMPARE(missing.exitCode(), 1);
}

QTEST_GUILESS_MAIN(TestSimProgram)
#include "test_sim_program.moc"
