// Fuzz target: what qm25d makes of a message from an MQTT broker, and of a
// broker's address, and the values it publishes from a status object.
//
// Input: a topic (or an address), "\n", a payload (or a status object's JSON).
//
// Checked: a message names a catalogue command (the name its row has, no
// error) or is refused with a reason, never both, and an answer repeats at
// most 200 characters of its name; the outcome objects are JSON; an address
// read has a host and a port from 1 to 65535, and reads again as itself;
// the values are always the same ten leaves, none empty.
#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstddef>
#include <cstdint>

#include "fuzz_fail.h"
#include "mqtt/topics.h"

using namespace qm25;
using namespace qm25::mqtt;

namespace {

bool isJsonObject(const QByteArray &text)
{
    QJsonParseError error;
    return QJsonDocument::fromJson(text, &error).isObject() && error.error == QJsonParseError::NoError;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype cut = input.indexOf('\n');
    const QString first = QString::fromUtf8(cut < 0 ? input : input.left(cut));
    const QByteArray rest = cut < 0 ? QByteArray() : input.mid(cut + 1);

    const Topics topics{QStringLiteral("qm25"), QStringLiteral("room_101"), {QStringLiteral("all"), QStringLiteral("floor-1")}};
    const CommandRequest r = commandOf(topics, first, rest);
    if (r.row) {
        if (!r.error.isEmpty() || r.name != QLatin1String(r.row->name.data(), qsizetype(r.row->name.size())))
            fail("a command with an error, or under another name than its row's");
        Result result;
        result.name = r.name;
        if (!isJsonObject(resultPayload(result, topics.id)))
            fail("a result that is no JSON object");
    } else {
        if (r.error.isEmpty() || r.name.size() > 200)
            fail("a refusal without a reason, or repeating more than 200 characters");
        if (!isJsonObject(refusalPayload(r.name, r.error, topics.id)))
            fail("a refusal that is no JSON object");
    }

    QString error;
    if (const auto a = parseBrokerUrl(first, &error)) {
        if (a->host.isEmpty() || a->port < 1 || a->port > 65535)
            fail("an address without a host or a port");
        const auto again = parseBrokerUrl(a->text(), &error);
        if (!again || again->text() != a->text())
            fail("an address that does not read again as itself");
    } else if (error.isEmpty()) {
        fail("an address refused without a reason");
    }

    const auto values = valueMessages(QJsonDocument::fromJson(rest).object(),
                                      size % 3 == 0 ? std::nullopt : std::optional<bool>(size % 3 == 1));
    if (values.size() != 10)
        fail("not ten values");
    for (const auto &[leaf, payload] : values)
        if (leaf.isEmpty() || payload.isEmpty())
            fail("a value without its leaf or its payload");
    return 0;
}
