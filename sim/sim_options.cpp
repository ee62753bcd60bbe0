#include "sim_options.h"

namespace qm25::sim {

const char kSimUsage[] = R"(Usage: qm25-sim [options]

Answers like a QM25 projector on a serial line. Without --device or --tcp it
creates a pseudo-terminal and prints its slave path as "QM25_COM1=/dev/pts/N"
on stdout; it serves until SIGINT or SIGTERM.

Line:
  --device PATH         serve on this serial device instead of a pseudo-terminal
  --baud 19200|9600     line speed of --device (default 19200), always 8N1
  --link PATH           keep a symbolic link at PATH pointing to the line served
  --tcp [HOST:]PORT     serve as a serial device server does: a raw TCP
                        connection on HOST (default 127.0.0.1; an IPv6 address
                        in brackets) and PORT (0: any free one), printed as
                        "QM25_COM1=tcp://HOST:PORT". One client at a time: a
                        second is closed at once while the first keeps the
                        line; once the first leaves, the next may connect

Faults:
  --no-reply            read and act on frames but never answer
  --delay MS            wait MS before each reply (at most 86400000, a day)
  --split N             send each reply in N pieces (at most 256) ...
  --split-gap MS        ... with MS between them (default 0, at most 60000)
  --garbage PERCENT     slip one random byte into that share of the replies
  --seed N              seed for --garbage (default: random, shown in the trace)
  --hangup-after N      drop the line after the reply to the N-th frame, then exit 0

Projector:
  --warmup-ms MS        count-down after power on (default 3000)
  --cooldown-ms MS      cooling after power off (default 5000)
  --lamp-hours N        lamp hours at start (default 0)
  --lamp-hour-ms MS     lit time that counts as one lamp hour (default 3600000)
  --pressure-count N    air pressure sensor count 0..1023 (default 853, about 1013 hPa)
  --input N             input selected at start, 1..4 (default 1)
  --signal LIST         inputs carrying a picture, e.g. 1,2 or none (default 1,2,3)
  --lamp-mode MODE      dual, 1 or 2 (default dual)
  --orientation CODE    image orientation 11, 10, 01 or 00 (default 11)
  --lamp-fails          the lamp does not strike: count-down ends in power fail
  --overheat            the lamp area runs past the temperature warning limit

Trace:
  --trace               trace frames, replies and power changes on stderr
  --trace-file FILE     the same trace into FILE

  -h, --help            this text
  --version             the version

Exit status: 0 after a signal or a hang-up, 1 when the line cannot be opened,
2 for bad options.
)";

namespace {

struct Flag {
    const char *name;
    bool takesValue;
};

constexpr Flag kFlags[] = {
    {"device", true},        {"baud", true},        {"link", true},         {"no-reply", false},
    {"delay", true},         {"split", true},       {"split-gap", true},    {"garbage", true},
    {"seed", true},          {"hangup-after", true}, {"warmup-ms", true},   {"cooldown-ms", true},
    {"lamp-hours", true},    {"lamp-hour-ms", true}, {"pressure-count", true}, {"input", true},
    {"signal", true},        {"lamp-mode", true},   {"orientation", true},  {"lamp-fails", false},
    {"overheat", false},     {"trace", false},      {"trace-file", true},   {"help", false},
    {"tcp", true},           {"version", false},
};

bool toNumber(const QString &name, const QString &text, qint64 low, qint64 high, qint64 *out,
              QString *error)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < low || value > high) {
        *error = QStringLiteral("--%1 wants a whole number from %2 to %3, not \"%4\"")
                     .arg(name)
                     .arg(low)
                     .arg(high)
                     .arg(text);
        return false;
    }
    *out = value;
    return true;
}

// Applies one option with its value to the options; false with *error set if
// the value does not fit.
bool apply(const QString &name, const QString &value, ServerOptions &o, QString *error)
{
    qint64 n = 0;
    const auto number = [&](qint64 low, qint64 high) {
        return toNumber(name, value, low, high, &n, error);
    };
    const auto asInt = [&n] { return static_cast<int>(n); };
    constexpr qint64 kDay = 86'400'000;
    constexpr qint64 kMaxSplitGapMs = 60'000;

    if (name == QLatin1String("device")) {
        o.device = value;
    } else if (name == QLatin1String("baud")) {
        if (value != QLatin1String("19200") && value != QLatin1String("9600")) {
            *error = QStringLiteral("--baud is 19200 or 9600, not \"%1\"").arg(value);
            return false;
        }
        o.baud = value.toInt();
    } else if (name == QLatin1String("link")) {
        o.link = value;
    } else if (name == QLatin1String("tcp")) {
        QString host = QStringLiteral("127.0.0.1"), port = value;
        if (value.startsWith(QLatin1Char('['))) {
            const qsizetype close = value.indexOf(QLatin1String("]:"));
            host = value.mid(1, close - 1);
            port = close < 0 ? QString() : value.mid(close + 2);
        } else if (const qsizetype colon = value.lastIndexOf(QLatin1Char(':')); colon >= 0) {
            host = value.left(colon);
            port = value.mid(colon + 1);
        }
        if (host.isEmpty()) {
            *error = QStringLiteral("--tcp is [HOST:]PORT, not \"%1\"").arg(value);
            return false;
        }
        if (!toNumber(name, port, 0, 65535, &n, error)) return false;
        o.tcpHost = host;
        o.tcpPort = asInt();
    } else if (name == QLatin1String("no-reply")) {
        o.noReply = true;
    } else if (name == QLatin1String("delay")) {
        if (!number(0, kDay)) return false;
        o.delayMs = asInt();
    } else if (name == QLatin1String("split")) {
        if (!number(1, 256)) return false;
        o.splitPieces = asInt();
    } else if (name == QLatin1String("split-gap")) {
        // With --delay and --split at their most, a reply's last piece is
        // due within what a timer's milliseconds can hold.
        if (!number(0, kMaxSplitGapMs)) return false;
        o.splitGapMs = asInt();
    } else if (name == QLatin1String("garbage")) {
        if (!number(0, 100)) return false;
        o.garbagePercent = asInt();
    } else if (name == QLatin1String("seed")) {
        if (!number(0, 0xFFFFFFFFLL)) return false;
        o.seed = static_cast<quint32>(n);
    } else if (name == QLatin1String("hangup-after")) {
        if (!number(1, 1'000'000'000)) return false;
        o.hangupAfter = asInt();
    } else if (name == QLatin1String("warmup-ms")) {
        if (!number(0, kDay)) return false;
        o.model.countDownMs = n;
    } else if (name == QLatin1String("cooldown-ms")) {
        if (!number(0, kDay)) return false;
        o.model.coolingMs = n;
    } else if (name == QLatin1String("lamp-hours")) {
        if (!number(0, 99999)) return false;
        o.model.lampHours = asInt();
    } else if (name == QLatin1String("lamp-hour-ms")) {
        if (!number(1, 3'600'000'000LL)) return false;
        o.model.lampHourMs = n;
    } else if (name == QLatin1String("pressure-count")) {
        if (!number(0, 1023)) return false;
        o.model.pressureCount = asInt();
    } else if (name == QLatin1String("input")) {
        if (!number(1, 4)) return false;
        o.model.input = asInt();
    } else if (name == QLatin1String("signal")) {
        quint8 mask = 0;
        if (value != QLatin1String("none")) {
            for (const QString &part : value.split(QLatin1Char(','))) {
                if (!toNumber(name, part, 1, 4, &n, error))
                    return false;
                mask = static_cast<quint8>(mask | (1u << (n - 1)));
            }
        }
        o.model.signalInputs = mask;
    } else if (name == QLatin1String("lamp-mode")) {
        if (value == QLatin1String("dual"))
            o.model.lampMode = LampMode::Dual;
        else if (value == QLatin1String("1"))
            o.model.lampMode = LampMode::SingleNo1;
        else if (value == QLatin1String("2"))
            o.model.lampMode = LampMode::SingleNo2;
        else {
            *error = QStringLiteral("--lamp-mode is dual, 1 or 2, not \"%1\"").arg(value);
            return false;
        }
    } else if (name == QLatin1String("orientation")) {
        static const QStringList codes{QStringLiteral("11"), QStringLiteral("10"),
                                       QStringLiteral("01"), QStringLiteral("00")};
        const auto index = codes.indexOf(value);
        if (index < 0) {
            *error = QStringLiteral("--orientation is 11, 10, 01 or 00, not \"%1\"").arg(value);
            return false;
        }
        o.model.orientation = static_cast<Orientation>(index);
    } else if (name == QLatin1String("lamp-fails")) {
        o.model.lampFails = true;
    } else if (name == QLatin1String("overheat")) {
        o.model.overheat = true;
    } else if (name == QLatin1String("trace")) {
        o.traceToStderr = true;
    } else if (name == QLatin1String("trace-file")) {
        o.traceFile = value;
    }
    return true;
}

}  // namespace

Parsed parseServerOptions(const QStringList &args, ServerOptions &options, QString *error)
{
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (arg == QLatin1String("-h"))
            return Parsed::Help;
        if (!arg.startsWith(QLatin1String("--")) || arg.size() == 2) {
            *error = QStringLiteral("unexpected argument \"%1\"").arg(arg);
            return Parsed::Bad;
        }
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        const QString name = arg.mid(2, eq < 0 ? -1 : eq - 2);
        const Flag *flag = nullptr;
        for (const Flag &f : kFlags)
            if (name == QLatin1String(f.name))
                flag = &f;
        if (!flag) {
            *error = QStringLiteral("unknown option \"--%1\"").arg(name);
            return Parsed::Bad;
        }
        if (name == QLatin1String("help"))
            return Parsed::Help;
        if (name == QLatin1String("version"))
            return Parsed::Version;
        QString value;
        if (flag->takesValue) {
            if (eq >= 0)
                value = arg.mid(eq + 1);
            else if (i + 1 < args.size())
                value = args[++i];
            else {
                *error = QStringLiteral("--%1 needs a value").arg(name);
                return Parsed::Bad;
            }
        } else if (eq >= 0) {
            *error = QStringLiteral("--%1 takes no value").arg(name);
            return Parsed::Bad;
        }
        if (!apply(name, value, options, error))
            return Parsed::Bad;
    }
    if (options.tcpPort >= 0 && (!options.device.isEmpty() || !options.link.isEmpty())) {
        *error = QStringLiteral("--tcp serves no --device and keeps no --link");
        return Parsed::Bad;
    }
    if (!options.device.isEmpty() && options.device == options.link) {
        *error = QStringLiteral("--link must not name the device itself");
        return Parsed::Bad;
    }
    return Parsed::Run;
}

}  // namespace qm25::sim
