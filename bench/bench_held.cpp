// Held buttons through qm25d, for the whole panel in a browser, against the
// window's own in the same run. Both on a pseudo-terminal whose other end is
// the benchmark's projector (the simulator's model, every frame time-stamped
// by a thread of its own the moment it can be read): the window in this
// process, qm25d as a child with one whole panel's session (/api/panel)
// driven as the page drives it, with its keep-alive. Measured for each: the
// repeat period at 5 ms (cursor up after a D.Zoom release), 50 ms
// (Brightness +) and 250 ms (VOL +): its mean and the p99 deviation of the
// gaps between frames, frames lost or doubled, frames after the release;
// and from a press to its first frame on the line, p50 and p99.
#include <QJsonArray>
#include <QProcess>
#include <QTimer>
#include <QWebSocket>
#include <QtTest/QTest>
#include <cmath>

#include "bench_util.h"
#include "core/catalogue.h"
#include "panel_rig.h"
#include "sections.h"

namespace qm25::bench {
namespace {

// One way to hold a button: the window's mouse, or a page's messages to qm25d.
struct Holder {
    QString name;
    Device *device = nullptr;
    std::function<void(const char *control, const CommandRow &row, bool down)> hold;
};

struct HeldCase {
    const char *label;
    const char *control;
    const CommandRow *row;
    int periodMs;
    int periods;
    bool afterZoomRelease;
};

QJsonObject measure(Holder &h, const HeldCase &c, Report &r)
{
    if (c.afterZoomRelease) {
        h.hold("Command48", command("zoom in"), true);
        runEventLoopFor(20);
        h.hold("Command48", command("zoom in"), false);
    }
    runEventLoopFor(1100);  // the display clear of the release has run
    const std::size_t before = h.device->frameCount();
    const double period = c.periodMs;
    const std::int64_t pressed = nowNs();
    h.hold(c.control, *c.row, true);
    runEventLoopFor(c.periods * c.periodMs + c.periodMs / 2);
    const std::int64_t released = nowNs();
    h.hold(c.control, *c.row, false);
    runEventLoopFor(std::max(300, 3 * c.periodMs));

    const QByteArray frame = c.row->frame();
    std::vector<std::int64_t> at;
    int afterRelease = 0;
    const std::vector<Frame> frames = h.device->frames();
    for (std::size_t i = before; i < frames.size(); ++i) {
        if (frames[i].text != frame)
            continue;
        if (frames[i].readNs > released + 1'000'000)
            ++afterRelease;
        else
            at.push_back(frames[i].readNs);
    }
    std::vector<double> deviation;
    for (std::size_t i = 1; i < at.size(); ++i)
        deviation.push_back(std::fabs(toMs(at[i] - at[i - 1]) - period));
    const double mean = at.size() > 1 ? toMs(at.back() - at.front()) / double(at.size() - 1) : 0;
    const Summary dev = summarise(deviation);
    const int expected = at.empty() ? 0 : 1 + int(std::floor(toMs(released - at.front()) / period));
    const int lost = std::max(0, expected - int(at.size()));
    const int doubled = std::max(0, int(at.size()) - expected);
    const double firstMs = at.empty() ? -1 : toMs(at.front() - pressed);
    const bool ok = at.size() > 1 && std::fabs(mean - period) <= 0.2 && dev.p99 < 2.0 && lost == 0 && doubled == 0;
    r.add(QStringLiteral("held"), QStringLiteral("%1, %2: %3 periods").arg(h.name, QLatin1String(c.label)).arg(dev.count),
          QStringLiteral("mean %1 ms, p99 dev %2 ms, max dev %3 ms, lost %4, doubled %5, after release %6")
              .arg(fmt(mean, 4), fmt(dev.p99), fmt(dev.max))
              .arg(lost)
              .arg(doubled)
              .arg(afterRelease),
          QStringLiteral("mean +-0.2, p99 dev < 2, none lost/doubled"), ok);
    return {{"by", h.name},          {"case", QLatin1String(c.label)}, {"nominal_ms", period},
            {"frames", int(at.size())}, {"frames_expected", expected},  {"mean_period_ms", mean},
            {"deviation_ms", toJson(dev)}, {"lost", lost},               {"doubled", doubled},
            {"after_release", afterRelease}, {"first_frame_ms", firstMs}, {"holds", ok}};
}

// From a press of VOL + to its frame on the line, released again before its
// first repeat.
QJsonObject pressToWire(Holder &h, int presses, Report &r)
{
    std::vector<double> ms;
    for (int i = 0; i < presses; ++i) {
        const std::size_t before = h.device->frameCount();
        const std::int64_t pressed = nowNs();
        h.hold("Command1", command("volume up"), true);
        runEventLoopUntil([&] { return h.device->frameCount() > before; }, 2000);
        if (h.device->frameCount() > before)
            ms.push_back(toMs(h.device->frame(before).readNs - pressed));
        runEventLoopFor(30);
        h.hold("Command1", command("volume up"), false);
        runEventLoopFor(270);
    }
    const Summary s = summarise(ms);
    r.add(QStringLiteral("held"), QStringLiteral("%1: press to the first frame on the line, %2 presses").arg(h.name).arg(s.count),
          QStringLiteral("p50 %1 ms, p99 %2 ms, max %3 ms").arg(fmt(s.p50), fmt(s.p99), fmt(s.max)));
    return {{"by", h.name}, {"press_to_wire_ms", toJson(s)}};
}

}  // namespace

QJsonObject runHeld(const Options &o, Report &r)
{
    const std::vector<HeldCase> cases = {
        {"5 ms, cursor up after a D.Zoom release", "Command5", &command("cursor up"), 5, o.quick ? 60 : 400, true},
        {"50 ms, Brightness +", "Command15", &command("brightness up"), 50, o.quick ? 40 : 200, false},
        {"250 ms, VOL +", "Command1", &command("volume up"), 250, o.quick ? 12 : 60, false},
    };
    const int presses = o.quick ? 20 : 200;

    // The window, as in the repeat part.
    PtyMaster windowEnd;
    Device windowDevice(windowEnd);
    windowDevice.start();
    QStringList warnings;
    std::unique_ptr<PanelWindow> form = openPanel(windowEnd.path(), &warnings);
    // qm25d on its own pseudo-terminal, a whole panel's session on it.
    PtyMaster gatewayEnd;
    Device gatewayDevice(gatewayEnd);
    gatewayDevice.start();
    QProcess d;
    d.start(QStringLiteral(QM25_GATEWAY_BIN),
            {"--port", gatewayEnd.path(), "--pjlink", "127.0.0.1:0", "--http", "127.0.0.1:0"});
    QString seen;
    const QString port = wordAfter(d, seen, QStringLiteral("HTTP on 127.0.0.1:"), 10000, true);
    QWebSocket page;
    page.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/panel").arg(port)));
    const bool live = !port.isEmpty() && runEventLoopUntil([&] { return page.state() == QAbstractSocket::ConnectedState; }, 10000);
    if (!form || !live) {
        r.add(QStringLiteral("held"), QStringLiteral("set-up"),
              QStringLiteral("no window or no qm25d: %1 %2").arg(warnings.join(u' '), seen));
        return {{"error", "set-up failed"}};
    }
    // The page's keep-alive, as it sends it while a button is held.
    QTimer alive;
    QObject::connect(&alive, &QTimer::timeout, &page, [&page] { page.sendTextMessage(QStringLiteral(R"({"alive":true})")); });
    alive.start(250);
    runEventLoopFor(200);

    Holder window{QStringLiteral("window"), &windowDevice, [&form](const char *control, const CommandRow &, bool down) {
                      QWidget *b = form->control(QLatin1String(control));
                      down ? QTest::mousePress(b, Qt::LeftButton) : QTest::mouseRelease(b, Qt::LeftButton);
                  }};
    Holder gateway{QStringLiteral("qm25d"), &gatewayDevice, [&page](const char *, const CommandRow &row, bool down) {
                       page.sendTextMessage(QStringLiteral(R"({"%1":"%2"})")
                                                .arg(down ? QStringLiteral("press") : QStringLiteral("release"), latin1(row.name)));
                   }};
    QJsonArray out;
    bool allOk = true;
    for (const HeldCase &c : cases) {
        for (Holder *h : {&window, &gateway}) {
            const QJsonObject m = measure(*h, c, r);
            allOk = allOk && m.value("holds").toBool();
            out.append(m);
        }
    }
    QJsonArray wire;
    for (Holder *h : {&window, &gateway})
        wire.append(pressToWire(*h, presses, r));

    page.close();
    d.terminate();
    d.waitForFinished(5000);
    windowDevice.stop();
    gatewayDevice.stop();
    return {{"cases", out}, {"press_to_wire", wire}, {"holds", allOk}};
}

}  // namespace qm25::bench
