#pragma once
// The command line of qm25d, and the password file.
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <span>
#include <string_view>

#include "gateway/pjlink.h"

namespace qm25::gateway {

extern const char kUsage[];

// Every option the command line knows: the parser takes no other, and
// --help lists each.
struct OptionName {
    std::string_view name;
    bool takesValue;
};
std::span<const OptionName> optionNames();

struct Endpoint {
    QHostAddress host;
    quint16 port = 0;
    bool hostGiven = false;
    QString text() const;  // "127.0.0.1:4352", "[::1]:4352"
};

struct Options {
    QString device;            // --port; empty: the device of COM `com`
    int com = 1;
    int baud = 19200;
    Endpoint pjlink;           // default: port 4352; TCP, and UDP for search and notifications
    bool search = true;        // answer PJLink searches (--no-search: not)
    std::optional<Endpoint> raw;
    std::optional<Endpoint> http;  // the web panel and HTTP API (off by default)
    std::optional<Endpoint> metrics;  // a listener for /metrics alone (off by default)
    QList<QHostAddress> trustedProxies;  // whose X-Forwarded-For and -Proto the web believes
    QString passwordFile;
    bool noPassword = false;   // listening beyond loopback without a password is wanted
    QByteArray name = "QM25";  // NAME ?
    int idleSeconds = 30;
    int retryMs = 3000;
    int pollSeconds = 30;      // the status read's period while a front door watches
    // MQTT (off without --mqtt): the broker's address as given, the login,
    // a private CA, the topics' base, the groups besides "all", and Home
    // Assistant's discovery.
    QString mqttUrl;
    QString mqttUser;
    QString mqttPasswordFile;
    QString mqttCa;
    QString mqttBase = QStringLiteral("qm25");
    QStringList mqttGroups;
    bool discovery = true;
    QString discoveryPrefix = QStringLiteral("homeassistant");
    bool mqttForget = false;   // remove the gateway's retained topics, then exit
    bool verbose = false;
    bool timestamps = false;   // the time in front of each log line
    bool help = false;
    bool version = false;
};

// Reads the arguments (the program's name first). Nothing, with *error,
// for a malformed or unknown option (its message never repeats a value
// given with "="), or an address beyond loopback that would take clients
// without a password.
std::optional<Options> parseOptions(const QStringList &args, QString *error);

// The password in the first line of a plain file (a trailing CR LF or LF is
// not part of it): 1 to `maxLength` (PJLink's: 32) printable ASCII
// characters, no blanks. Nothing, with *error, otherwise, or when the path is
// no plain file (a named pipe, a device, a folder). *warning is set when
// others than owner and group may read the file, or others than its owner
// may change it.
std::optional<QByteArray> readPasswordFile(const QString &path, QString *error, QString *warning,
                                           qsizetype maxLength = pjlink::kMaxPassword);

}  // namespace qm25::gateway
