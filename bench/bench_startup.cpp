// Start-up: process start to the window's first frame with its port open,
// against a bare Qt window with as many plain push buttons as the panel has
// controls, three labels and an open serial port, the two started
// alternately. Memory after start-up, also of the real qm25-control.
#include <QJsonArray>
#include <algorithm>
#include <csignal>
#include <poll.h>

#include "core/layout_table.h"
#include "bench_util.h"
#include "sections.h"

namespace qm25::bench {
namespace {

struct Shown {
    double ms = -1;
    long rssKb = -1, hwmKb = -1;
    bool portOpen = false;
    // Milliseconds from the spawn to main(), to the application object, to
    // the window built, to its start-up step done (port open); and to the
    // end of what the first frame left queued (the panel's lower parts).
    double toMain = -1, toApp = -1, toWindow = -1, toLoaded = -1, toSettled = -1;
};

Shown startOnce(const QString &program, const QStringList &args, const QStringList &env)
{
    Shown s;
    const std::int64_t t0 = nowNs();
    Child c = spawnChild(program, args, env);
    if (c.pid < 0)
        return s;
    bool ok = false;
    const QByteArray line = readLine(c, 20000, &ok);
    finishChild(c, 5000);
    const QList<QByteArray> f = line.split(' ');
    if (!ok || f.size() < 10 || f[0] != "SHOWN")
        return s;
    s.ms = toMs(f[1].toLongLong() - t0);
    s.toMain = toMs(f[5].toLongLong() - t0);
    s.toApp = toMs(f[6].toLongLong() - t0);
    s.toWindow = toMs(f[7].toLongLong() - t0);
    s.toLoaded = toMs(f[8].toLongLong() - t0);
    s.toSettled = toMs(f[9].toLongLong() - t0);
    s.rssKb = f[2].toLong();
    s.hwmKb = f[3].toLong();
    s.portOpen = f[4] == "1";
    return s;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

QJsonObject runStartup(const Options &o, Report &r)
{
    const QString dir = programDir();
    const QString panelProbe = dir + QStringLiteral("/qm25-bench-startpanel");
    const QString bareProbe = dir + QStringLiteral("/qm25-bench-startbare");
    PtyMaster pty;
    if (!pty.ok()) {
        r.add(QStringLiteral("start"), QStringLiteral("start-up"), QStringLiteral("no pseudo-terminal"));
        return {{"error", "no pseudo-terminal"}};
    }
    const QStringList env{QStringLiteral("QT_QPA_PLATFORM=offscreen"), QStringLiteral("QM25_COM1=") + pty.path()};
    // The yardstick: as many plain buttons as the panel has controls.
    const int controls = int(designedControls().size() + designedLines().size());
    const QStringList bareArgs{QString::number(controls)};

    // One of each first, to fill the file cache; not counted.
    startOnce(panelProbe, {}, env);
    startOnce(bareProbe, bareArgs, env);

    const int runs = o.quick ? 3 : o.startupRuns;
    std::vector<double> panelMs, bareMs, panelRss, bareRss, panelSettled, bareSettled;
    // Step durations: [0] spawn to main, [1] application, [2] window, [3] start-up step, [4] show to painted.
    std::vector<double> panelSteps[5], bareSteps[5];
    // Each panel start against the bare start next to it: the spread the
    // machine's own changes of pace leave in the ratio.
    std::vector<double> pairRatios;
    int failed = 0, portClosed = 0;
    for (int i = 0; i < runs; ++i) {
        double pair[2] = {-1, -1};
        for (int k = 0; k < 2; ++k) {
            const bool panel = (i % 2 == 0) == (k == 0);  // panel first in even runs, bare first in odd ones
            const Shown s = panel ? startOnce(panelProbe, {}, env) : startOnce(bareProbe, bareArgs, env);
            if (s.ms < 0) {
                ++failed;
                continue;
            }
            if (!s.portOpen)
                ++portClosed;
            (panel ? panelMs : bareMs).push_back(s.ms);
            pair[panel ? 0 : 1] = s.ms;
            (panel ? panelSettled : bareSettled).push_back(s.toSettled);
            auto *steps = panel ? panelSteps : bareSteps;
            steps[0].push_back(s.toMain);
            steps[1].push_back(s.toApp - s.toMain);
            steps[2].push_back(s.toWindow - s.toApp);
            steps[3].push_back(s.toLoaded - s.toWindow);
            steps[4].push_back(s.ms - s.toLoaded);
            (panel ? panelRss : bareRss).push_back(double(s.rssKb) / 1024.0);
        }
        if (pair[0] > 0 && pair[1] > 0)
            pairRatios.push_back(pair[0] / pair[1]);
    }

    // The real program: its memory once it has started (it reports nothing,
    // so it is given a second after its port opened) and how long it took to
    // open its port.
    std::vector<double> realRss, realOpenMs;
    const QString control = QStringLiteral(QM25_CONTROL_BIN);
    for (int i = 0; i < (o.quick ? 1 : 3); ++i) {
        const std::int64_t t0 = nowNs();
        Child c = spawnChild(control, {}, env);
        if (c.pid < 0)
            break;
        // The master reports a hang-up for as long as nobody has the device open.
        std::int64_t opened = 0;
        while (nowNs() - t0 < 10'000'000'000) {
            pollfd p{pty.fd(), POLLIN, 0};
            ::poll(&p, 1, 0);
            if (!(p.revents & POLLHUP)) {
                opened = nowNs();
                break;
            }
            sleepForNs(200'000);
        }
        sleepForNs(1'000'000'000);
        if (opened) {
            realOpenMs.push_back(toMs(opened - t0));
            realRss.push_back(double(rssKb(c.pid)) / 1024.0);
        }
        finishChild(c, 0);
        sleepForNs(100'000'000);
    }

    const double pm = median(panelMs), bm = median(bareMs);
    const double ratio = bm > 0 ? pm / bm : -1;
    const double rss = median(panelRss);
    const double realRssMedian = median(realRss);
    const Summary ps = summarise(panelMs), bs = summarise(bareMs);
    const Summary pr = summarise(pairRatios);
    r.add(QStringLiteral("start"), QStringLiteral("panel start to first frame, %1 runs").arg(ps.count),
           QStringLiteral("median %1 ms (min %2, max %3)").arg(fmt(pm, 1), fmt(ps.min, 1), fmt(ps.max, 1)));
    r.add(QStringLiteral("start"),
           QStringLiteral("bare window (%1 buttons, 3 labels, port), %2 runs").arg(controls).arg(bs.count),
           QStringLiteral("median %1 ms (min %2, max %3)").arg(fmt(bm, 1), fmt(bs.min, 1), fmt(bs.max, 1)));
    r.add(QStringLiteral("start"), QStringLiteral("panel / bare, each run's pair"),
           QStringLiteral("median %1x (min %2, max %3)").arg(fmt(median(pairRatios), 2), fmt(pr.min, 2), fmt(pr.max, 2)));
    r.add(QStringLiteral("start"), QStringLiteral("start to settled (lower parts built): panel / bare"),
           QStringLiteral("%1 / %2 ms").arg(fmt(median(panelSettled), 1), fmt(median(bareSettled), 1)));
    auto stepLine = [&](const std::vector<double> *st) {
        return QStringLiteral("%1 + %2 + %3 + %4 + %5 ms")
            .arg(fmt(median(st[0]), 1), fmt(median(st[1]), 1), fmt(median(st[2]), 1), fmt(median(st[3]), 1),
                 fmt(median(st[4]), 1));
    };
    r.add(QStringLiteral("start"), QStringLiteral("panel: exec, app, window, port, paint"), stepLine(panelSteps));
    r.add(QStringLiteral("start"), QStringLiteral("bare: exec, app, window, port, paint"), stepLine(bareSteps));
    r.add(QStringLiteral("start"), QStringLiteral("panel / bare window"), QStringLiteral("%1x").arg(fmt(ratio, 2)),
           QStringLiteral("<= 1.3x"), ratio > 0 && ratio <= 1.3 && failed == 0 && portClosed == 0);
    r.add(QStringLiteral("start"), QStringLiteral("panel RSS after start-up"),
           QStringLiteral("%1 MB (bare window %2 MB)").arg(fmt(rss, 1), fmt(median(bareRss), 1)),
           QStringLiteral("< 40 MB"), rss > 0 && rss < 40);
    r.add(QStringLiteral("start"), QStringLiteral("qm25-control: port open / RSS 1 s later"),
           QStringLiteral("%1 ms / %2 MB").arg(fmt(median(realOpenMs), 1), fmt(realRssMedian, 1)),
           QStringLiteral("RSS < 40 MB"), realRssMedian > 0 && realRssMedian < 40);

    auto arr = [](const std::vector<double> &v) {
        QJsonArray a;
        for (double x : v)
            a.append(x);
        return a;
    };
    auto stepsJson = [&](const std::vector<double> *st) {
        return QJsonObject{{"spawn_to_main_ms", median(st[0])}, {"application_ms", median(st[1])},
                           {"window_ms", median(st[2])}, {"startup_step_ms", median(st[3])},
                           {"show_to_painted_ms", median(st[4])}};
    };
    return {{"panel_shown_ms", arr(panelMs)},
            {"panel_steps_median", stepsJson(panelSteps)},
            {"bare_steps_median", stepsJson(bareSteps)},
            {"bare_shown_ms", arr(bareMs)},
            {"panel_settled_ms", arr(panelSettled)},
            {"bare_settled_ms", arr(bareSettled)},
            {"pair_ratios", arr(pairRatios)},
            {"bare_buttons", controls},
            {"panel_median_ms", pm},
            {"bare_median_ms", bm},
            {"ratio", ratio},
            {"panel_rss_mb", arr(panelRss)},
            {"bare_rss_mb", arr(bareRss)},
            {"qm25_control_port_open_ms", arr(realOpenMs)},
            {"qm25_control_rss_mb", arr(realRss)},
            {"failed", failed},
            {"port_not_open", portClosed},
            {"target_ratio", 1.3},
            {"target_rss_mb", 40},
            {"holds", ratio > 0 && ratio <= 1.3 && rss > 0 && rss < 40 && failed == 0 && portClosed == 0}};
}

}  // namespace qm25::bench
