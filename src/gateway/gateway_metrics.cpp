#include "gateway/gateway_metrics.h"

#include <QDateTime>
#include <QFile>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <dirent.h>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

#include "core/catalogue.h"
#include "core/exchange_client.h"
#include "core/status.h"
#include "gateway/exchange_queue.h"
#include "gateway/state_watcher.h"

namespace qm25::gateway {
namespace {

// A number as the format writes it: the shortest text that reads back the
// same, "+Inf", "-Inf", "NaN".
QByteArray number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return QByteArray(text, end - text);
}

// Label values escape backslash, double quote and line feed; help texts
// backslash and line feed.
QByteArray escaped(const QString &text, bool quote)
{
    QByteArray out;
    for (const char c : text.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '"' && quote)
            out += "\\\"";
        else
            out += c;
    }
    return out;
}

const char *typeName(MetricFamily::Type type)
{
    switch (type) {
    case MetricFamily::Type::Counter: return "counter";
    case MetricFamily::Type::Gauge: return "gauge";
    case MetricFamily::Type::Histogram: return "histogram";
    }
    return "untyped";
}

QString readingName(Reading reading)
{
    const CommandRow *row = statusReadOf(reading);
    return row ? latin1(row->name) : QString();
}

// The refusals each front door can meet, counted from 0 at the start so
// that a first refusal is an increase too.
using R = RefusalReason;
const std::map<FrontDoor, std::vector<RefusalReason>> kRefusalsAt{
    {FrontDoor::Pjlink, {R::Malformed, R::TooLarge, R::TooManyConnections, R::Throttled, R::Forbidden}},
    {FrontDoor::Raw, {R::TooLarge, R::TooManyConnections, R::LineDown}},
    {FrontDoor::Web, {R::Malformed, R::TooLarge, R::TooSlow, R::TooManyConnections, R::NoPassword, R::Throttled,
                      R::Forbidden, R::Busy}},
    {FrontDoor::Metrics, {R::Malformed, R::TooLarge, R::TooSlow, R::TooManyConnections, R::NoPassword, R::Throttled,
                          R::Forbidden}},
    {FrontDoor::Mqtt, {R::Malformed, R::Busy}},
};
// The doors that ask their clients for a password.
constexpr FrontDoor kPasswordDoors[] = {FrontDoor::Pjlink, FrontDoor::Web, FrontDoor::Metrics};

// When this process started, in seconds since the epoch: the boot time and
// the process's start in clock ticks after it.
double processStartTime()
{
    QFile own(QStringLiteral("/proc/self/stat")), system(QStringLiteral("/proc/stat"));
    const long ticks = sysconf(_SC_CLK_TCK);
    if (ticks > 0 && own.open(QIODevice::ReadOnly) && system.open(QIODevice::ReadOnly)) {
        // After the program's name in parentheses: the state (the 3rd
        // field) first, the start time the 22nd.
        const QByteArray stat = own.readAll(), all = system.readAll();
        const QByteArrayList fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        const qsizetype boot = all.indexOf("\nbtime ");
        if (fields.size() > 19 && boot >= 0)
            return all.mid(boot + 7).split('\n').value(0).toDouble() + fields[19].toDouble() / double(ticks);
    }
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

}  // namespace

QByteArray frontDoorName(FrontDoor door)
{
    static const char *const names[] = {"pjlink", "raw", "web", "live", "metrics", "mqtt", "panel"};
    return names[int(door)];
}

QByteArray refusalReasonName(RefusalReason reason)
{
    static const char *const names[] = {"malformed", "too_large", "too_slow", "too_many_connections", "line_down",
                                        "no_password", "throttled", "forbidden", "busy"};
    return names[int(reason)];
}

Histogram::Histogram(std::vector<double> bounds) : bounds_(std::move(bounds)), counts_(bounds_.size() + 1, 0) {}

void Histogram::observe(double value)
{
    const auto at = std::lower_bound(bounds_.begin(), bounds_.end(), value);
    ++counts_[std::size_t(at - bounds_.begin())];
    sum_ += value;
}

void Histogram::addTo(MetricFamily &family) const
{
    quint64 below = 0;
    for (std::size_t i = 0; i <= bounds_.size(); ++i) {
        below += counts_[i];
        const QString le = i < bounds_.size() ? QString::fromLatin1(number(bounds_[i])) : QStringLiteral("+Inf");
        family.samples.push_back({"_bucket", {{"le", le}}, double(below)});
    }
    family.samples.push_back({"_sum", {}, sum_});
    family.samples.push_back({"_count", {}, double(below)});
}

QByteArray exposition(const std::vector<MetricFamily> &families)
{
    QByteArray out;
    out.reserve(8192);
    for (const MetricFamily &f : families) {
        out += "# HELP " + f.name + ' ' + escaped(f.help, false) + "\n# TYPE " + f.name + ' ' + typeName(f.type) + '\n';
        for (const MetricSample &s : f.samples) {
            out += f.name + s.suffix;
            if (!s.labels.isEmpty()) {
                out += '{';
                for (qsizetype i = 0; i < s.labels.size(); ++i)
                    out += (i ? ",": "") + s.labels[i].first + "=\"" + escaped(s.labels[i].second, true) + '"';
                out += '}';
            }
            out += ' ' + number(s.value) + '\n';
        }
    }
    return out;
}

GatewayMetrics::GatewayMetrics(ExchangeQueue *queue, StateWatcher *watcher, int holdMs, QObject *parent)
    : QObject(parent),
      queue_(queue),
      watcher_(watcher),
      durations_({kDurationBounds.begin(), kDurationBounds.end()}),
      startTime_(processStartTime())
{
    hold_.setSingleShot(true);
    hold_.setInterval(holdMs);
    connect(&hold_, &QTimer::timeout, watcher_, &StateWatcher::unwatch);
    connect(queue_, &ExchangeQueue::exchanged, this,
            [this](const QString &, const ExchangeResult &result, int) { exchanged(result); });
    for (const auto &[door, reasons] : kRefusalsAt)
        for (const RefusalReason reason : reasons)
            refusals_[{door, reason}] = 0;
}

GatewayMetrics::~GatewayMetrics()
{
    if (hold_.isActive())
        watcher_->unwatch();
}

void GatewayMetrics::exchanged(const ExchangeResult &result)
{
    ++exchanges_[std::size_t(result.outcome)];
    durations_.observe(double(result.elapsedNs) / 1e9);
}

void GatewayMetrics::refused(FrontDoor door, RefusalReason reason) { ++refusals_[{door, reason}]; }

void GatewayMetrics::authFailed(FrontDoor door) { ++authFailures_[std::size_t(door)]; }

void GatewayMetrics::countClients(FrontDoor door, std::function<int()> count) { clients_[std::size_t(door)] = std::move(count); }

QByteArray GatewayMetrics::scrape()
{
    if (!hold_.isActive())
        watcher_->watch();
    hold_.start();
    return exposition(families());
}

std::vector<MetricFamily> GatewayMetrics::families() const
{
    using T = MetricFamily::Type;
    std::vector<MetricFamily> out;
    const auto family = [&out](const char *name, T type, const char *help) -> MetricFamily & {
        out.push_back({name, QString::fromUtf8(help), type, {}});
        return out.back();
    };
    // A family of one sample, none when the value is not known.
    const auto single = [&](const char *name, T type, const char *help, std::optional<double> value) {
        MetricFamily &f = family(name, type, help);
        if (value)
            f.samples.push_back({{}, {}, *value});
    };
    const auto flag = [](bool b) { return b ? 1.0 : 0.0; };

    // The projector, as the watcher last read it.
    single("qm25_line_up", T::Gauge, "Whether the line to the projector is open (1) or down (0).", flag(watcher_->lineUp()));
    const auto *power = statusAs<PowerStatus>(watcher_->value(Reading::Power));
    MetricFamily &state = family("qm25_power_state", T::Gauge,
                                 "The projector's power, 1 for the state it is in; none before a power reading.");
    for (const PowerPhase phase : {PowerPhase::On, PowerPhase::Standby, PowerPhase::CountDown, PowerPhase::Cooling, PowerPhase::Fail})
        if (power)
            state.samples.push_back({{}, {{"state", phaseName(phase)}}, flag(power->phase == phase)});
    const auto *input = statusAs<InputStatus>(watcher_->value(Reading::Input));
    MetricFamily &inputs = family("qm25_input", T::Gauge, "The input selected, 1 for the one in use.");
    for (int i = 1; input && i <= 4; ++i)
        inputs.samples.push_back({{}, {{"input", inputKey(i)}}, flag(input->input == i)});
    const auto *lamp = statusAs<LampHoursStatus>(watcher_->value(Reading::LampHours));
    single("qm25_lamp_time_seconds", T::Gauge, "How long the lamp has been lit, as the projector counts it (whole hours).",
           lamp ? std::optional(lamp->hours * 3600.0) : std::nullopt);
    const auto *temperatures = statusAs<TemperatureStatus>(watcher_->value(Reading::Temperatures));
    MetricFamily &celsius = family("qm25_temperature_celsius", T::Gauge, "The projector's three temperature sensors.");
    for (int i = 0; temperatures && i < 3; ++i)
        celsius.samples.push_back({{}, {{"sensor", QString::number(i + 1)}}, temperatures->celsius[std::size_t(i)]});
    single("qm25_temperature_warning", T::Gauge, "Whether the projector reports a temperature warning.",
           power ? std::optional(flag(power->warnings & kTemperatureWarning)) : std::nullopt);
    single("qm25_lamp_failed", T::Gauge, "Whether the projector reports that all its lamps failed.",
           power ? std::optional(flag(power->warnings & kAllLampsFailed)) : std::nullopt);
    const auto *signal = statusAs<MuteSignalStatus>(watcher_->value(Reading::MuteSignal));
    single("qm25_signal_present", T::Gauge, "Whether the selected input carries a picture; none while the projector is not on.",
           signal && signal->state != MuteSignal::Standby ? std::optional(flag(signal->state != MuteSignal::NoSignal))
                                                          : std::nullopt);
    MetricFamily &age = family("qm25_status_age_seconds", T::Gauge,
                               "How old each reading is that the values come from; +Inf before the first.");
    for (const Reading reading : StateWatcher::kReadings) {
        const qint64 ms = watcher_->ageMs(reading);
        age.samples.push_back({{}, {{"reading", readingName(reading)}}, ms < 0 ? INFINITY : double(ms) / 1000.0});
    }

    // The gateway.
    MetricFamily &exchanges = family("qm25_exchanges_total", T::Counter,
                                     "Exchanges on the line by how they ended: ack, nak, err (a code the projector does not "
                                     "know), data, no_reply, lost (the line down).");
    static const char *const outcomes[] = {"ack", "nak", "err", "data", "no_reply", "lost"};
    for (std::size_t i = 0; i < exchanges_.size(); ++i)
        exchanges.samples.push_back({{}, {{"outcome", QLatin1String(outcomes[i])}}, double(exchanges_[i])});
    durations_.addTo(family("qm25_exchange_duration_seconds", T::Histogram,
                            "How long exchanges on the line took, from the frame sent to the reply or the time-out."));
    single("qm25_line_losses_total", T::Counter, "How often the line, once open, was lost.", double(lineLosses_));
    MetricFamily &clients = family("qm25_clients", T::Gauge, "Clients connected, by front door.");
    for (int d = 0; d < kFrontDoors; ++d)
        clients.samples.push_back({{}, {{"front_door", frontDoorName(FrontDoor(d))}}, clients_[d] ? double(clients_[d]()) : 0.0});
    MetricFamily &refusals = family("qm25_requests_refused_total", T::Counter,
                                    "Requests and connections refused, by front door and reason.");
    for (const auto &[key, count] : refusals_)
        refusals.samples.push_back({{}, {{"front_door", frontDoorName(key.first)}, {"reason", refusalReasonName(key.second)}},
                                    double(count)});
    MetricFamily &auth = family("qm25_auth_failures_total", T::Counter, "Wrong passwords, by front door.");
    for (const FrontDoor door : kPasswordDoors)
        auth.samples.push_back({{}, {{"front_door", frontDoorName(door)}}, double(authFailures_[std::size_t(door)])});
    single("qm25_queue_depth", T::Gauge, "Jobs waiting for the line or on it, of every client.", double(queue_->depth()));
    family("qm25_build_info", T::Gauge, "qm25d's version, as a label.").samples.push_back({{}, {{"version", QM25_VERSION}}, 1});

    // The process.
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    single("process_cpu_seconds_total", T::Counter, "User and system CPU time spent in seconds.",
           seconds(usage.ru_utime) + seconds(usage.ru_stime));
    QFile statm(QStringLiteral("/proc/self/statm"));
    const QByteArrayList pages = statm.open(QIODevice::ReadOnly) ? statm.read(256).split(' ') : QByteArrayList();
    const double pageSize = double(sysconf(_SC_PAGESIZE));
    single("process_virtual_memory_bytes", T::Gauge, "Virtual memory size in bytes.",
           pages.size() > 1 ? std::optional(pages[0].toDouble() * pageSize) : std::nullopt);
    single("process_resident_memory_bytes", T::Gauge, "Resident memory size in bytes.",
           pages.size() > 1 ? std::optional(pages[1].toDouble() * pageSize) : std::nullopt);
    std::optional<double> fds;
    if (DIR *dir = opendir("/proc/self/fd")) {
        int n = 0;
        while (const dirent *e = readdir(dir))
            n += e->d_name[0] != '.' && std::atoi(e->d_name) != dirfd(dir);  // not the listing's own
        closedir(dir);
        fds = n;
    }
    single("process_open_fds", T::Gauge, "Number of open file descriptors.", fds);
    rlimit files{};
    single("process_max_fds", T::Gauge, "Maximum number of open file descriptors.",
           getrlimit(RLIMIT_NOFILE, &files) == 0 ? std::optional(double(files.rlim_cur)) : std::nullopt);
    single("process_start_time_seconds", T::Gauge, "Start time of the process since unix epoch in seconds.", startTime_);
    return out;
}

}  // namespace qm25::gateway
