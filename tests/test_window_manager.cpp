// The program under a real window manager: qm25-control on the simulator, on
// an X server of its own (Xvfb) with openbox framing its window, worked with
// the keyboard and the mouse. The heights are outer heights, title bar and
// borders included, from start-up on, and the window starts centred.
#include <QtTest>

#include "core/layout_table.h"
#include "support/sim_process.h"

using namespace qm25;
using namespace qm25::test;

namespace {

constexpr int kWaitMs = 15000;  // bound for anything that should happen
const QRect kScreen(0, 0, 1280, 1024);

// A program the test starts and ends.
struct Child : QProcess {
    ~Child() override { terminate(); waitForFinished(kWaitMs); }
};

// Runs an X client to its end (bounded) and gives what it wrote.
QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(kWaitMs);  // one that hangs is killed with p
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

// The window with its frame on the screen, and the frame's margins, as the X
// server and the window manager have them; nothing while it has no frame.
struct Framed {
    QRect outer;
    QMargins frame;
};
Framed framed(const QString &win)
{
    static const QRegularExpression pattern(
        QStringLiteral(R"(X:\s+(-?\d+)\s.*?Y:\s+(-?\d+).*Width: (\d+)\s+Height: (\d+).*= (\d+), (\d+), (\d+), (\d+))"),
        QRegularExpression::DotMatchesEverythingOption);
    const auto m = pattern.match(run("xwininfo", {"-id", win}) + run("xprop", {"-id", win, "_NET_FRAME_EXTENTS"}));
    const auto n = [&m](int i) { return m.captured(i).toInt(); };
    if (!m.hasMatch())
        return {};
    const QMargins frame(n(5), n(7), n(6), n(8));
    return {QRect(n(1), n(2), n(3), n(4)).marginsAdded(frame), frame};
}

}  // namespace

class WindowManagerTest : public QObject {
    Q_OBJECT
    Child xvfb, openbox;

private slots:
    void initTestCase()
    {
        for (const char *tool : {"Xvfb", "openbox", "xprop", "xwininfo", "xdotool"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed (scripts/setup.sh installs it)").arg(tool)));
        // Xvfb picks a free display and names it once it takes connections.
        xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                            QStringLiteral("%1x%2x24").arg(kScreen.width()).arg(kScreen.height())});
        QDeadlineTimer deadline(kWaitMs);
        while (!xvfb.canReadLine() && xvfb.waitForReadyRead(int(deadline.remainingTime()))) {}
        const QByteArray display = xvfb.readLine().trimmed();
        if (display.isEmpty())
            QSKIP(qPrintable("Xvfb could not be started: " + xvfb.errorString() + " " + xvfb.readAllStandardError()));
        qputenv("DISPLAY", ":" + display);
        openbox.start("openbox", {"--sm-disable"});
        while (!run("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id") && !deadline.hasExpired())
            QTest::qWait(100);
        if (deadline.hasExpired())
            QSKIP(qPrintable("openbox could not be started: " + openbox.errorString() + " " + openbox.readAllStandardError()));
    }

    void heightsAreOuterFromStartUp()
    {
        SimProcess sim({});
        QVERIFY2(sim.ok(), qPrintable(sim.failure()));
        qputenv("QM25_COM1", sim.devicePath().toLocal8Bit());
        qputenv("QT_QPA_PLATFORM", "xcb");  // for the panel; this program's own platform is set up already
        Child panel;
        panel.start(QM25_CONTROL_BIN);
        const QString win = run("xdotool", {"search", "--sync", "--name", "^RUNO   QM25"}).section(u'\n', 0, 0);
        QVERIFY2(!win.isEmpty(), "the window did not appear");

        // Once framed, the window is as tall as designed, and centred as a
        // window of the designed size with that frame would be.
        QTRY_COMPARE_WITH_TIMEOUT(framed(win).outer.height(), 357, kWaitMs);
        const auto offCentre = [&win] {
            const Framed w = framed(win);
            const QSize designed = QSize(kDesignClientWidth, kDesignClientHeight) / kTwipsPerPixel;
            return (QRectF(w.outer.topLeft(), designed.grownBy(w.frame)).center() - QRectF(kScreen).center()).manhattanLength();
        };
        QTRY_VERIFY_WITH_TIMEOUT(offCentre() <= 2, kWaitMs);

        run("xdotool", {"windowactivate", "--sync", win});
        run("xdotool", {"key", "ctrl+h"});
        QTRY_COMPARE_WITH_TIMEOUT(framed(win).outer.height(), 480, kWaitMs);
        // A double-click on the picture (544,8, 80 x 26 pixels), then CLOSE (440,336, 80 x 25).
        run("xdotool", {"mousemove", "--window", win, "584", "21", "click", "--repeat", "2", "--delay", "60", "1"});
        QTRY_COMPARE_WITH_TIMEOUT(framed(win).outer.height(), 607, kWaitMs);
        run("xdotool", {"mousemove", "--window", win, "480", "348", "click", "1"});
        QTRY_COMPARE_WITH_TIMEOUT(framed(win).outer.height(), 357, kWaitMs);
    }
};

QTEST_MAIN(WindowManagerTest)
#include "test_window_manager.moc"
