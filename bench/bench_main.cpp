// qm25-bench: measures the panel and prints one table; the same figures go
// to a JSON file.
//
//   qm25-bench [--quick] [--only PART,...] [--json FILE]
//              [--load-seconds N] [--startup-runs N]
//
// PARTS: pure, click, reply, repeat, repeat-tcp, held, start, ctl, load (all by
// default, in that order). QM25_BENCH_LOAD_S sets the length of each streaming run (default
// 60 s) unless --load-seconds is given.
#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QStyleFactory>
#include <QSysInfo>
#include <cstdio>
#include <thread>

#include "bench_util.h"
#include "sections.h"

namespace qm25::bench {

QString fmt(double value, int decimals) { return QString::number(value, 'f', decimals); }

void Report::print() const
{
    auto width = [&](auto field) {
        qsizetype w = 0;
        for (const Row &row : rows_)
            w = std::max(w, field(row).size());
        return int(w);
    };
    const int wp = width([](const Row &x) { return x.part; });
    const int ww = width([](const Row &x) { return x.what; });
    const int wf = width([](const Row &x) { return x.figure; });
    const int wt = std::max(6, width([](const Row &x) { return x.target; }));
    std::printf("%-*s  %-*s  %-*s  %-*s  %s\n", wp, "part", ww, "measure", wf, "figure", wt, "target", "verdict");
    std::printf("%s\n", QString(wp + ww + wf + wt + 16, QLatin1Char('-')).toUtf8().constData());
    for (const Row &row : rows_) {
        const char *verdict = row.holds ? (*row.holds ? "holds" : "MISSED") : "";
        std::printf("%-*s  %-*s  %-*s  %-*s  %s\n", wp, row.part.toUtf8().constData(), ww,
                    row.what.toUtf8().constData(), wf, row.figure.toUtf8().constData(), wt,
                    row.target.toUtf8().constData(), verdict);
    }
    std::fflush(stdout);
}

}  // namespace qm25::bench

using namespace qm25::bench;

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Options o;
    if (const int s = qEnvironmentVariableIntValue("QM25_BENCH_LOAD_S"); s > 0)
        o.loadSeconds = s;
    QString jsonPath;
    QStringList only;
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        auto value = [&]() -> QString {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "qm25-bench: %s needs a value\n", argv[i]);
                std::exit(2);
            }
            return QString::fromLocal8Bit(argv[++i]);
        };
        if (a == QLatin1String("--quick"))
            o.quick = true;
        else if (a == QLatin1String("--json"))
            jsonPath = value();
        else if (a == QLatin1String("--only"))
            only = value().split(QLatin1Char(','), Qt::SkipEmptyParts);
        else if (a == QLatin1String("--load-seconds"))
            o.loadSeconds = std::max(1, value().toInt());
        else if (a == QLatin1String("--startup-runs"))
            o.startupRuns = std::max(1, value().toInt());
        else {
            std::fprintf(stderr,
                         "usage: qm25-bench [--quick] [--only pure,click,reply,repeat,repeat-tcp,held,start,ctl,load] [--json FILE]\n"
                         "                  [--load-seconds N] [--startup-runs N]\n");
            return 2;
        }
    }

    quietOffscreenNotes();
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setApplicationName(QStringLiteral("qm25-control"));

    Report report;
    QJsonObject json;
    QJsonObject meta{
        {"started", QDateTime::currentDateTime().toString(Qt::ISODate)},
        {"qt", QLatin1String(qVersion())},
        {"cpus", static_cast<int>(std::thread::hardware_concurrency())},
        {"kernel", QSysInfo::kernelVersion()},
        {"load_average_at_start", loadAverage1()},
        {"stolen_s_at_start", stolenSeconds()},
        {"quick", o.quick},
        {"load_seconds", o.loadSeconds},
    };
    struct Part {
        const char *name;
        QJsonObject (*run)(const Options &, Report &);
    };
    const Part parts[] = {
        {"pure", runPure},   {"click", runClickToWire}, {"reply", runReplyToDisplay},
        {"repeat", runRepeat}, {"repeat-tcp", runRepeatTcp}, {"held", runHeld}, {"start", runStartup}, {"ctl", runCtl},
        {"load", runLoad},
    };
    QStringList stolenByPart;
    for (const Part &p : parts) {
        if (!only.isEmpty() && !only.contains(QLatin1String(p.name)))
            continue;
        std::fprintf(stderr, "qm25-bench: %s ...\n", p.name);
        const std::int64_t t0 = nowNs();
        const double stolen0 = stolenSeconds();
        QJsonObject part = p.run(o, report);
        part.insert(QStringLiteral("seconds"), toMs(nowNs() - t0) / 1000.0);
        part.insert(QStringLiteral("load_average_after"), loadAverage1());
        part.insert(QStringLiteral("stolen_s"), stolenSeconds() - stolen0);
        stolenByPart.append(QStringLiteral("%1 %2 s").arg(QLatin1String(p.name), fmt(stolenSeconds() - stolen0, 1)));
        json.insert(QLatin1String(p.name), part);
    }
    meta.insert(QStringLiteral("load_average_at_end"), loadAverage1());
    meta.insert(QStringLiteral("stolen_s_at_end"), stolenSeconds());
    json.insert(QStringLiteral("machine"), meta);

    report.print();
    std::printf("load average (1 min): %.2f at start, %.2f at end, %d CPUs\n",
                meta.value("load_average_at_start").toDouble(), meta.value("load_average_at_end").toDouble(),
                meta.value("cpus").toInt());
    // On a virtual machine the host may take CPU time away; timings taken
    // meanwhile are late by that much.
    std::printf("CPU time taken by the host (steal), by part: %s\n", qPrintable(stolenByPart.join(QStringLiteral(", "))));
    if (!jsonPath.isEmpty()) {
        QFile f(jsonPath);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            std::fprintf(stderr, "qm25-bench: cannot write %s\n", qPrintable(jsonPath));
            return 1;
        }
        f.write(QJsonDocument(json).toJson(QJsonDocument::Indented));
        std::printf("figures written to %s\n", qPrintable(jsonPath));
    }
    return 0;
}
