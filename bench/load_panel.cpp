// qm25-bench-loadpanel: the panel under a streaming device, started by the
// load benchmark of qm25-bench. It opens the window on QM25_COM1, says
// "READY" on stdout and then reads commands on stdin:
//   go    the stream has started: CPU time and clock are taken, and an
//         operator starts clicking send buttons (every 0.7 to 1.3 s, a
//         different button each time) and, every tenth turn, holds
//         "Brightness +" for one second;
//   stop  the stream has ended: the figures go to stdout as one JSON line
//         and the program ends.
// The clicks are posted to the window's thread from a thread of their own,
// the way input from the window system arrives, and the delay of each is
// measured from its posting to the end of its handling. The delay of the
// timer ticks is measured from when they fell due to the end of their
// handling.
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QStyleFactory>
#include <QtTest/QTest>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>

#include "bench_util.h"
#include "core/catalogue.h"
#include "panel_rig.h"

using namespace qm25;
using namespace qm25::bench;

namespace {

struct Figures {
    std::vector<double> clickDelayMs;     // posting to end of handling
    std::vector<double> timerLateMs;      // Timer2/Timer4: due to end of handling
    std::vector<double> repeatLateMs;     // Timer1 while held: period overrun
    std::vector<double> clickHandlerMs;   // the click's own handling time
    qsizetype longestRxd = 0;             // longest RXD line seen at a click
    int holds = 0;
};

}  // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    quietOffscreenNotes();
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setApplicationName(QStringLiteral("qm25-control"));

    QStringList warnings;
    auto form = openPanel(QString::fromLocal8Bit(qgetenv("QM25_COM1")), &warnings);
    if (!form) {
        std::fprintf(stderr, "qm25-bench-loadpanel: %s\n", qPrintable(warnings.join(QLatin1Char(' '))));
        return 1;
    }

    Figures fig;
    std::int64_t due2 = 0, due4 = 0;
    bool holding = false;
    std::int64_t lastTick = 0;
    QObject::connect(form->engine().replyTimer(), &IntervalTimer::tick, form.get(), [&] {
        if (due2 && !holding)
            fig.timerLateMs.push_back(toMs(nowNs() - due2));
        due2 = 0;
    });
    QObject::connect(form->engine().clearTimer(), &IntervalTimer::tick, form.get(), [&] {
        if (due4 && !holding)
            fig.timerLateMs.push_back(toMs(nowNs() - due4));
        due4 = 0;
    });
    QObject::connect(form->engine().repeatTimer(), &IntervalTimer::tick, form.get(), [&] {
        const std::int64_t t = nowNs();
        if (holding && lastTick)
            fig.repeatLateMs.push_back(std::max(0.0, toMs(t - lastTick) - form->engine().repeatTimer()->interval()));
        lastTick = t;
    });

    std::vector<CommandButton *> buttons;
    for (const ClickButton &b : clickButtons())
        buttons.push_back(form->control<CommandButton>(QString::fromLatin1(b.control)));
    CommandButton *held = form->control<CommandButton>(QStringLiteral("Command15"));  // Brightness +
    std::size_t next = 0;

    auto click = [&](std::int64_t posted) {
        CommandButton *b = buttons[next++ % buttons.size()];
        fig.longestRxd = std::max(fig.longestRxd, form->rxdLine()->text().size());
        const std::int64_t start = nowNs();
        QTest::mouseClick(b, Qt::LeftButton);
        const std::int64_t end = nowNs();
        fig.clickDelayMs.push_back(toMs(end - posted));
        fig.clickHandlerMs.push_back(toMs(end - start));
        // Enabled inside the click, so due no earlier than this: the figure
        // errs on the late side.
        due2 = start + std::int64_t(form->engine().replyTimer()->interval()) * 1'000'000;
        due4 = start + std::int64_t(form->engine().clearTimer()->interval()) * 1'000'000;
    };
    auto press = [&](std::int64_t posted) {
        due2 = due4 = 0;
        holding = true;
        const std::int64_t start = nowNs();
        QTest::mousePress(held, Qt::LeftButton);
        const std::int64_t end = nowNs();
        fig.clickDelayMs.push_back(toMs(end - posted));
        fig.clickHandlerMs.push_back(toMs(end - start));
        lastTick = end;
        ++fig.holds;
    };
    auto release = [&](std::int64_t posted) {
        const std::int64_t start = nowNs();
        QTest::mouseRelease(held, Qt::LeftButton);
        const std::int64_t end = nowNs();
        holding = false;
        lastTick = 0;
        fig.clickDelayMs.push_back(toMs(end - posted));
        fig.clickHandlerMs.push_back(toMs(end - start));
        due4 = start + std::int64_t(form->engine().clearTimer()->interval()) * 1'000'000;
    };

    std::mutex m;
    std::condition_variable cv;
    bool going = false, stopping = false;
    double cpuGo = 0, cpuStop = 0;
    std::int64_t wallGo = 0, wallStop = 0;

    // The operator.
    std::thread op([&] {
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return going || stopping; });
        }
        std::mt19937 rng(25);
        std::uniform_int_distribution<int> gap(700, 1300);
        QObject *target = form.get();
        for (int turn = 1;; ++turn) {
            {
                std::unique_lock lock(m);
                if (cv.wait_for(lock, std::chrono::milliseconds(gap(rng)), [&] { return stopping; }))
                    return;
            }
            const std::int64_t posted = nowNs();
            if (turn % 10 != 0) {
                QMetaObject::invokeMethod(target, [&, posted] { click(posted); }, Qt::QueuedConnection);
                continue;
            }
            QMetaObject::invokeMethod(target, [&, posted] { press(posted); }, Qt::QueuedConnection);
            {
                std::unique_lock lock(m);
                if (cv.wait_for(lock, std::chrono::milliseconds(1000), [&] { return stopping; })) {
                    const std::int64_t now = nowNs();
                    QMetaObject::invokeMethod(target, [&, now] { release(now); }, Qt::QueuedConnection);
                    return;
                }
            }
            const std::int64_t released = nowNs();
            QMetaObject::invokeMethod(target, [&, released] { release(released); }, Qt::QueuedConnection);
        }
    });

    // Commands from the benchmark.
    std::thread commands([&] {
        QByteArray line;
        char c;
        for (;;) {
            const ssize_t n = ::read(0, &c, 1);
            if (n <= 0)
                line = "stop";
            else if (c != '\n') {
                line.append(c);
                continue;
            }
            if (line == "go") {
                std::lock_guard lock(m);
                cpuGo = selfCpuMs();
                wallGo = nowNs();
                going = true;
                cv.notify_all();
            } else if (line == "stop") {
                {
                    std::lock_guard lock(m);
                    cpuStop = selfCpuMs();
                    wallStop = nowNs();
                    stopping = true;
                    cv.notify_all();
                }
                QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
                return;
            }
            line.clear();
        }
    });

    std::printf("READY\n");
    std::fflush(stdout);
    app.exec();
    commands.join();
    op.join();
    QCoreApplication::processEvents();  // a release posted at the stop

    auto list = [](const std::vector<double> &v) { return toJson(summarise(v)); };
    QJsonObject out{
        {"cpu_ms", cpuStop - cpuGo},
        {"wall_ms", toMs(wallStop - wallGo)},
        {"click_delay_ms", list(fig.clickDelayMs)},
        {"click_handler_ms", list(fig.clickHandlerMs)},
        {"timer_late_ms", list(fig.timerLateMs)},
        {"repeat_late_ms", list(fig.repeatLateMs)},
        {"longest_rxd_chars", static_cast<qint64>(fig.longestRxd)},
        {"holds", fig.holds},
        {"warnings", QJsonArray::fromStringList(warnings)},
    };
    std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    form->end();
    return 0;
}
