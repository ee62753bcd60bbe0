// The window in this process on a pseudo-terminal, with the projector end
// read by a thread of its own: click to wire, reply to display, and the
// repeat of the held buttons.
#include <QApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QLabel>
#include <QTimer>
#include <QtTest/QTest>
#include <cmath>
#include <cstdio>
#include <random>

#include "bench_util.h"
#include "core/catalogue.h"
#include "core/render.h"
#include "panel_rig.h"
#include "core/status.h"
#include "sections.h"

namespace qm25::bench {
namespace {

struct Rig {
    std::unique_ptr<PeerEnd> end;
    Device device;
    QStringList warnings;
    std::unique_ptr<PanelWindow> form;

    // On a pseudo-terminal, or as a device server on loopback TCP.
    explicit Rig(bool overTcp = false)
        : end(overTcp ? std::unique_ptr<PeerEnd>(std::make_unique<TcpEnd>()) : std::make_unique<PtyMaster>()),
          device(*end)
    {
    }
    bool open()
    {
        auto *tcp = dynamic_cast<TcpEnd *>(end.get());
        if (tcp ? !tcp->listening() : !end->ok())
            return false;
        if (!tcp)
            device.start();
        // Start-up waits until the connection is made; it is taken after.
        form = openPanel(end->path(), &warnings);
        if (!form || (tcp && !tcp->takeClient(1000)))
            return false;
        if (tcp)
            device.start();
        runEventLoopFor(50);
        device.clearFrames();
        return true;
    }
    ~Rig()
    {
        if (form)
            form->end();
        form.reset();
        device.stop();
    }
    CommandButton *button(const char *name) const { return form->control<CommandButton>(QLatin1String(name)); }
};

}  // namespace

// --- click to wire ---------------------------------------------------------------

QJsonObject runClickToWire(const Options &o, Report &r)
{
    Rig rig;
    if (!rig.open()) {
        r.add(QStringLiteral("click"), QStringLiteral("click to wire"), QStringLiteral("no panel: ") + rig.warnings.join(u' '));
        return {{"error", "panel did not open"}};
    }
    rig.device.setReplyDelayNs(1'000'000);  // the projector answers each command

    const std::vector<ClickButton> rows = clickButtons();
    const int clicks = o.quick ? 300 : 2000;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pause(1, 4);

    std::vector<double> wireMs, handlerMs;
    int beforeReturn = 0, wrongFrames = 0, missing = 0;
    for (int i = 0; i < clicks; ++i) {
        const ClickButton &row = rows[std::size_t(i) % rows.size()];
        CommandButton *b = rig.button(row.control);
        const QByteArray expected = row.command->frame();
        const std::size_t before = rig.device.frameCount();
        const std::int64_t t0 = nowNs();
        QTest::mouseClick(b, Qt::LeftButton);
        const std::int64_t returned = nowNs();
        if (!rig.device.waitFrames(before + 1, 1000)) {
            ++missing;
            continue;
        }
        const Frame f = rig.device.frame(before);
        if (f.text != expected)
            ++wrongFrames;
        wireMs.push_back(toMs(f.readNs - t0));
        handlerMs.push_back(toMs(returned - t0));
        if (f.readNs <= returned)
            ++beforeReturn;
        // The panel goes back to its event loop: replies, paints, timers.
        runEventLoopFor(pause(rng));
    }

    const Summary wire = summarise(wireMs);
    const Summary handler = summarise(handlerMs);
    const bool ok = missing == 0 && wrongFrames == 0 && wire.p99 < 1.0;
    r.add(QStringLiteral("click"), QStringLiteral("click to wire, %1 clicks").arg(wire.count),
           QStringLiteral("p50 %1 ms, p99 %2 ms, max %3 ms").arg(fmt(wire.p50), fmt(wire.p99), fmt(wire.max)),
           QStringLiteral("p99 < 1 ms"), ok);
    r.add(QStringLiteral("click"), QStringLiteral("click handled (click returns)"),
           QStringLiteral("p50 %1 ms, p99 %2 ms, max %3 ms").arg(fmt(handler.p50), fmt(handler.p99), fmt(handler.max)));
    r.add(QStringLiteral("click"), QStringLiteral("frames readable before the click returned"),
           QStringLiteral("%1 of %2; wrong %3, missing %4").arg(beforeReturn).arg(wire.count).arg(wrongFrames).arg(missing));
    return {{"click_to_wire_ms", toJson(wire)},
            {"click_handled_ms", toJson(handler)},
            {"readable_before_return", beforeReturn},
            {"wrong_frames", wrongFrames},
            {"missing_frames", missing},
            {"target_p99_ms", 1.0},
            {"holds", ok}};
}

// --- reply to display -------------------------------------------------------------

namespace {

// Watches the display lines: after each reception event (this connection is
// made after the window's own, so it runs once the window has handled the
// event) it notes the time and what the lines hold; it also notes the first
// paint of the RXD line after that.
class LineWatch : public QObject {
public:
    struct Seen {
        std::int64_t at;
        QString rxd, status;
    };
    explicit LineWatch(PanelWindow *form) : form_(form)
    {
        connect(&form->line(), &Line::received, this, [this] {
            const std::int64_t t = nowNs();
            if (!armed_)
                return;
            seen_.push_back({t, form_->rxdLine()->text(), form_->statusLine()->text()});
            if (seen_.back().rxd.endsWith(QLatin1String("CR ")) && loop_)
                loop_->quit();
        });
        form->rxdLine()->installEventFilter(this);
    }
    void arm(QEventLoop *loop)
    {
        seen_.clear();
        paintedAt_ = 0;
        loop_ = loop;
        armed_ = true;
    }
    void disarm()
    {
        armed_ = false;
        loop_ = nullptr;
    }
    void watchPaint(const QString &text)
    {
        paintText_ = text;
        paintedAt_ = 0;
    }
    std::int64_t paintedAt() const { return paintedAt_; }
    const std::vector<Seen> &seen() const { return seen_; }

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint && !paintedAt_ && !paintText_.isEmpty() && form_->rxdLine()->text() == paintText_)
            paintedAt_ = nowNs();
        return false;
    }

private:
    PanelWindow *form_;
    bool armed_ = false;
    QEventLoop *loop_ = nullptr;
    std::vector<Seen> seen_;
    QString paintText_;
    std::int64_t paintedAt_ = 0;
};

}  // namespace

QJsonObject runReplyToDisplay(const Options &o, Report &r)
{
    Rig rig;
    if (!rig.open()) {
        r.add(QStringLiteral("reply"), QStringLiteral("reply to display"), QStringLiteral("no panel: ") + rig.warnings.join(u' '));
        return {{"error", "panel did not open"}};
    }
    // The projector answers 2 ms after each frame, when the window is back
    // in its event loop.
    rig.device.setReplyDelayNs(2'000'000);
    // Power on, so the status reads answer as in use.
    QTest::mouseClick(rig.button("Command17"), Qt::LeftButton);
    runEventLoopFor(3300);

    // A short reply window, so that a thousand exchanges take half a minute
    // and every reply lands in an empty receive buffer, as it does in use.
    rig.form->engine().replyTimer()->setInterval(20);
    rig.form->engine().clearTimer()->setInterval(25);

    // Status reads (STATUS, MODE, L-TIME, SETTING, TEMP: decoded onto the
    // STATUS line) and commands (sound mute and no show on and off).
    const char *const status[] = {"Command44", "Command45", "Command46", "Command47", "Command54"};
    const char *const plain[] = {"Command19", "Command20", "Command21", "Command22"};
    LineWatch watch(rig.form.get());
    const int exchanges = o.quick ? 200 : 1000;
    std::vector<double> statusMs, plainMs, paintMs;
    int unmatched = 0;
    std::size_t nextStatus = 0, nextPlain = 0;
    for (int i = 0; i < exchanges; ++i) {
        // Two status reads, then a command.
        const char *name = (i % 3) != 2 ? status[nextStatus++ % 5] : plain[nextPlain++ % 4];
        PanelWindow &f = *rig.form;
        runEventLoopUntil([&] { return !f.engine().replyTimer()->isEnabled() && !f.engine().clearTimer()->isEnabled() && f.engine().state().RecvText.isEmpty(); }, 2000);

        const std::size_t before = rig.device.frameCount();
        QEventLoop loop;
        QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        watch.arm(&loop);
        QTest::mouseClick(rig.button(name), Qt::LeftButton);
        loop.exec();
        watch.disarm();

        if (!rig.device.waitFrames(before + 1, 1000)) {
            ++unmatched;
            continue;
        }
        const Frame fr = rig.device.frame(before);
        const QString expectedRxd = renderText(QString::fromLatin1(fr.reply));
        const CommandRow *read = statusReadOfFrame(QString::fromLatin1(fr.text));
        const auto decoded = read ? statusLine(read->reading, QString::fromLatin1(fr.reply), expectedRxd) : std::nullopt;
        std::int64_t shown = 0;
        for (const LineWatch::Seen &s : watch.seen()) {
            if (s.rxd == expectedRxd && (!decoded || s.status == *decoded)) {
                shown = s.at;
                break;
            }
        }
        if (!shown || !fr.replyNs) {
            ++unmatched;
            continue;
        }
        (decoded ? statusMs : plainMs).push_back(toMs(shown - fr.replyNs));
        // Until the RXD line has been painted with it.
        watch.watchPaint(expectedRxd);
        runEventLoopUntil([&] { return watch.paintedAt() != 0; }, 100);
        if (watch.paintedAt())
            paintMs.push_back(toMs(watch.paintedAt() - fr.replyNs));
        watch.watchPaint(QString());
    }

    const Summary st = summarise(statusMs), pl = summarise(plainMs), pa = summarise(paintMs);
    std::vector<double> all = statusMs;
    all.insert(all.end(), plainMs.begin(), plainMs.end());
    const Summary every = summarise(all);
    const bool ok = unmatched == 0 && every.p99 < 2.0;
    auto line = [](const Summary &s) {
        return QStringLiteral("p50 %1 ms, p99 %2 ms, max %3 ms").arg(fmt(s.p50), fmt(s.p99), fmt(s.max));
    };
    r.add(QStringLiteral("reply"), QStringLiteral("reply to RXD + STATUS (status read), %1").arg(st.count), line(st),
           QStringLiteral("p99 < 2 ms"), unmatched == 0 && st.p99 < 2.0);
    r.add(QStringLiteral("reply"), QStringLiteral("reply to RXD (command answer), %1").arg(pl.count), line(pl),
           QStringLiteral("p99 < 2 ms"), unmatched == 0 && pl.p99 < 2.0);
    r.add(QStringLiteral("reply"), QStringLiteral("reply to RXD painted, %1").arg(pa.count), line(pa));
    if (unmatched)
        r.add(QStringLiteral("reply"), QStringLiteral("exchanges without the expected display"), QString::number(unmatched));
    return {{"status_read_ms", toJson(st)},
            {"command_answer_ms", toJson(pl)},
            {"all_ms", toJson(every)},
            {"painted_ms", toJson(pa)},
            {"unmatched", unmatched},
            {"target_p99_ms", 2.0},
            {"holds", ok}};
}

// --- repeat while held ---------------------------------------------------------------

namespace {

// The held buttons' repeat on a pseudo-terminal, or over loopback TCP as
// through a device server. Over TCP also with a projector that never
// answers and a server that acknowledges late, as across a network: with
// Nagle's algorithm on, each frame would wait for the acknowledgement of the
// last (about 40 ms here).
QJsonObject repeatOver(bool overTcp, const Options &o, Report &r)
{
    struct Case {
        const char *label;
        const char *button;
        const char *code;
        int periodMs;
        int periods;
        bool afterZoomRelease;
        bool silent;
    };
    const QString part = overTcp ? QStringLiteral("repeat-tcp") : QStringLiteral("repeat");
    std::vector<Case> cases = {
        {"5 ms, cursor up after a D.Zoom release", "Command5", "C3C", 5, o.quick ? 60 : 400, true, false},
        {"50 ms, Brightness +", "Command15", "C20", 50, o.quick ? 40 : 220, false, false},
        {"250 ms, VOL +", "Command1", "C09", 250, o.quick ? 12 : 210, false, false},
        {"500 ms, SELECT", "Command6", "C3F", 500, o.quick ? 6 : 45, false, false},
    };
    if (overTcp)
        cases.push_back({"5 ms, silent projector, late acks", "Command5", "C3C", 5, o.quick ? 60 : 400, true, true});

    Rig rig(overTcp);
    if (!rig.open()) {
        r.add(part, QStringLiteral("repeat"), QStringLiteral("no panel: ") + rig.warnings.join(u' '));
        return {{"error", "panel did not open"}};
    }
    rig.device.setReplyDelayNs(0);  // the projector answers every frame at once

    QJsonArray out;
    bool allOk = true;
    for (const Case &c : cases) {
        rig.device.setReplying(!c.silent);
        if (c.afterZoomRelease) {
            QTest::mousePress(rig.button("Command48"), Qt::LeftButton);
            runEventLoopFor(20);
            QTest::mouseRelease(rig.button("Command48"), Qt::LeftButton);
        }
        runEventLoopFor(1100);  // the display clear of the release has run
        const std::size_t before = rig.device.frameCount();
        const double period = c.periodMs;
        // The ticks as the window handles them (this connection runs after
        // the window's own), to tell the window's lateness from the reader's.
        std::vector<std::int64_t> ticks;
        const QMetaObject::Connection tickWatch = QObject::connect(
            rig.form->engine().repeatTimer(), &IntervalTimer::tick, rig.form.get(), [&ticks] { ticks.push_back(nowNs()); });
        const std::int64_t pressed = nowNs();
        QTest::mousePress(rig.button(c.button), Qt::LeftButton);
        runEventLoopFor(c.periods * c.periodMs + c.periodMs / 2);
        const std::int64_t released = nowNs();
        QTest::mouseRelease(rig.button(c.button), Qt::LeftButton);
        QObject::disconnect(tickWatch);
        runEventLoopFor(std::max(100, 3 * c.periodMs));
        std::vector<double> tickDeviation;
        for (std::size_t i = 1; i < ticks.size(); ++i)
            tickDeviation.push_back(std::fabs(toMs(ticks[i] - ticks[i - 1]) - period));
        const Summary tickDev = summarise(tickDeviation);

        std::vector<std::int64_t> at;
        int others = 0, afterRelease = 0;
        const std::vector<Frame> frames = rig.device.frames();
        for (std::size_t i = before; i < frames.size(); ++i) {
            if (frames[i].text != QByteArray(c.code) + '\r') {
                ++others;
                continue;
            }
            if (frames[i].readNs > released + 1'000'000)
                ++afterRelease;
            at.push_back(frames[i].readNs);
        }
        // Periods: the gaps between frames, against the nominal period.
        std::vector<double> deviation;
        int longGaps = 0, shortGaps = 0;
        for (std::size_t i = 1; i < at.size(); ++i) {
            const double d = toMs(at[i] - at[i - 1]);
            deviation.push_back(std::fabs(d - period));
            longGaps += d > 1.5 * period ? 1 : 0;
            shortGaps += d < 0.5 * period ? 1 : 0;
        }
        const double mean = at.size() > 1 ? toMs(at.back() - at.front()) / double(at.size() - 1) : 0;
        const Summary dev = summarise(deviation);
        // Frames owed: one at the press, then one a period until the
        // release (held for a whole number of periods and a half).
        const double held = toMs(released - pressed);
        const int expected = at.empty() ? 0 : 1 + int(std::floor(toMs(released - at.front()) / period));
        const int received = int(at.size());
        const int lost = std::max(0, expected - received);
        const int doubled = std::max(0, received - expected);
        const bool ok = at.size() > 1 && std::fabs(mean - period) <= 0.2 && dev.p99 < 2.0 && lost == 0
                        && doubled == 0 && afterRelease == 0;
        allOk = allOk && ok;
        r.add(part, QStringLiteral("%1: %2 periods").arg(QLatin1String(c.label)).arg(dev.count),
              QStringLiteral("mean %1 ms, p99 dev %2 ms, max dev %3 ms, lost %4, doubled %5")
                  .arg(fmt(mean, 4), fmt(dev.p99), fmt(dev.max))
                  .arg(lost)
                  .arg(doubled),
              QStringLiteral("mean +-0.2, p99 dev < 2, none lost/doubled"), ok);
        r.add(part, QStringLiteral("  the same ticks as handled in the window"),
              QStringLiteral("p99 dev %1 ms, max dev %2 ms").arg(fmt(tickDev.p99), fmt(tickDev.max)));
        out.append(QJsonObject{{"case", QLatin1String(c.label)},
                               {"nominal_ms", period},
                               {"frames", received},
                               {"frames_expected", expected},
                               {"gaps_over_1_5_periods", longGaps},
                               {"gaps_under_half_a_period", shortGaps},
                               {"held_ms", held},
                               {"mean_period_ms", mean},
                               {"deviation_ms", toJson(dev)},
                               {"tick_handled_deviation_ms", toJson(tickDev)},
                               {"lost", lost},
                               {"doubled", doubled},
                               {"after_release", afterRelease},
                               {"other_frames", others},
                               {"holds", ok}});
    }
    return {{"cases", out}, {"holds", allOk}};
}

}  // namespace

QJsonObject runRepeat(const Options &o, Report &r) { return repeatOver(false, o, r); }
QJsonObject runRepeatTcp(const Options &o, Report &r) { return repeatOver(true, o, r); }

}  // namespace qm25::bench
