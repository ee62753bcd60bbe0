// Load: a device that streams without pause, at the line's pace and as fast
// as the pseudo-terminal takes it, into the panel running as a process of its
// own (qm25-bench-loadpanel) while an operator clicks and holds buttons.
#include <QJsonArray>
#include <QJsonDocument>
#include <atomic>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "bench_util.h"
#include "sections.h"

namespace qm25::bench {
namespace {

constexpr double kLineBytesPerSecond = 1920.0;  // 19200 baud, 10 bits a character

struct Variant {
    const char *label;
    const char *key;
    bool paced;
    int chunk;  // bytes a write; paced: written every chunk/1920 s
};

// Replies and status answers as a projector sends them, over and over.
QByteArray streamPattern()
{
    return QByteArray("00\r80\r\x06\r" "1\r" "0011\r" "00123\r" "\x15\r" "045.0 C 038.5 C 027.0 C\r");
}

}  // namespace

QJsonObject runLoad(const Options &o, Report &r)
{
    const Variant variants[] = {
        {"line pace (1920 B/s, byte by byte)", "line_pace", true, 1},
        // A 16550 UART hands its receive FIFO over 8 bytes at a time.
        {"line pace (1920 B/s, 8-byte bursts)", "line_pace_bursts", true, 8},
        {"full pty speed", "full_speed", false, 4096},
    };
    const QString program = programDir() + QStringLiteral("/qm25-bench-loadpanel");
    const int seconds = o.loadSeconds;
    QJsonObject out;
    for (const Variant &v : variants) {
        PtyMaster pty;
        Child child = spawnChild(program, {}, {QStringLiteral("QT_QPA_PLATFORM=offscreen"), QStringLiteral("QM25_COM1=") + pty.path()});
        bool ok = false;
        const QByteArray ready = readLine(child, 20000, &ok);
        if (!ok || ready != "READY") {
            finishChild(child, 1000);
            r.add(QStringLiteral("load"), QString::fromLatin1(v.label), QStringLiteral("the panel did not start"));
            continue;
        }

        // The panel's own frames are read and thrown away.
        std::atomic<bool> stop{false};
        std::atomic<std::uint64_t> fromPanel{0}, toPanel{0};
        std::thread drain([&] {
            char buf[4096];
            while (!stop) {
                pollfd p{pty.fd(), POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0)
                    continue;
                if (!(p.revents & POLLIN)) {
                    sleepForNs(1'000'000);
                    continue;
                }
                const ssize_t n = ::read(pty.fd(), buf, sizeof buf);
                if (n > 0)
                    fromPanel += std::uint64_t(n);
            }
        });

        const QByteArray pattern = streamPattern();
        QByteArray block;
        while (block.size() < 2 * 4096)
            block += pattern;
        const long rssGo = rssKb(child.pid);
        writeLine(child, "go");
        const std::int64_t t0 = nowNs();
        const std::int64_t end = t0 + std::int64_t(seconds) * 1'000'000'000;
        std::thread writer([&] {
            std::size_t offset = 0;
            if (v.paced) {
                const double periodNs = 1e9 * v.chunk / kLineBytesPerSecond;
                for (std::int64_t k = 0;; ++k) {
                    const std::int64_t due = t0 + std::int64_t(double(k) * periodNs);
                    if (due >= end)
                        break;
                    sleepUntilNs(due);
                    if (!pty.writeAll(block.constData() + offset, std::size_t(v.chunk), end))
                        break;
                    toPanel += std::uint64_t(v.chunk);
                    offset = (offset + std::size_t(v.chunk)) % std::size_t(pattern.size());
                }
            } else {
                while (nowNs() < end) {
                    const qsizetype n = v.chunk;
                    const ssize_t w = ::write(pty.fd(), block.constData() + offset, std::size_t(n));
                    if (w > 0) {
                        toPanel += std::uint64_t(w);
                        offset = (offset + std::size_t(w)) % std::size_t(pattern.size());
                    } else {
                        pollfd p{pty.fd(), POLLOUT, 0};
                        ::poll(&p, 1, 20);
                    }
                }
            }
        });

        // Memory once a second.
        std::vector<double> rssMb;
        while (nowNs() < end) {
            sleepForNs(std::min<std::int64_t>(1'000'000'000, end - nowNs()));
            const long kb = rssKb(child.pid);
            if (kb > 0)
                rssMb.push_back(double(kb) / 1024.0);
        }
        writer.join();
        const long rssEnd = rssKb(child.pid);
        writeLine(child, "stop");
        const QByteArray result = readLine(child, 20000, &ok);
        stop = true;
        drain.join();
        finishChild(child, 5000);

        const QJsonObject fig = QJsonDocument::fromJson(result).object();
        const double cpuShare = fig.value("wall_ms").toDouble() > 0
                                    ? 100.0 * fig.value("cpu_ms").toDouble() / fig.value("wall_ms").toDouble()
                                    : -1;
        const QJsonObject click = fig.value("click_delay_ms").toObject();
        const QJsonObject timer = fig.value("timer_late_ms").toObject();
        const QJsonObject repeat = fig.value("repeat_late_ms").toObject();
        const double worstClick = click.value("max").toDouble();
        const double worstTick = std::max(timer.value("max").toDouble(), repeat.value("max").toDouble());
        // Bounded: no growth after the first quarter of the run.
        double quarter = 0, maxRss = 0;
        for (std::size_t i = 0; i < rssMb.size(); ++i) {
            if (i < std::max<std::size_t>(1, rssMb.size() / 4))
                quarter = std::max(quarter, rssMb[i]);
            maxRss = std::max(maxRss, rssMb[i]);
        }
        const bool bounded = !rssMb.empty() && maxRss - quarter < 2.0;
        const double rate = double(toPanel) / (double(seconds));

        const QString label = QString::fromLatin1(v.label);
        if (v.paced)
            r.add(QStringLiteral("load"), label + QStringLiteral(": panel CPU"), QStringLiteral("%1 %").arg(fmt(cpuShare, 2)),
                   QStringLiteral("< 5 %"), cpuShare >= 0 && cpuShare < 5.0);
        else
            r.add(QStringLiteral("load"), label + QStringLiteral(": panel CPU"),
                   QStringLiteral("%1 % at %2 kB/s offered").arg(fmt(cpuShare, 1), fmt(rate / 1000.0, 0)));
        r.add(QStringLiteral("load"), label + QStringLiteral(": click delay (%1)").arg(click.value("count").toInt()),
               QStringLiteral("p50 %1 ms, p99 %2 ms, max %3 ms")
                   .arg(fmt(click.value("p50").toDouble()), fmt(click.value("p99").toDouble()), fmt(worstClick)),
               QStringLiteral("max < 20 ms"), click.value("count").toInt() > 0 && worstClick < 20.0);
        r.add(QStringLiteral("load"), label + QStringLiteral(": timer tick delay (%1)").arg(timer.value("count").toInt() + repeat.value("count").toInt()),
               QStringLiteral("reply/clear p99 %1 ms, repeat p99 %2 ms, max %3 ms")
                   .arg(fmt(timer.value("p99").toDouble()), fmt(repeat.value("p99").toDouble()), fmt(worstTick)),
               QStringLiteral("max < 20 ms"), worstTick < 20.0);
        r.add(QStringLiteral("load"), label + QStringLiteral(": RSS go / end / max"),
               QStringLiteral("%1 / %2 / %3 MB").arg(fmt(double(rssGo) / 1024.0, 1), fmt(double(rssEnd) / 1024.0, 1), fmt(maxRss, 1)),
               QStringLiteral("bounded"), bounded);
        QJsonArray rssArr;
        for (double x : rssMb)
            rssArr.append(x);
        out.insert(QLatin1String(v.key),
                   QJsonObject{{"label", label},
                               {"seconds", seconds},
                               {"bytes_to_panel", static_cast<qint64>(toPanel.load())},
                               {"bytes_per_s", rate},
                               {"bytes_from_panel", static_cast<qint64>(fromPanel.load())},
                               {"cpu_percent", cpuShare},
                               {"panel", fig},
                               {"rss_go_mb", double(rssGo) / 1024.0},
                               {"rss_end_mb", double(rssEnd) / 1024.0},
                               {"rss_max_mb", maxRss},
                               {"rss_each_second_mb", rssArr},
                               {"bounded", bounded}});
    }
    return out;
}

}  // namespace qm25::bench
