#pragma once
#include <QString>
#include <optional>

namespace qm25 {

// Line settings text "speed,parity,data bits,stop bits", e.g. "19200,N,8,1".
struct LineSettings {
    int baud = 9600;
    char parity = 'N';  // N, E, O, M or S
    int dataBits = 8;   // 5 to 8
    int stopBits10 = 10;  // stop bits times ten: 10, 15 or 20
};

// Parses a settings text; on failure returns nothing and says why in *error.
std::optional<LineSettings> parseCommSettings(const QString &text, QString *error = nullptr);

}  // namespace qm25
