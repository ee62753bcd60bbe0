#include "core/catalogue.h"

namespace qm25 {

std::span<const CommandRow> commands() { return kCatalogue; }

const CommandRow *commandNamed(QStringView name)
{
    for (const CommandRow &row : kCatalogue)
        if (QLatin1String(row.name.data(), qsizetype(row.name.size())) == name)
            return &row;
    return nullptr;
}

const CommandRow *commandWithCode(QStringView code)
{
    for (const CommandRow &row : kCatalogue)
        if (QLatin1String(row.code.data(), qsizetype(row.code.size())) == code)
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
    const auto text = [](std::string_view s) { return QString::fromLatin1(s.data(), qsizetype(s.size())); };
    return {{"name", text(row.name)},
            {"code", text(row.code)},
            {"kind", kindName(row.kind)},
            {"description", text(row.description)},
            {"timeout_ms", row.times.replyTimeoutMs}};
}

const CommandRow *statusReadOfFrame(QStringView frame)
{
    if (frame.isEmpty() || frame.back() != QLatin1Char(kCr))
        return nullptr;
    const CommandRow *row = commandWithCode(frame.chopped(1));
    return row && row->isStatusRead() ? row : nullptr;
}

}  // namespace qm25
