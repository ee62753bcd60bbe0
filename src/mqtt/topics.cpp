#include "mqtt/topics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace qm25::mqtt {
namespace {

QByteArray compact(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

// Never an empty payload: published retained, it would delete the value
// on the broker instead of stating it.
QString text(const QJsonValue &v)
{
    const QString t = v.toString();
    return t.isEmpty() ? QStringLiteral("unknown") : t;
}

QString onOff(const QJsonValue &v)
{
    return v.isBool() ? QString::fromLatin1(v.toBool() ? "on" : "off") : QStringLiteral("unknown");
}

QString inputName(const QJsonValue &input)
{
    const QLatin1String key = inputKey(input.toObject().value(QLatin1String("input")).toInt());
    return key.isEmpty() ? QStringLiteral("unknown") : QString(key);
}

}  // namespace

QString topicSafe(QStringView name)
{
    QString out;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool kept = (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') || u == u'-' || u == u'_';
        if (kept || (u >= u'A' && u <= u'Z'))
            out += c.toLower();
        else
            out += QLatin1Char('_');
    }
    return out;
}

QStringList Topics::commandFilters() const
{
    QStringList filters{of(u"set/#")};
    for (const QString &group : groups)
        filters << base + QStringLiteral("/group/") + group + QStringLiteral("/set/#");
    return filters;
}

CommandRequest commandOf(const Topics &topics, QStringView topic, QByteArrayView payload)
{
    CommandRequest r;
    QStringView name;
    const QString own = topics.of(u"set/");
    const QString groupPrefix = topics.base + QStringLiteral("/group/");
    if (topic.startsWith(own)) {
        name = topic.mid(own.size());
    } else if (topic.startsWith(groupPrefix)) {
        const QStringView rest = topic.mid(groupPrefix.size());
        const qsizetype slash = rest.indexOf(u'/');
        if (slash > 0 && topics.groups.contains(rest.left(slash)) && rest.mid(slash).startsWith(u"/set/"))
            name = rest.mid(slash + 5);
    }
    r.name = name.left(200).toString();  // as much of it as an answer repeats
    if (name.isEmpty() || name.contains(u'/')) {
        r.error = QStringLiteral("no command in the topic \"%1\": publish to %2NAME").arg(topic.left(200), own);
        return r;
    }
    // A name and a short payload that together are a command ("power" and
    // "on"); otherwise the name alone.
    const QString word = payload.size() <= 32 ? QString::fromUtf8(payload.trimmed()).toLower() : QString();
    if (!word.isEmpty()) {
        if (const CommandRow *row = commandNamed(r.name + QLatin1Char(' ') + word)) {
            r.row = row;
            r.name = QString(latin1(row->name));
            return r;
        }
    }
    r.row = commandNamed(r.name);
    if (!r.row)
        r.error = QStringLiteral("unknown command \"%1\": the names are qm25ctl's (qm25ctl list)").arg(r.name);
    return r;
}

QByteArray resultPayload(const Result &result, const QString &id)
{
    QJsonObject o = toJson(result);
    o.insert(QStringLiteral("device"), id);
    return compact(o);
}

QByteArray refusalPayload(const QString &name, const QString &why, const QString &id)
{
    return compact({{"name", name}, {"outcome", "refused"}, {"error", why}, {"device", id}});
}

std::vector<Message> valueMessages(const QJsonObject &status, std::optional<bool> freeze)
{
    const QJsonObject values = status.value(QLatin1String("status")).toObject();
    const QJsonObject power = values.value(QLatin1String("power")).toObject();
    const QJsonObject mute = values.value(QLatin1String("mute")).toObject();
    const QJsonValue hours = values.value(QLatin1String("lamp time")).toObject().value(QLatin1String("hours"));
    const QJsonArray celsius = values.value(QLatin1String("temperatures")).toObject().value(QLatin1String("celsius")).toArray();
    std::vector<std::pair<QString, QString>> out{
        {QStringLiteral("power"), text(power.value(QLatin1String("state")))},
        {QStringLiteral("input"), inputName(values.value(QLatin1String("input")))},
        {QStringLiteral("lamp_hours"), hours.isDouble() ? QString::number(hours.toInt()) : QStringLiteral("unknown")},
    };
    for (int i = 0; i < 3; ++i)
        out.emplace_back(QStringLiteral("temperature/%1").arg(i + 1),
                         i < celsius.size() ? QString::number(celsius[i].toDouble(), 'f', 1) : QStringLiteral("unknown"));
    out.emplace_back(QStringLiteral("mute"), text(mute.value(QLatin1String("state"))));
    out.emplace_back(QStringLiteral("signal"), onOff(mute.value(QLatin1String("signal"))));
    out.emplace_back(QStringLiteral("freeze"), freeze ? QString::fromLatin1(*freeze ? "on" : "off") : QStringLiteral("unknown"));
    out.emplace_back(QStringLiteral("line"), text(status.value(QLatin1String("line"))));
    std::vector<Message> messages;
    for (const auto &[leaf, value] : out)
        messages.emplace_back(leaf, value.toUtf8());
    return messages;
}

QString BrokerAddress::text() const
{
    const QString h = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return QStringLiteral("%1://%2:%3").arg(QLatin1String(tls ? "mqtts" : "mqtt"), h).arg(port);
}

std::optional<BrokerAddress> parseBrokerUrl(QStringView url, QString *error)
{
    BrokerAddress a;
    QStringView rest;
    if (url.startsWith(u"mqtt://")) {
        rest = url.mid(7);
    } else if (url.startsWith(u"mqtts://")) {
        rest = url.mid(8);
        a.tls = true;
    } else {
        *error = QStringLiteral("\"%1\" is no broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]").arg(url);
        return std::nullopt;
    }
    if (rest.endsWith(u'/'))
        rest.chop(1);
    if (rest.contains(u'@')) {
        *error = QStringLiteral("give the broker's user with --mqtt-user and its password with --mqtt-password-file, "
                                "not in the address");
        return std::nullopt;
    }
    QStringView port;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0 || (close + 1 < rest.size() && rest[close + 1] != u':')) {
            *error = QStringLiteral("\"%1\": an IPv6 address goes in brackets, [::1]:1883").arg(url);
            return std::nullopt;
        }
        a.host = rest.mid(1, close - 1).toString();
        port = close + 1 < rest.size() ? rest.mid(close + 2) : QStringView();
    } else {
        const qsizetype colon = rest.indexOf(u':');
        a.host = (colon < 0 ? rest : rest.left(colon)).toString();
        port = colon < 0 ? QStringView() : rest.mid(colon + 1);
        if (colon >= 0 && port.isEmpty())
            port = u"-";
    }
    static const QRegularExpression hostChars(QStringLiteral("^[A-Za-z0-9.:_-]+$"));
    if (a.host.isEmpty() || !hostChars.match(a.host).hasMatch()) {
        *error = QStringLiteral("\"%1\" names no host").arg(url);
        return std::nullopt;
    }
    a.port = a.tls ? 8883 : 1883;
    if (!port.isNull()) {
        bool ok = false;
        a.port = port.toInt(&ok);
        if (!ok || a.port < 1 || a.port > 65535) {
            *error = QStringLiteral("\"%1\" is no port number").arg(port);
            return std::nullopt;
        }
    }
    return a;
}

QString refusalReason(int code)
{
    switch (code) {
    case 4:
    case 0x86: return QStringLiteral("the login was refused: bad user name or password (--mqtt-user, --mqtt-password-file)");
    case 5:
    case 0x87:
        return QStringLiteral("the login was refused: not authorized (a wrong user name or password, or a user the broker "
                              "does not let connect: --mqtt-user, --mqtt-password-file)");
    case 1:
    case 0x84: return QStringLiteral("the broker does not speak MQTT 5 or 3.1.1");
    case 2:
    case 0x85: return QStringLiteral("the client identifier was refused");
    case 3:
    case 0x88: return QStringLiteral("the broker is not available");
    case 0x89: return QStringLiteral("the broker is busy");
    case 0x8A: return QStringLiteral("banned by the broker");
    case 0x9F: return QStringLiteral("too many connections at once (the broker's rate limit)");
    }
    return QStringLiteral("refused by the broker (reason code 0x%1)").arg(code, 2, 16, QLatin1Char('0'));
}

namespace {

// One entity's configuration, with what every entity shares.
struct Entity {
    const char *component;
    QString object;
    QJsonObject config;
};

const QString kUnknownToNone = QStringLiteral("{{ 'None' if value == 'unknown' else value }}");

QString switchTemplate(const char *onValues)
{
    return QStringLiteral("{% if value == 'unknown' %}None{% elif value in [%1] %}ON{% else %}OFF{% endif %}")
        .arg(QLatin1String(onValues));
}

}  // namespace

std::vector<Message> discoveryMessages(const Topics &t, const QString &prefix, const DeviceInfo &device)
{
    const auto commandTopic = [&t](std::string_view name) {
        return t.of(u"set/") + QString(latin1(name));
    };
    const QJsonObject onOffSwitch{{"payload_on", "on"}, {"payload_off", "off"}, {"state_on", "ON"}, {"state_off", "OFF"}};
    const auto with = [](QJsonObject base, const QJsonObject &more) {
        for (auto it = more.begin(); it != more.end(); ++it)
            base.insert(it.key(), it.value());
        return base;
    };
    std::vector<Entity> entities{
        {"switch", "power", with(onOffSwitch, {{"name", "Power"}, {"state_topic", t.of(u"power")},
                                               {"value_template", switchTemplate("'on', 'count-down'")},
                                               {"command_topic", commandTopic("power")}, {"icon", "mdi:projector"}})},
        {"select", "input", {{"name", "Input"}, {"state_topic", t.of(u"input")}, {"value_template", kUnknownToNone},
                             {"command_topic", commandTopic("input")}, {"options", QJsonArray{"pc1", "pc2", "video"}}}},
        {"switch", "sound_mute", with(onOffSwitch, {{"name", "Sound mute"}, {"state_topic", t.of(u"mute")},
                                                    {"value_template", switchTemplate("'audio-mute', 'video-audio-mute'")},
                                                    {"command_topic", commandTopic("mute")}, {"icon", "mdi:volume-off"}})},
        {"switch", "no_show", with(onOffSwitch, {{"name", "No show"}, {"state_topic", t.of(u"mute")},
                                                 {"value_template", switchTemplate("'video-mute', 'video-audio-mute'")},
                                                 {"command_topic", commandTopic("noshow")}, {"icon", "mdi:projector-off"}})},
        {"switch", "freeze", with(onOffSwitch, {{"name", "Freeze"}, {"state_topic", t.of(u"freeze")},
                                                {"value_template", switchTemplate("'on'")},
                                                {"command_topic", commandTopic("freeze")}, {"icon", "mdi:pause-box"}})},
        {"sensor", "lamp_hours", {{"name", "Lamp hours"}, {"state_topic", t.of(u"lamp_hours")},
                                  {"value_template", kUnknownToNone}, {"device_class", "duration"},
                                  {"unit_of_measurement", "h"}, {"state_class", "total_increasing"}}},
        {"binary_sensor", "signal", {{"name", "Signal"}, {"state_topic", t.of(u"signal")},
                                     {"value_template", kUnknownToNone}, {"payload_on", "on"}, {"payload_off", "off"}}},
        {"binary_sensor", "line", {{"name", "Serial line"}, {"state_topic", t.of(u"line")}, {"payload_on", "up"},
                                   {"payload_off", "down"}, {"device_class", "connectivity"},
                                   {"entity_category", "diagnostic"}}},
    };
    for (int i = 1; i <= 3; ++i)
        entities.push_back({"sensor", QStringLiteral("temperature_%1").arg(i),
                            {{"name", QStringLiteral("Temperature %1").arg(i)},
                             {"state_topic", t.of(QStringLiteral("temperature/%1").arg(i))},
                             {"value_template", kUnknownToNone}, {"device_class", "temperature"},
                             {"unit_of_measurement", QStringLiteral("°C")}, {"state_class", "measurement"}}});
    // The image modes and the display clear, as buttons.
    for (const CommandRow &row : commands()) {
        const bool imageMode = row.setsTimes && row.times == kImageModeTimes && row.name.starts_with("image ");
        if (!imageMode && row.name != command("display clear").name)
            continue;
        const QString name = QString(latin1(row.name));
        entities.push_back({"button", topicSafe(name),
                            {{"name", QString(latin1(row.description))},
                             {"command_topic", commandTopic(row.name)}, {"payload_press", "press"}}});
    }

    const QString node = QStringLiteral("qm25_") + t.id;
    QJsonObject dev{{"identifiers", QJsonArray{node}}, {"name", device.name}, {"model", "QM25"},
                    {"manufacturer", "RUNO"}, {"sw_version", device.version}};
    if (!device.configurationUrl.isEmpty())
        dev.insert(QStringLiteral("configuration_url"), device.configurationUrl);
    std::vector<Message> out;
    for (Entity &e : entities) {
        e.config.insert(QStringLiteral("unique_id"), node + QLatin1Char('_') + e.object);
        e.config.insert(QStringLiteral("availability_topic"), t.availability());
        e.config.insert(QStringLiteral("device"), dev);
        out.emplace_back(QStringLiteral("%1/%2/%3/%4/config").arg(prefix, QLatin1String(e.component), node, e.object),
                         compact(e.config));
    }
    return out;
}

}  // namespace qm25::mqtt
