#include "gateway/options.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "gateway/peer.h"
#include "gateway/pjlink.h"

namespace qm25::gateway {

const char kUsage[] =
    "Usage: qm25d [options]\n"
    "Holds the line to a QM25 projector and serves it to PJLink clients (room\n"
    "control systems), on the raw exchange port to qm25-control and qm25ctl, on\n"
    "the web (--http) and on an MQTT broker (--mqtt).\n"
    "\n"
    "The line:\n"
    "  --port DEVICE          the projector's device: a serial port, a stable name\n"
    "                         or a serial device server tcp://HOST:PORT\n"
    "  --com 1|2              the device of COM1 or COM2, found as the panel finds it\n"
    "                         (QM25_COM1, the remembered device, /dev/ttyS0); default 1\n"
    "  --baud 19200|9600      line speed (default 19200), always 8N1\n"
    "  --retry-ms MS          while the line is down, try again this often (default 3000)\n"
    "\n"
    "Clients:\n"
    "  --pjlink [HOST:]PORT   PJLink Class 2 server on TCP, search and notifications on\n"
    "                         UDP of the same number (default 4352; 0: any free one)\n"
    "  --no-search            do not answer PJLink searches (notifications still go)\n"
    "  --raw [HOST:]PORT      raw exchange port, as a serial device server (default: off)\n"
    "  --http [HOST:]PORT     the web panel and HTTP API, /metrics among it (default: off)\n"
    "  --metrics [HOST:]PORT  a listener that serves Prometheus's /metrics alone\n"
    "                         (default: off)\n"
    "  --trusted-proxy ADDRESS\n"
    "                         a reverse proxy in front of the web panel (for TLS): its\n"
    "                         X-Forwarded-Proto and X-Forwarded-For are believed, no\n"
    "                         one else's; may be given more than once\n"
    "  --password-file FILE   the password of PJLink, the web panel and /metrics, the\n"
    "                         file's first line (1-32 characters)\n"
    "  --no-password          allow listening beyond loopback without a password (the\n"
    "                         PJLink port when no password is set, and the raw port,\n"
    "                         which never asks for one)\n"
    "  --name TEXT            what NAME ? answers (default QM25)\n"
    "  --idle-seconds N       close a PJLink connection idle this long (default 30)\n"
    "  --poll-seconds N       read the projector's status this often while the web\n"
    "                         page or another front door watches it (default 30)\n"
    "\n"
    "MQTT (off unless --mqtt is given):\n"
    "  --mqtt URL             the broker: mqtt://HOST[:PORT] (1883), or\n"
    "                         mqtts://HOST[:PORT] (8883) for TLS\n"
    "  --mqtt-user NAME       the user name to log in to the broker with\n"
    "  --mqtt-password-file FILE  its password, the file's first line\n"
    "  --mqtt-ca FILE         the CA that signed the broker's certificate (default:\n"
    "                         the system's certificate authorities)\n"
    "  --mqtt-base TOPIC      the topics' base (default qm25): BASE/ID/..., the ID\n"
    "                         made from --name\n"
    "  --mqtt-group NAME      a group whose commands this gateway takes too (may be\n"
    "                         repeated; every gateway is in the group \"all\")\n"
    "  --discovery-prefix TOPIC  Home Assistant's discovery prefix (default\n"
    "                         homeassistant)\n"
    "  --no-discovery         publish no Home Assistant discovery configurations\n"
    "  --mqtt-forget          remove this gateway's discovery configurations and\n"
    "                         retained topics from the broker, then exit\n"
    "\n"
    "  --verbose              log every exchange, connection and PJLink request\n"
    "  --timestamps           the time in front of each log line (the journal adds its own)\n"
    "  -h, --help             this text\n"
    "  --version              the version\n"
    "\n"
    "Without a password, and without --no-password, every port listens on loopback\n"
    "only (127.0.0.1); with a password the PJLink, HTTP and metrics ports listen on\n"
    "every address.\n"
    "Logs go to standard error.\n"
    "\n"
    "Exit status: 0 stopped by SIGTERM or SIGINT; 1 a port cannot be listened on;\n"
    "2 a configuration error (an option, the password file).\n";

namespace {

constexpr OptionName kOptions[] = {
    {"--port", true},         {"--com", true},          {"--baud", true},          {"--retry-ms", true},
    {"--pjlink", true},       {"--no-search", false},   {"--raw", true},           {"--http", true},
    {"--metrics", true},      {"--password-file", true}, {"--no-password", false}, {"--name", true},
    {"--idle-seconds", true}, {"--poll-seconds", true}, {"--trusted-proxy", true}, {"--verbose", false},
    {"--timestamps", false},  {"-h", false},            {"--help", false},        {"--version", false},
    {"--mqtt", true},         {"--mqtt-user", true},    {"--mqtt-password-file", true}, {"--mqtt-ca", true},
    {"--mqtt-base", true},    {"--mqtt-group", true},   {"--discovery-prefix", true},   {"--no-discovery", false},
    {"--mqtt-forget", false},
};

}  // namespace

std::span<const OptionName> optionNames() { return kOptions; }

QString Endpoint::text() const { return peerText(host, port); }

namespace {

std::optional<Endpoint> parseEndpoint(const QString &text, QString *error)
{
    Endpoint e;
    QString host, port = text;
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        e.hostGiven = true;
        if (host == QLatin1String("localhost"))
            e.host = QHostAddress(QHostAddress::LocalHost);
        else if (!e.host.setAddress(host)) {
            *error = QStringLiteral("\"%1\" is no address (an IPv4 address, [IPv6] or localhost)").arg(host);
            return std::nullopt;
        }
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number > 65535) {
        *error = QStringLiteral("\"%1\" is no port number").arg(port);
        return std::nullopt;
    }
    e.port = quint16(number);
    return e;
}

bool loopback(const Endpoint &e) { return e.host.isLoopback(); }

}  // namespace

std::optional<Options> parseOptions(const QStringList &args, QString *error)
{
    Options o;
    o.pjlink.port = 4352;
    for (qsizetype i = 1; i < args.size(); ++i) {
        QString option = args[i];
        std::optional<QString> inlineValue;
        if (const qsizetype eq = option.indexOf(QLatin1Char('=')); option.startsWith(QLatin1String("--")) && eq > 0) {
            inlineValue = option.mid(eq + 1);
            option.truncate(eq);
        }
        const auto value = [&]() -> std::optional<QString> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 >= args.size()) {
                *error = QStringLiteral("%1 needs a value").arg(option);
                return std::nullopt;
            }
            return args[++i];
        };
        const auto number = [&](int low, int high) -> std::optional<int> {
            const auto v = value();
            if (!v)
                return std::nullopt;
            bool ok = false;
            const int n = v->toInt(&ok);
            if (!ok || n < low || n > high) {
                *error = QStringLiteral("%1 wants a number from %2 to %3, not \"%4\"").arg(option).arg(low).arg(high).arg(*v);
                return std::nullopt;
            }
            return n;
        };
        // Named without its value: a value may be a secret given by mistake.
        const auto known = std::find_if(std::begin(kOptions), std::end(kOptions),
                                        [&](const OptionName &n) { return option == QLatin1String(n.name); });
        if (known == std::end(kOptions)) {
            *error = QStringLiteral("unknown option \"%1\"").arg(option);
            return std::nullopt;
        }
        if (!known->takesValue && inlineValue) {
            *error = QStringLiteral("%1 takes no value").arg(option);
            return std::nullopt;
        }
        if (option == QLatin1String("-h") || option == QLatin1String("--help")) {
            o.help = true;
        } else if (option == QLatin1String("--version")) {
            o.version = true;
        } else if (option == QLatin1String("--verbose")) {
            o.verbose = true;
        } else if (option == QLatin1String("--timestamps")) {
            o.timestamps = true;
        } else if (option == QLatin1String("--no-password")) {
            o.noPassword = true;
        } else if (option == QLatin1String("--no-search")) {
            o.search = false;
        } else if (option == QLatin1String("--no-discovery")) {
            o.discovery = false;
        } else if (option == QLatin1String("--mqtt-forget")) {
            o.mqttForget = true;
        } else if (option == QLatin1String("--mqtt") || option == QLatin1String("--mqtt-user")
                   || option == QLatin1String("--mqtt-password-file") || option == QLatin1String("--mqtt-ca")) {
            const auto v = value();
            if (!v)
                return std::nullopt;
            if (v->isEmpty()) {
                *error = QStringLiteral("%1 wants a value").arg(option);
                return std::nullopt;
            }
            (option == QLatin1String("--mqtt")        ? o.mqttUrl
             : option == QLatin1String("--mqtt-user") ? o.mqttUser
             : option == QLatin1String("--mqtt-ca")   ? o.mqttCa
                                                      : o.mqttPasswordFile) = *v;
        } else if (option == QLatin1String("--mqtt-base") || option == QLatin1String("--discovery-prefix")) {
            const auto v = value();
            if (!v)
                return std::nullopt;
            static const QRegularExpression topic(QStringLiteral("^[A-Za-z0-9_.-]+(/[A-Za-z0-9_.-]+)*$"));
            if (v->size() > 128 || !topic.match(*v).hasMatch()) {
                *error = QStringLiteral("%1 wants levels of letters, digits, \"-\", \"_\" and \".\" between single \"/\", "
                                        "not \"%2\"").arg(option, *v);
                return std::nullopt;
            }
            (option == QLatin1String("--mqtt-base") ? o.mqttBase : o.discoveryPrefix) = *v;
        } else if (option == QLatin1String("--mqtt-group")) {
            const auto v = value();
            if (!v)
                return std::nullopt;
            static const QRegularExpression group(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
            if (!group.match(*v).hasMatch()) {
                *error = QStringLiteral("--mqtt-group wants 1 to 64 letters, digits, \"-\" or \"_\", not \"%1\"").arg(*v);
                return std::nullopt;
            }
            o.mqttGroups << *v;
        } else if (option == QLatin1String("--port")) {
            const auto v = value();
            if (!v)
                return std::nullopt;
            if (v->isEmpty()) {
                *error = QStringLiteral("--port wants a device");
                return std::nullopt;
            }
            o.device = *v;
        } else if (option == QLatin1String("--com")) {
            const auto n = number(1, 2);
            if (!n)
                return std::nullopt;
            o.com = *n;
        } else if (option == QLatin1String("--baud")) {
            const auto v = value();
            if (!v)
                return std::nullopt;
            if (*v != QLatin1String("19200") && *v != QLatin1String("9600")) {
                *error = QStringLiteral("--baud wants 19200 or 9600, not \"%1\"").arg(*v);
                return std::nullopt;
            }
            o.baud = v->toInt();
        } else if (option == QLatin1String("--retry-ms")) {
            const auto n = number(100, 600000);
            if (!n)
                return std::nullopt;
            o.retryMs = *n;
        } else if (option == QLatin1String("--poll-seconds")) {
            const auto n = number(1, 3600);
            if (!n)
                return std::nullopt;
            o.pollSeconds = *n;
        } else if (option == QLatin1String("--idle-seconds")) {
            const auto n = number(1, 3600);
            if (!n)
                return std::nullopt;
            o.idleSeconds = *n;
        } else if (option == QLatin1String("--pjlink") || option == QLatin1String("--raw")
                   || option == QLatin1String("--http") || option == QLatin1String("--metrics")) {
            const auto v = value();
            if (!v)
                return std::nullopt;
            const auto e = parseEndpoint(*v, error);
            if (!e) {
                *error = QStringLiteral("%1: %2").arg(option, *error);
                return std::nullopt;
            }
            if (option == QLatin1String("--raw"))
                o.raw = *e;
            else if (option == QLatin1String("--http"))
                o.http = *e;
            else if (option == QLatin1String("--metrics"))
                o.metrics = *e;
            else
                o.pjlink = *e;
        } else if (option == QLatin1String("--trusted-proxy")) {
            const auto v = value();
            if (!v)
                return std::nullopt;
            const QHostAddress proxy(*v);
            if (proxy.isNull()) {
                *error = QStringLiteral("--trusted-proxy wants an address, not \"%1\"").arg(*v);
                return std::nullopt;
            }
            o.trustedProxies.append(proxy);
        } else if (option == QLatin1String("--password-file")) {
            const auto v = value();
            if (!v)
                return std::nullopt;
            o.passwordFile = *v;
        } else if (option == QLatin1String("--name")) {
            const auto v = value();
            if (!v)
                return std::nullopt;
            const QByteArray name = v->toUtf8();
            if (name.isEmpty() || name.size() > pjlink::kMaxName
                || !std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x20 && c <= 0x7e; })) {
                *error = QStringLiteral("--name wants 1 to %1 printable ASCII characters").arg(pjlink::kMaxName);
                return std::nullopt;
            }
            o.name = name;
        }
    }
    // Where nothing asks for a password, only this machine may connect,
    // unless --no-password says otherwise.
    const bool pjlinkOpen = !o.passwordFile.isEmpty() || o.noPassword;
    if (!o.pjlink.hostGiven)
        o.pjlink.host = QHostAddress(pjlinkOpen ? QHostAddress::Any : QHostAddress::LocalHost);
    if (o.raw && !o.raw->hostGiven)
        o.raw->host = QHostAddress(QHostAddress::LocalHost);
    for (auto *at : {o.http ? &*o.http : nullptr, o.metrics ? &*o.metrics : nullptr})
        if (at && !at->hostGiven)
            at->host = QHostAddress(pjlinkOpen ? QHostAddress::Any : QHostAddress::LocalHost);
    for (const auto &[option, at] : {std::pair{"--pjlink", &o.pjlink}, std::pair{"--http", o.http ? &*o.http : nullptr},
                                     std::pair{"--metrics", o.metrics ? &*o.metrics : nullptr}})
        if (at && !pjlinkOpen && !loopback(*at)) {
            *error = QStringLiteral("%1 %2 is beyond loopback: give a --password-file, or say --no-password")
                         .arg(QLatin1String(option), at->text());
            return std::nullopt;
        }
    // Through a proxy the web panel is reached from beyond this machine.
    if (!o.trustedProxies.isEmpty() && !pjlinkOpen) {
        *error = QStringLiteral("--trusted-proxy: the web panel is reached from other machines through the proxy: "
                                "give a --password-file, or say --no-password");
        return std::nullopt;
    }
    if (o.raw && !o.noPassword && !loopback(*o.raw)) {
        *error = QStringLiteral("--raw %1 is beyond loopback, and the raw port asks for no password: "
                                "say --no-password to allow it").arg(o.raw->text());
        return std::nullopt;
    }
    if (o.mqttUrl.isEmpty()) {
        for (const auto &[given, what] : {std::pair{!o.mqttUser.isEmpty(), "--mqtt-user"},
                                          std::pair{!o.mqttPasswordFile.isEmpty(), "--mqtt-password-file"},
                                          std::pair{!o.mqttCa.isEmpty(), "--mqtt-ca"},
                                          std::pair{!o.mqttGroups.isEmpty(), "--mqtt-group"},
                                          std::pair{o.mqttForget, "--mqtt-forget"}})
            if (given) {
                *error = QStringLiteral("%1 goes with --mqtt URL").arg(QLatin1String(what));
                return std::nullopt;
            }
    }
    return o;
}

std::optional<QByteArray> readPasswordFile(const QString &path, QString *error, QString *warning, qsizetype maxLength)
{
    const auto fail = [&](const QString &why) {
        *error = QStringLiteral("cannot read the password file %1: %2").arg(path, why);
        return std::nullopt;
    };
    QFile file;
#ifdef Q_OS_UNIX
    // Only a plain file is read: a named pipe would hold the start until
    // something wrote to it, a device such as /dev/zero would never end.
    // Opened without waiting (a pipe then opens at once) and looked at as
    // opened, so that nothing can take its place between the look and the read.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(S_ISDIR(st.st_mode) ? QStringLiteral("it is a folder") : QStringLiteral("it is not a plain file"));
    }
    file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const bool othersRead = st.st_mode & S_IROTH, othersWrite = st.st_mode & (S_IWGRP | S_IWOTH);
#else
    file.setFileName(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return fail(file.errorString().isEmpty() ? QStringLiteral("it is not a plain file") : file.errorString());
    const auto mode = file.permissions();
    const bool othersRead = mode & QFileDevice::ReadOther, othersWrite = mode & (QFileDevice::WriteGroup | QFileDevice::WriteOther);
#endif
    // A password file is a line; anything much longer is no password file.
    const QByteArray content = file.read(4096);
    const qsizetype lineEnd = content.indexOf('\n');
    QByteArray password = lineEnd < 0 ? content : content.left(lineEnd);
    if (password.endsWith('\r'))
        password.chop(1);
    if (password.isEmpty() || password.size() > maxLength
        || !std::all_of(password.begin(), password.end(), [](char c) { return c > 0x20 && c <= 0x7e; })) {
        *error = QStringLiteral("the password file %1 must hold 1 to %2 printable ASCII characters without "
                                "blanks on its first line").arg(path).arg(maxLength);
        return std::nullopt;
    }
    if (othersRead || othersWrite)
        *warning = QStringLiteral("the password file %1 may be %2: chmod %3 %1")
                       .arg(path,
                            othersRead && othersWrite ? QStringLiteral("read by anyone, and changed by others than its owner")
                            : othersRead             ? QStringLiteral("read by anyone")
                                                     : QStringLiteral("changed by others than its owner"),
                            othersRead && othersWrite ? QStringLiteral("o-rw,g-w")
                            : othersRead             ? QStringLiteral("o-r")
                                                     : QStringLiteral("go-w"));
    return password;
}

}  // namespace qm25::gateway
