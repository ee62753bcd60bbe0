#include "core/catalogue.h"

namespace qm25 {

std::span<const CommandRow> commands() { return kCatalogue; }

const CommandRow *commandNamed(QStringView name)
{
    for (const CommandRow &row : kCatalogue)
        if (latin1(row.name) == name)
            return &row;
    return nullptr;
}

const CommandRow *commandWithCode(QStringView code)
{
    for (const CommandRow &row : kCatalogue)
        if (latin1(row.code) == code)
            return &row;
    return nullptr;
}

QString kindName(CommandKind kind)
{
    switch (kind) {
    case CommandKind::Action: return QStringLiteral("action");
    case CommandKind::StatusRead: return QStringLiteral("read");
    case CommandKind::Setting: return QStringLiteral("setting");
    }
    return {};
}

QJsonObject toJson(const CommandRow &row)
{
    return {{"name", latin1(row.name)},
            {"code", latin1(row.code)},
            {"kind", kindName(row.kind)},
            {"description", latin1(row.description)},
            {"timeout_ms", row.times.replyTimeoutMs}};
}

const CommandRow *statusReadOfFrame(QStringView frame)
{
    if (frame.isEmpty() || frame.back() != QLatin1Char(kCr))
        return nullptr;
    const CommandRow *row = commandWithCode(frame.chopped(1));
    return row && row->isStatusRead() ? row : nullptr;
}

const CommandRow *statusReadOf(Reading reading)
{
    for (const CommandRow &row : commands())
        if (row.isStatusRead() && row.reading == reading)
            return &row;
    return nullptr;
}

}  // namespace qm25
