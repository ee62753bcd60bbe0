#pragma once
#include <QString>
#include <QStringView>
#include <optional>

namespace qm25 {

// Outcome of decoding one rendered reply against the last frame sent.
struct StatusDecode {
    std::optional<QString> status;        // new text for the STATUS line; empty = leave it
    std::optional<qint16> pressureValue;  // new value of PressureValue, when the pressure read ran
};

// Text shown when a pressure reading does not fit the 16-bit arithmetic.
inline const QString kPressureOutOfRange = QStringLiteral(" Pressure out of range");

// Decodes the rendered reply when sendText is exactly prefix & query & CR for
// one of the nine status queries; otherwise returns an empty result.
StatusDecode decodeStatus(QStringView rendered, QStringView sendText, QStringView prefix);

// The number at the start of a text, read the way the pressure decoding
// reads it (blanks, tabs and line feeds skipped anywhere; sign, digits,
// decimal point, exponent with E or D). Text without a number gives 0.
double readLeadingNumber(QStringView text);

// Round half to even.
double roundHalfEven(double value);

}  // namespace qm25
