#include "ctl/program.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "ctl/commands.h"
#include "ctl/runner.h"
#include "serial/serial_line.h"

namespace qm25::ctl {
namespace {

constexpr int kUsageStatus = 2;

void printList(QTextStream &out, bool json)
{
    for (const Command &c : catalogue()) {
        if (json) {
            const QJsonObject o{{"name", c.name},
                                {"code", c.code},
                                {"kind", c.kind == Kind::Read ? "read" : "action"},
                                {"timeout_ms", c.timeoutMs}};
            out << QJsonDocument(o).toJson(QJsonDocument::Compact) << Qt::endl;
            continue;
        }
        out << QStringLiteral("%1 %2 %3 ms%4")
                   .arg(c.name, -22)
                   .arg(c.code, -21)
                   .arg(c.timeoutMs, 5)
                   .arg(c.kind == Kind::Read ? QStringLiteral("  status read") : QString())
            << Qt::endl;
    }
    if (json)
        return;
    QStringList reads;
    for (const Command &c : statusGroup())
        reads.append(c.name);
    out << QStringLiteral("%1 %2").arg(QStringLiteral("status"), -22).arg(reads.join(QLatin1String(", "))) << Qt::endl;
    out << QStringLiteral("%1 %2 %3 ms")
               .arg(QStringLiteral("send CODE"), -22)
               .arg(QStringLiteral("CODE, as typed"), -21)
               .arg(typedCommand({}).timeoutMs, 5)
        << Qt::endl;
}

void report(const Result &r, bool json, QTextStream &out, QTextStream &err)
{
    if (json)
        out << QJsonDocument(toJson(r)).toJson(QJsonDocument::Compact) << Qt::endl;
    if (r.outcome == Outcome::Ok) {
        if (!json)
            out << describe(r) << Qt::endl;
    } else {
        err << "qm25ctl: " << describe(r) << Qt::endl;
    }
}

}  // namespace

int runProgram(const QStringList &args, QTextStream &out, QTextStream &err)
{
    QString error;
    const std::optional<Invocation> inv = parseArguments(args, &error);
    if (!inv) {
        err << "qm25ctl: " << error << "\nUsage: qm25ctl [options] COMMAND [COMMAND ...]; qm25ctl --help tells more."
            << Qt::endl;
        return kUsageStatus;
    }
    if (inv->help) {
        out << kUsage << Qt::flush;
        return 0;
    }
    if (inv->list) {
        printList(out, inv->json);
        return 0;
    }

    SerialLine line;
    if (!inv->device.isEmpty())
        line.setDevice(inv->device);
    else
        line.setPortNumber(inv->com);
    line.setSettings(QStringLiteral("%1,N,8,1").arg(inv->baud));
    line.setLossAdvice(QStringLiteral("Check the cable and the adapter, then run the commands again."));
    if (!line.open() || !line.finishOpening()) {
        Result r;
        r.name = inv->commands.first().name;
        r.frame = inv->commands.first().code.toLatin1() + '\r';
        r.outcome = Outcome::PortError;
        r.error = line.errorText();
        report(r, inv->json, out, err);
        return exitStatus(r.outcome);
    }

    Runner runner(&line, inv->timeoutMs, inv->waitMs);
    for (const Command &command : inv->commands) {
        const Result r = runner.run(command);
        report(r, inv->json, out, err);
        if (r.outcome != Outcome::Ok)
            return exitStatus(r.outcome);
    }
    return 0;
}

}  // namespace qm25::ctl
