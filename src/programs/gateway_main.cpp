// qm25d: holds the projector's line and serves it to PJLink clients and to
// this project's own programs. Logs go to standard error (the journal).
#include <QCoreApplication>
#include <QDateTime>
#include <QHostInfo>

#include <cstdio>
#include <memory>
#include <vector>

#include "core/stop_signals.h"
#include "gateway/gateway.h"
#include "gateway/options.h"
#include "mqtt/mqtt_door.h"
#include "web/web_server.h"

using namespace qm25::gateway;

namespace {

// Set by --timestamps: run by hand, the log has no other time; the journal
// stamps each line itself.
bool timestamps = false;

void logLine(const QString &line)
{
    if (timestamps)
        std::fprintf(stderr, "%s ", qPrintable(QDateTime::currentDateTime().toString(Qt::ISODateWithMs)));
    std::fprintf(stderr, "qm25d: %s\n", qPrintable(line));
    std::fflush(stderr);
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString error;
    const auto options = parseOptions(app.arguments(), &error);
    if (!options) {
        std::fprintf(stderr, "qm25d: %s\nTry qm25d --help.\n", qPrintable(error));
        return 2;
    }
    if (options->help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options->version) {
        std::printf("qm25d %s\n", QM25_VERSION);
        return 0;
    }
    timestamps = options->timestamps;
    // A configuration error exits 2, which the service unit does not restart
    // on: trying again would not help.
    QByteArray password;
    if (!options->passwordFile.isEmpty()) {
        QString warning;
        const auto read = readPasswordFile(options->passwordFile, &error, &warning);
        if (!read) {
            logLine(error);
            return 2;
        }
        if (!warning.isEmpty())
            logLine(warning);
        password = *read;
    }
    std::optional<qm25::mqtt::DoorSettings> mqttSettings;
    if (!options->mqttUrl.isEmpty()) {
        QString warning;
        mqttSettings = qm25::mqtt::doorSettings(*options, QStringLiteral(QM25_VERSION), {}, &error, &warning);
        if (!warning.isEmpty())
            logLine(warning);
        if (!mqttSettings) {
            logLine(error);
            return 2;
        }
    }
    if (options->mqttForget) {
        if (!qm25::mqtt::forgetOnBroker(*mqttSettings, &error)) {
            logLine(error);
            return 1;
        }
        logLine(QStringLiteral("MQTT: removed %1 and its discovery configurations from the broker")
                    .arg(qm25::mqtt::topicsOf(*mqttSettings).of(u"#")));
        return 0;
    }
    if (!qm25::stopOnSignals(&app, [] { logLine(QStringLiteral("stopping")); })) {
        logLine(QStringLiteral("cannot catch signals"));
        return 1;
    }

    Gateway gateway(*options, password, logLine);
    logLine(QStringLiteral("qm25d %1 starting").arg(QLatin1String(QM25_VERSION)));
    if (!gateway.start(&error)) {
        logLine(error);
        return 1;
    }
    // What the front doors log; some of it only with --verbose.
    const auto doorLog = [verbose = options->verbose](const QString &line, bool verboseOnly) {
        if (!verboseOnly || verbose)
            logLine(line);
    };
    // The web panel and API, and the listener for /metrics alone.
    std::vector<std::unique_ptr<qm25::web::WebServer>> web;
    auto http = options->http.value_or(Endpoint{}), metrics = options->metrics.value_or(Endpoint{});
    for (auto [at, door] : {std::pair{options->http ? &http : nullptr, FrontDoor::Web},
                            std::pair{options->metrics ? &metrics : nullptr, FrontDoor::Metrics}}) {
        if (!at)
            continue;
        web.push_back(std::make_unique<qm25::web::WebServer>(
            gateway.queue(), gateway.watcher(), gateway.metrics(), door, password, gateway.throttle(),
            options->trustedProxies, doorLog));
        if (!web.back()->listenOn(at, &error)) {
            logLine(error);
            return 1;
        }
    }
    std::unique_ptr<qm25::mqtt::MqttDoor> mqtt;
    if (mqttSettings) {
        // Home Assistant's link to the device's page: the web panel, where there is one.
        if (options->http) {
            const bool any = http.host == QHostAddress::Any || http.host == QHostAddress::AnyIPv6;
            mqttSettings->device.configurationUrl =
                QStringLiteral("http://%1/").arg(any ? QStringLiteral("%1:%2").arg(QHostInfo::localHostName()).arg(http.port)
                                                     : http.text());
        }
        mqtt = std::make_unique<qm25::mqtt::MqttDoor>(gateway.queue(), gateway.watcher(), *mqttSettings,
                                                       doorLog);
        QObject::connect(mqtt.get(), &qm25::mqtt::MqttDoor::refused, gateway.metrics(),
                         [m = gateway.metrics()](RefusalReason why) { m->refused(FrontDoor::Mqtt, why); });
        gateway.metrics()->countClients(FrontDoor::Mqtt, [door = mqtt.get()] { return door->connected() ? 1 : 0; });
        if (!mqtt->start(&error)) {
            logLine(error);  // a CA file that cannot be read or used
            return 2;
        }
    }
    return app.exec();
}
