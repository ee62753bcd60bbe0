// Throughput of the pure functions that run on every reception event: the
// rendering of the receive buffer and the decoding of the rendered reply.
#include <QJsonArray>
#include <algorithm>
#include <functional>

#include "bench_util.h"
#include "core/catalogue.h"
#include "core/render.h"
#include "core/status.h"
#include "sections.h"

namespace qm25::bench {
namespace {

// A reply-like text of n characters: it starts as a status reply does and
// mixes digits, letters, blanks and a few control characters.
QString replyText(qsizetype n)
{
    static const QString pattern = QStringLiteral("00 1234 ABCDEF xyz\x06" "5678\r\n90.5 C 12345\x14" "1\r");
    QString s;
    s.reserve(n);
    while (s.size() < n)
        s += pattern;
    s.truncate(n);
    return s;
}

volatile qsizetype g_sink = 0;

// Nanoseconds per call: the median over `batches` batches of at least
// `batchNs` each, and the fastest batch.
struct PerCall {
    double median = 0, best = 0;
};

PerCall timePerCall(const std::function<qsizetype()> &call, std::int64_t batchNs, int batches)
{
    // Calibrate the batch length.
    std::int64_t iterations = 1;
    for (;;) {
        const std::int64_t t0 = nowNs();
        qsizetype sink = 0;
        for (std::int64_t i = 0; i < iterations; ++i)
            sink += call();
        g_sink = g_sink + sink;
        if (nowNs() - t0 >= batchNs / 4 || iterations >= (std::int64_t(1) << 30))
            break;
        iterations *= 2;
    }
    iterations *= 4;
    std::vector<double> perCall;
    for (int b = 0; b < batches; ++b) {
        qsizetype sink = 0;
        const std::int64_t t0 = nowNs();
        for (std::int64_t i = 0; i < iterations; ++i)
            sink += call();
        const std::int64_t t = nowNs() - t0;
        g_sink = g_sink + sink;
        perCall.push_back(static_cast<double>(t) / static_cast<double>(iterations));
    }
    std::sort(perCall.begin(), perCall.end());
    return {perCall[perCall.size() / 2], perCall.front()};
}

}  // namespace

QJsonObject runPure(const Options &o, Report &r)
{
    const std::int64_t batchNs = o.quick ? 5'000'000 : 40'000'000;
    const int batches = o.quick ? 5 : 11;
    QJsonArray out;
    for (const qsizetype n : {qsizetype(4), qsizetype(64), qsizetype(32767)}) {
        const QString text = replyText(n);
        const QString rendered = renderText(text);

        const PerCall render = timePerCall([&] { return renderText(text).size(); }, batchNs, batches);

        // The decoding against each of the nine status queries, and against
        // a frame that is no query (the common case: nothing to decode).
        std::vector<QString> frames;
        for (const CommandRow &row : commands())
            if (row.isStatusRead())
                frames.push_back(QString::fromLatin1(row.frame()));
        // As the engine decodes: the read of the frame sent, then its line.
        const auto decode = [&](const QString &shown, const QString &frame) {
            const CommandRow *read = statusReadOfFrame(frame);
            return read ? statusLine(read->reading, text, shown) : std::nullopt;
        };
        const PerCall decodeAll = timePerCall(
            [&] {
                qsizetype s = 0;
                for (const QString &f : frames)
                    s += decode(rendered, f).value_or(QString()).size();
                return s;
            },
            batchNs, batches);
        const double decodeQuery = decodeAll.median / static_cast<double>(frames.size());
        const QString plainFrame = QStringLiteral("C00\r");
        const PerCall decodeNone = timePerCall(
            [&] { return decode(rendered, plainFrame) ? qsizetype(1) : qsizetype(0); },
            batchNs, batches);
        // What one reception event does in reply mode besides the label.
        const PerCall both = timePerCall(
            [&] {
                const QString shown = renderText(text);
                return shown.size() + decode(shown, frames[0]).value_or(QString()).size();
            },
            batchNs, batches);

        const double mchars = static_cast<double>(n) / render.median * 1e3;  // chars per ns -> M chars/s
        r.add(QStringLiteral("pure"), QStringLiteral("render %1 chars").arg(n),
               QStringLiteral("%1 us/call, %2 Mchar/s").arg(fmt(render.median / 1e3), fmt(mchars, 1)));
        r.add(QStringLiteral("pure"), QStringLiteral("decode %1 chars (status query, mean of 9)").arg(n),
               QStringLiteral("%1 us/call").arg(fmt(decodeQuery / 1e3)));
        r.add(QStringLiteral("pure"), QStringLiteral("decode %1 chars (no query sent)").arg(n),
               QStringLiteral("%1 us/call").arg(fmt(decodeNone.median / 1e3)));
        r.add(QStringLiteral("pure"), QStringLiteral("render + decode %1 chars (CR0)").arg(n),
               QStringLiteral("%1 us/call").arg(fmt(both.median / 1e3)));
        out.append(QJsonObject{
            {"chars", static_cast<qint64>(n)},
            {"rendered_chars", static_cast<qint64>(rendered.size())},
            {"render_ns", render.median},
            {"render_best_ns", render.best},
            {"render_mchars_per_s", mchars},
            {"decode_status_query_ns", decodeQuery},
            {"decode_no_query_ns", decodeNone.median},
            {"render_and_decode_ns", both.median},
        });
    }
    return QJsonObject{{"sizes", out}};
}

}  // namespace qm25::bench
