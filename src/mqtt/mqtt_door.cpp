#include "mqtt/mqtt_door.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QJsonDocument>

#include "core/outcome.h"
#include "gateway/exchange_queue.h"
#include "gateway/named_command.h"
#include "gateway/options.h"
#include "gateway/state_watcher.h"

namespace qm25::mqtt {

std::optional<DoorSettings> doorSettings(const gateway::Options &options, const QString &version,
                                         const QString &configurationUrl, QString *error, QString *warning)
{
    DoorSettings s;
    const auto broker = parseBrokerUrl(options.mqttUrl, error);
    if (!broker) {
        *error = QStringLiteral("--mqtt: %1").arg(*error);
        return std::nullopt;
    }
    s.broker = *broker;
    s.user = options.mqttUser;
    if (!options.mqttPasswordFile.isEmpty()) {
        const auto password = gateway::readPasswordFile(options.mqttPasswordFile, error, warning, 256);
        if (!password)
            return std::nullopt;
        s.password = *password;
    }
    if (warning->isEmpty() && !QHostAddress(s.broker.host).isLoopback() && s.broker.host != QLatin1String("localhost")
        && (s.user.isEmpty() || !s.broker.tls))
        *warning = QStringLiteral("MQTT: %1 is beyond loopback and reached %2: whoever may publish there can drive the "
                                  "projector (give the broker users, an ACL and TLS)")
                       .arg(s.broker.text(), s.user.isEmpty() ? QStringLiteral("without a login") : QStringLiteral("in the clear"));
    s.caFile = options.mqttCa;
    s.base = options.mqttBase;
    s.groups = options.mqttGroups;
    s.discovery = options.discovery;
    s.discoveryPrefix = options.discoveryPrefix;
    s.device = {QString::fromUtf8(options.name), version, configurationUrl};
    return s;
}

Topics topicsOf(const DoorSettings &settings)
{
    Topics t{settings.base, topicSafe(settings.device.name), {QStringLiteral("all")}};
    for (const QString &g : settings.groups)
        if (!t.groups.contains(g))
            t.groups << g;
    return t;
}

BrokerLink::Settings linkSettings(const DoorSettings &settings, const Topics &topics, bool withWill)
{
    BrokerLink::Settings s{settings.broker, QStringLiteral("qm25d-") + topics.id, settings.user, settings.password,
                           settings.caFile, {}, {}};
    if (withWill) {
        s.willTopic = topics.availability();
        s.willPayload = "offline";
    }
    return s;
}

MqttDoor::MqttDoor(gateway::ExchangeQueue *queue, gateway::StateWatcher *watcher, DoorSettings settings, Logger logger,
                   QObject *parent)
    : QObject(parent),
      queue_(queue),
      watcher_(watcher),
      settings_(std::move(settings)),
      logger_(std::move(logger)),
      topics_(topicsOf(settings_)),
      link_(linkSettings(settings_, topics_, true)),
      client_(queue->addClient(QStringLiteral("MQTT")))
{
    connect(&link_, &BrokerLink::connected, this, &MqttDoor::online);
    connect(&link_, &BrokerLink::disconnected, this, &MqttDoor::offline);
    connect(&link_, &BrokerLink::trouble, this, [this](const QString &text) { logger_("MQTT: " + text, false); });
    connect(&link_, &BrokerLink::message, this, &MqttDoor::received);
    connect(watcher_, &gateway::StateWatcher::changed, this, &MqttDoor::publishState);
    connect(watcher_, &gateway::StateWatcher::freezeChanged, this, &MqttDoor::publishState);
    // Dropped commands are logged as a count, once a second at the most.
    dropReport_.setSingleShot(true);
    dropReport_.setInterval(1000);
    connect(&dropReport_, &QTimer::timeout, this, [this] {
        logger_(QStringLiteral("MQTT: %1 commands dropped: more than %2 were waiting (%3 since the start)")
                    .arg(dropped_ - droppedLogged_)
                    .arg(gateway::ExchangeQueue::kJobsPerClient)
                    .arg(dropped_),
                false);
        droppedLogged_ = dropped_;
    });
}

MqttDoor::~MqttDoor()
{
    link_.stop(true);
    if (watching_)
        watcher_->unwatch();
    queue_->removeClient(client_);
}

bool MqttDoor::start(QString *error)
{
    logger_(QStringLiteral("MQTT: %1 as %2/%3 (groups %4)")
                .arg(settings_.broker.text(), topics_.base, topics_.id, topics_.groups.join(QLatin1String(", "))),
            false);
    return link_.start(error);
}

void MqttDoor::online()
{
    logger_(QStringLiteral("MQTT: connected to %1").arg(settings_.broker.text()), false);
    // A command someone left retained runs when it is sent, not again at
    // every connection.
    link_.subscribe(topics_.commandFilters(), false);
    if (settings_.discovery)
        for (const auto &[topic, config] : discoveryMessages(topics_, settings_.discoveryPrefix, settings_.device))
            link_.publish(topic, config, true);
    // Everything again: the broker may have lost what it kept.
    published_.clear();
    publishState();
    link_.publish(topics_.availability(), "online", true);
    if (!std::exchange(watching_, true))
        watcher_->watch();
}

void MqttDoor::offline()
{
    if (std::exchange(watching_, false))
        watcher_->unwatch();
}

void MqttDoor::publishState()
{
    if (!link_.isConnected())
        return;
    const QJsonObject snapshot = watcher_->snapshot();
    std::vector<Message> messages{{topics_.state(), QJsonDocument(snapshot).toJson(QJsonDocument::Compact)}};
    for (auto &[leaf, payload] : valueMessages(snapshot, watcher_->freeze()))
        messages.emplace_back(topics_.of(leaf), std::move(payload));
    for (const auto &[topic, payload] : messages) {
        auto it = published_.find(topic);
        if (it != published_.end() && it->second == payload)
            continue;
        if (link_.publish(topic, payload, true))
            published_[topic] = payload;
    }
}

void MqttDoor::answer(const QByteArray &payload, const QString &responseTopic, const QByteArray &correlation)
{
    link_.publish(topics_.result(), payload, false);
    if (!responseTopic.isEmpty())
        link_.publish(responseTopic, payload, false, correlation);
}

void MqttDoor::received(const QString &topic, const QByteArray &payload, const QString &responseTopic,
                        const QByteArray &correlation)
{
    const CommandRequest request = commandOf(topics_, topic, payload);
    if (!request.row) {
        emit refused(gateway::RefusalReason::Malformed);
        logger_(QStringLiteral("MQTT: refused %1: %2").arg(topic.left(200), request.error), true);
        answer(refusalPayload(request.name, request.error, topics_.id), responseTopic, correlation);
        return;
    }
    const bool queued = gateway::runNamedCommand(queue_, client_, watcher_, *request.row,
                                                 [this, responseTopic, correlation](const Result &result) {
        logger_(QStringLiteral("MQTT command %1: %2").arg(result.name, outcomeName(result.outcome)), true);
        answer(resultPayload(result, topics_.id), responseTopic, correlation);
    });
    if (!queued) {
        ++dropped_;
        emit refused(gateway::RefusalReason::Busy);
        if (!dropReport_.isActive())
            dropReport_.start();
    }
}

bool forgetOnBroker(const DoorSettings &settings, QString *error)
{
    const Topics topics = topicsOf(settings);
    BrokerLink link(linkSettings(settings, topics, false));
    QEventLoop loop;
    bool done = false;
    QString trouble;
    QObject::connect(&link, &BrokerLink::trouble, &loop, [&](const QString &text) {
        trouble = text;
        loop.quit();
    });
    QObject::connect(&link, &BrokerLink::connected, &loop, [&] {
        // Empty and retained: the broker forgets what it kept there.
        std::vector<Message> messages = discoveryMessages(topics, settings.discoveryPrefix, settings.device);
        for (auto &[leaf, payload] : valueMessages({}, std::nullopt))
            messages.emplace_back(topics.of(leaf), QByteArray());
        messages.emplace_back(topics.state(), QByteArray());
        messages.emplace_back(topics.availability(), QByteArray());
        for (const auto &m : messages)
            link.publish(m.first, QByteArray(), true);
    });
    QObject::connect(&link, &BrokerLink::acknowledged, &loop, [&] {
        if (link.unacknowledged() == 0) {
            done = true;
            loop.quit();
        }
    });
    if (!link.start(error))
        return false;
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    link.stop(false);
    if (!done)
        *error = QStringLiteral("MQTT: nothing removed: %1")
                     .arg(trouble.isEmpty() ? QStringLiteral("the broker did not acknowledge within 10 s") : trouble);
    return done;
}

}  // namespace qm25::mqtt
