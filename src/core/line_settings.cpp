#include "core/line_settings.h"

#include <QStringList>
#include <QtGlobal>

namespace qm25 {

std::optional<LineSettings> parseCommSettings(const QString &text, QString *error)
{
    auto fail = [&](const QString &why) -> std::optional<LineSettings> {
        if (error)
            *error = QStringLiteral("Invalid line settings \"%1\": %2").arg(text, why);
        return std::nullopt;
    };
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return fail(QStringLiteral("expected speed,parity,data bits,stop bits"));

    LineSettings s;
    bool ok = false;
    const QString speed = parts[0].trimmed();
    const qlonglong baud = speed.toLongLong(&ok);
    if (!ok || baud < 50 || baud > 4000000)
        return fail(QStringLiteral("speed \"%1\" is not a baud rate").arg(speed));
    s.baud = static_cast<int>(baud);

    const QString parity = parts[1].trimmed().toUpper();
    if (parity.size() != 1 || !QStringLiteral("NEOMS").contains(parity))
        return fail(QStringLiteral("parity \"%1\" is not one of N, E, O, M, S").arg(parts[1].trimmed()));
    s.parity = parity[0].toLatin1();

    const QString data = parts[2].trimmed();
    const int bits = data.toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return fail(QStringLiteral("data bits \"%1\" are not 5 to 8").arg(data));
    s.dataBits = bits;

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits10 = 10;
    else if (stop == QLatin1String("1.5"))
        s.stopBits10 = 15;
    else if (stop == QLatin1String("2"))
        s.stopBits10 = 20;
    else
        return fail(QStringLiteral("stop bits \"%1\" are not 1, 1.5 or 2").arg(stop));
    return s;
}

}  // namespace qm25
