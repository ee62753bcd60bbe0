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

const CommandRow *statusReadOfFrame(QStringView frame)
{
    if (frame.isEmpty() || frame.back() != QLatin1Char(kCr))
        return nullptr;
    const QStringView code = frame.chopped(1);
    for (const CommandRow &row : kCatalogue)
        if (row.isStatusRead() && QLatin1String(row.code.data(), qsizetype(row.code.size())) == code)
            return &row;
    return nullptr;
}

}  // namespace qm25
