#include "ctl/arguments.h"

#include <algorithm>
#include <cmath>

namespace qm25::ctl {

const char kUsage[] = R"(Usage: qm25ctl [options] COMMAND [COMMAND ...]

Drives a QM25 projector over its serial line. The commands run in order on
one open port and stop at the first that fails.

Commands:
  NAME             a command of the panel by name: power on, input pc2,
                   image cinema, volume up, power, lamp time, ...
  status           the status buttons' reads: power, input, lamp time,
                   settings, temperatures
  send CODE        sends CODE as typed, like the panel's command line;
                   quote a code with blanks: send "CR PRESSURE"
  list             every name with its code, kind and reply time-out

Options:
  --port DEVICE    the projector's device (default: COM1's)
  --com 1|2        the device of COM1 or COM2, found as the panel finds it
  --baud 19200|9600  line speed (default 19200), always 8N1
  --timeout MS     reply time-out of every command (default: the panel's
                   for that command, as qm25ctl list shows it)
  --wait SECONDS   power on / power off wait until the projector is on /
                   in stand-by, at most this long (default 120; 0: return
                   at the acknowledgement)
  --json           one JSON object per command on standard output
  -h, --help       this text
  --version        the version

Exit status:
  0  every command succeeded
  1  a command was not accepted (NAK, ERR or another reply)
  2  bad options or an unknown command
  3  no reply within the reply time-out
  4  the port cannot be opened, or was lost
  5  power on/off accepted, but the projector was not on / in stand-by
     within --wait (or reads power fail)
  6  a status read's reply does not read as its kind (the port is no
     projector's: a PJLink port, say)
)";

namespace {

bool readNumber(const QString &option, const QString &text, double low, double high, double *out, QString *error)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !std::isfinite(value) || value < low || value > high) {
        *error = QStringLiteral("%1 wants a number from %2 to %3, not \"%4\"").arg(option).arg(low, 0, 'g', 10).arg(high, 0, 'g', 10).arg(text);
        return false;
    }
    *out = value;
    return true;
}

struct Token {
    QString text;
    bool code = false;  // the code of a "send"
};

}  // namespace

QString Request::name() const { return isTyped() ? QStringLiteral("send") : QString(latin1(row->name)); }

QByteArray Request::frame() const
{
    return isTyped() ? typedCode.toLatin1() + kCr : row->frame();
}

int Request::timeoutMs() const
{
    // A typed code gets the command line's time-out, as on the panel.
    return isTyped() ? kCommandLineTimes.replyTimeoutMs : row->times.replyTimeoutMs;
}

QList<Request> statusGroup()
{
    QList<Request> reads;
    for (const CommandRow &row : commands())
        if (row.isStatusRead() && !row.typed)
            reads.append({&row, false, {}});
    return reads;
}

std::optional<Invocation> parseArguments(const QStringList &args, QString *error)
{
    Invocation inv;
    QList<Token> tokens;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (arg.startsWith(QLatin1String("--")) || arg == QLatin1String("-h")) {
            const qsizetype eq = arg.indexOf(QLatin1Char('='));
            const QString option = arg.left(eq);
            const auto value = [&]() -> std::optional<QString> {
                if (eq >= 0)
                    return arg.mid(eq + 1);
                if (i + 1 < args.size())
                    return args[++i];
                *error = QStringLiteral("%1 needs a value").arg(option);
                return std::nullopt;
            };
            double number = 0;
            if (option == QLatin1String("--json")) {
                inv.json = true;
            } else if (option == QLatin1String("--help") || option == QLatin1String("-h")) {
                inv.help = true;
            } else if (option == QLatin1String("--version")) {
                inv.version = true;
            } else if (option == QLatin1String("--port")) {
                const auto v = value();
                if (!v)
                    return std::nullopt;
                inv.device = *v;
            } else if (option == QLatin1String("--com") || option == QLatin1String("--baud")
                       || option == QLatin1String("--timeout") || option == QLatin1String("--wait")) {
                const auto v = value();
                if (!v)
                    return std::nullopt;
                if (option == QLatin1String("--com")) {
                    if (*v != QLatin1String("1") && *v != QLatin1String("2")) {
                        *error = QStringLiteral("--com wants 1 or 2, not \"%1\"").arg(*v);
                        return std::nullopt;
                    }
                    inv.com = v->toInt();
                } else if (option == QLatin1String("--baud")) {
                    if (*v != QLatin1String("19200") && *v != QLatin1String("9600")) {
                        *error = QStringLiteral("--baud wants 19200 or 9600, not \"%1\"").arg(*v);
                        return std::nullopt;
                    }
                    inv.baud = v->toInt();
                } else if (option == QLatin1String("--timeout")) {
                    if (!readNumber(option, *v, 1, 3600000, &number, error))
                        return std::nullopt;
                    inv.timeoutMs = int(number);
                } else {
                    if (!readNumber(option, *v, 0, 3600, &number, error))
                        return std::nullopt;
                    inv.waitMs = int(std::lround(number * 1000));
                }
            } else {
                *error = QStringLiteral("unknown option \"%1\"").arg(option);  // never a value given with "="
                return std::nullopt;
            }
            continue;
        }
        // Words of a name may come as separate arguments or as one.
        const QStringList words = arg.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (qsizetype w = 0; w < words.size(); ++w) {
            if (words[w].toLower() != QLatin1String("send")) {
                tokens.append({words[w].toLower()});
                continue;
            }
            if (w + 1 < words.size()) {
                tokens.append({words.mid(w + 1).join(QLatin1Char(' ')), true});
            } else if (i + 1 < args.size()) {
                tokens.append({args[++i], true});
            } else {
                *error = QStringLiteral("send needs a code");
                return std::nullopt;
            }
            break;
        }
    }

    // Longest name first: "power on" before "power".
    for (qsizetype t = 0; t < tokens.size();) {
        if (tokens[t].code) {
            const QString &code = tokens[t++].text;
            if (const qsizetype control = controlCharacterAt(code); control >= 0) {
                *error = QStringLiteral("send: character %1 of the code is a control character (code %2); a frame "
                                        "is the code and the CR qm25ctl adds, one frame per send")
                             .arg(control + 1)
                             .arg(code[control].unicode());
                return std::nullopt;
            }
            if (std::any_of(code.begin(), code.end(), [](QChar c) { return c.unicode() > 255; })) {
                *error = QStringLiteral("send: the code \"%1\" holds a character that is no single byte").arg(code);
                return std::nullopt;
            }
            inv.requests.append({commandWithCode(code), true, code});
            continue;
        }
        if (tokens[t].text == QLatin1String("list")) {
            inv.list = true;
            ++t;
            continue;
        }
        if (tokens[t].text == QLatin1String("status")) {
            inv.requests.append(statusGroup());
            ++t;
            continue;
        }
        qsizetype taken = 0;
        for (qsizetype n = 3; n >= 1 && !taken; --n) {
            QStringList name;
            for (qsizetype k = t; k < t + n && k < tokens.size() && !tokens[k].code; ++k)
                name.append(tokens[k].text);
            if (name.size() != n)
                continue;
            if (const CommandRow *row = commandNamed(name.join(QLatin1Char(' ')))) {
                inv.requests.append({row, false, {}});
                taken = n;
            }
        }
        if (!taken) {
            *error = QStringLiteral("unknown command \"%1\" (qm25ctl list shows them all)").arg(tokens[t].text);
            return std::nullopt;
        }
        t += taken;
    }
    if (inv.help || inv.version)
        return inv;
    if (inv.list && !inv.requests.isEmpty()) {
        *error = QStringLiteral("list goes alone, without other commands");
        return std::nullopt;
    }
    if (!inv.list && inv.requests.isEmpty()) {
        *error = QStringLiteral("no command given");
        return std::nullopt;
    }
    return inv;
}

}  // namespace qm25::ctl
