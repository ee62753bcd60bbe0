#include "ctl/program.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "ctl/arguments.h"
#include "ctl/runner.h"
#include "line/port_devices.h"
#include "line/port_line.h"
#include "line/remembered_devices.h"

namespace qm25::ctl {
namespace {

constexpr int kUsageStatus = 2;

void printList(QTextStream &out, bool json)
{
    for (const CommandRow &row : commands()) {
        if (json) {
            out << QJsonDocument(toJson(row)).toJson(QJsonDocument::Compact) << Qt::endl;
            continue;
        }
        out << QStringLiteral("%1 %2 %3 ms  %4")
                   .arg(latin1(row.name), -22)
                   .arg(latin1(row.code), -21)
                   .arg(row.times.replyTimeoutMs, 5)
                   .arg(latin1(row.description))
            << Qt::endl;
    }
    if (json)
        return;
    QStringList reads;
    for (const Request &r : statusGroup())
        reads.append(r.name());
    out << QStringLiteral("%1 %2").arg(QStringLiteral("status"), -22).arg(reads.join(QLatin1String(", "))) << Qt::endl;
    out << QStringLiteral("%1 %2 %3 ms  Send a code as typed")
               .arg(QStringLiteral("send CODE"), -22)
               .arg(QStringLiteral("CODE"), -21)
               .arg(kCommandLineTimes.replyTimeoutMs, 5)
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
    if (inv->version) {
        out << "qm25ctl " << QM25_VERSION << Qt::endl;
        return 0;
    }
    if (inv->list) {
        printList(out, inv->json);
        return 0;
    }

    PortLine line;
    RememberedDevices remembered;
    const PortDevices devices(&remembered);
    if (!inv->device.isEmpty())
        line.setDevice(resolveDeviceName(inv->device), inv->device);  // a stable name, as the panel takes it
    else
        line.setDevice(devices.deviceFor(inv->com), devices.label(inv->com));
    line.setSettings(QStringLiteral("%1,N,8,1").arg(inv->baud));
    line.setLossAdvice(QStringLiteral("run the commands again."));
    if (!line.open() || !line.finishOpening()) {
        Result r;
        r.name = inv->requests.first().name();
        r.frame = inv->requests.first().frame();
        r.outcome = Outcome::PortError;
        r.error = line.errorText();
        report(r, inv->json, out, err);
        return exitStatus(r.outcome);
    }

    Runner runner(&line, inv->timeoutMs, inv->waitMs);
    for (const Request &request : inv->requests) {
        const Result r = runner.run(request);
        report(r, inv->json, out, err);
        if (r.outcome != Outcome::Ok)
            return exitStatus(r.outcome);
    }
    return 0;
}

}  // namespace qm25::ctl
