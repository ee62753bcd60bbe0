#include "core/status_decode.h"

#include "core/command_table.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <system_error>

namespace qm25 {
namespace {

// A code in rendered form (" 0 0" for a reply starting "00") and the text
// shown on the STATUS line for it.
struct KeyedText {
    QStringView key;
    QStringView text;
};

constexpr std::array<KeyedText, 13> kPowerTable{{
    {u" 0 0", u" Power ON"},
    {u" 8 0", u" Stand by"},
    {u" 4 0", u" Count down"},
    {u" 2 0", u" Cooling down"},
    {u" 1 0", u" Power Fail"},
    {u" 0 8", u" Temperature Warning"},
    {u" 0 2", u" NO Key input "},
    {u" 0 4", u" Lamp OFF by PWR Management"},
    {u" 2 8", u" Temperature Warning & cooling down"},
    {u" 2 4", u"Cooling down  PWR Management"},
    {u" 8 8", u" Temperature Warning and recoverd"},
    {u" 2 1", u" Cooling down (All Lamp FAIL)"},
    {u" 8 1", u" Cooling down & sutandby (All Lamp FAIL)"},
}};

constexpr std::array<KeyedText, 4> kInputTable{{
    {u" 1", u" Computer 1"},
    {u" 2", u" Computer 2"},
    {u" 3", u" Video"},
    {u" 4", u" Input mode 4"},
}};

constexpr std::array<KeyedText, 4> kOrientationTable{{
    {u" 1 1", u" Normally"},
    {u" 1 0", u" Top/Bottom reversal"},
    {u" 0 1", u" Left/Right reversal"},
    {u" 0 0", u" Top/Bottom , Left/Right reversal"},
}};

constexpr std::array<KeyedText, 6> kMuteSignalTable{{
    {u" 0 0", u" Video & Audio mute OFF"},
    {u" 0 1", u" Video mute ON"},
    {u" 0 2", u" Audio mute ON"},
    {u" 0 3", u" Video & Audio mute ON"},
    {u" 8 0", u" No signal"},
    {u" F F", u" Stand by"},
}};

constexpr std::array<KeyedText, 8> kLampModeTable{{
    {u" 0 0", u" All OFF : 2 Lamp mode"},
    {u" 0 1", u" No1 ON  : 2 Lamp mode"},
    {u" 0 2", u" No2 ON  : 2 Lamp mode"},
    {u" 0 3", u" No1,2 ON  : 2 Lamp mode"},
    {u" 1 0", u" All OFF : 1 Lamp mode(No1 USE)"},
    {u" 1 1", u" No1 ON  : 1 Lamp mode(No1 USE)"},
    {u" 2 0", u" All OFF : 1 Lamp mode(No2 USE)"},
    {u" 2 2", u" No2 ON  : 1 Lamp mode(No2 USE)"},
}};

// Characters first..last (counted from 1) of text; shortened where the
// text ends before last, empty where it ends before first.
QStringView stretch(QStringView text, qsizetype first, qsizetype last)
{
    const qsizetype from = first - 1;
    if (from >= text.size())
        return {};
    return text.sliced(from, std::min(last, text.size()) - from);
}

StatusDecode lookUp(std::span<const KeyedText> table, qsizetype keyLength, QStringView rendered)
{
    const QStringView key = rendered.left(keyLength);
    for (const KeyedText &row : table) {
        if (row.key == key)
            return {row.text.toString(), std::nullopt};
    }
    return {};
}

StatusDecode decodePower(QStringView rendered) { return lookUp(kPowerTable, 4, rendered); }
StatusDecode decodeInput(QStringView rendered) { return lookUp(kInputTable, 2, rendered); }
StatusDecode decodeOrientation(QStringView rendered) { return lookUp(kOrientationTable, 4, rendered); }
StatusDecode decodeMuteSignal(QStringView rendered) { return lookUp(kMuteSignalTable, 4, rendered); }
StatusDecode decodeLampMode(QStringView rendered) { return lookUp(kLampModeTable, 4, rendered); }

// The lamp hours are not converted: the line shows the rendered digits.
StatusDecode decodeLampHours(QStringView rendered)
{
    QString line = rendered.left(38).toString();
    line += QLatin1String(" Hour Use");
    return {line, std::nullopt};
}

// The three temperatures stand at fixed places of the rendered reply:
// reply characters 1-5, 8-11 and 13-17.
StatusDecode decodeTemperatures(QStringView rendered)
{
    QString line;
    line.reserve(64);
    line += QLatin1String("  S1=");
    line += stretch(rendered, 1, 10);
    line += QLatin1String(" C  ,   S2= ");
    line += stretch(rendered, 15, 22);
    line += QLatin1String(" C , S3=");
    line += stretch(rendered, 25, 34);
    line += QLatin1String(" C");
    return {line, std::nullopt};
}

StatusDecode decodeCopy(QStringView rendered)
{
    return {rendered.toString(), std::nullopt};
}

bool fitsInt16(double value)
{
    // Written so that NaN fails as well.
    return value >= std::numeric_limits<qint16>::min() && value <= std::numeric_limits<qint16>::max();
}

// The number at the start of the reply, times five in 16-bit arithmetic,
// is turned into hPa. A value that would overflow a 16-bit step is reported
// as out of range instead of being wrapped.
StatusDecode decodePressure(QStringView rendered)
{
    const StatusDecode outOfRange{kPressureOutOfRange, std::nullopt};

    const double read = roundHalfEven(readLeadingNumber(rendered));
    if (!fitsInt16(read))
        return outOfRange;
    const auto value = static_cast<qint16>(read);

    const int count = value * 5;
    if (!fitsInt16(count))
        return outOfRange;

    // With |count| <= 32768 the result stays within about +-7100, so this
    // check only guards against a change of the constants.
    const double hPa = roundHalfEven((count / 1024.0 - 0.204) / 0.00459 + 150.0);
    if (!fitsInt16(hPa))
        return outOfRange;
    const auto pressure = static_cast<qint16>(hPa);

    return {QString::number(pressure) + QLatin1String(" hPa"), pressure};
}

using Decoder = StatusDecode (*)(QStringView rendered);

Decoder decoderFor(QLatin1String query)
{
    struct Entry {
        QLatin1String query;
        Decoder decode;
    };
    static const std::array<Entry, 9> kDecoders{{
        {QLatin1String("CR0"), decodePower},
        {QLatin1String("CR1"), decodeInput},
        {QLatin1String("CR4"), decodeOrientation},
        {QLatin1String("CR3"), decodeLampHours},
        {QLatin1String("CR6"), decodeTemperatures},
        {QLatin1String("CRA"), decodeMuteSignal},
        {QLatin1String("CR9"), decodeCopy},
        {QLatin1String("CR PRESSURE"), decodePressure},
        {QLatin1String("CR7"), decodeLampMode},
    }};
    for (const Entry &entry : kDecoders) {
        if (entry.query == query)
            return entry.decode;
    }
    return nullptr;
}

// sendText is exactly prefix & query & CR, case included.
bool isFrameOf(QStringView sendText, QStringView prefix, QLatin1String query)
{
    return sendText.size() == prefix.size() + query.size() + 1
        && sendText.startsWith(prefix)
        && sendText.sliced(prefix.size(), query.size()) == query
        && sendText.back() == u'\r';
}

bool isSkippedInNumber(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

}  // namespace

StatusDecode decodeStatus(QStringView rendered, QStringView sendText, QStringView prefix)
{
    for (const char *name : statusQueries()) {
        const QLatin1String query(name);
        if (!isFrameOf(sendText, prefix, query))
            continue;
        const Decoder decode = decoderFor(query);
        return decode ? decode(rendered) : StatusDecode{};
    }
    return {};
}

double readLeadingNumber(QStringView text)
{
    const char16_t *p = text.utf16();
    const char16_t *const end = p + text.size();
    // Next character that is not skipped, or 0 at the end; p is left on it.
    const auto peek = [&]() -> char16_t {
        while (p != end && isSkippedInNumber(*p))
            ++p;
        return p == end ? char16_t(0) : *p;
    };
    const auto isDigit = [](char16_t c) { return c >= u'0' && c <= u'9'; };

    bool negative = false;
    if (const char16_t c = peek(); c == u'+' || c == u'-') {
        negative = c == u'-';
        ++p;
    }

    // Mantissa as ASCII for the conversion: digits, '.', digits.
    std::string mantissa;
    bool anyDigit = false;
    for (char16_t c = peek(); isDigit(c); c = peek()) {
        mantissa += static_cast<char>(c);
        anyDigit = true;
        ++p;
    }
    const std::size_t pointAt = mantissa.size();
    mantissa += '.';
    if (peek() == u'.') {
        ++p;
        for (char16_t c = peek(); isDigit(c); c = peek()) {
            mantissa += static_cast<char>(c);
            anyDigit = true;
            ++p;
        }
    }
    if (!anyDigit)
        return 0.0;

    // Exponent: only taken when at least one digit follows the letter and
    // its sign; otherwise the number ends before the letter.
    long exponent = 0;
    if (const char16_t c = peek(); c == u'E' || c == u'e' || c == u'D' || c == u'd') {
        ++p;
        bool negativeExponent = false;
        if (const char16_t s = peek(); s == u'+' || s == u'-') {
            negativeExponent = s == u'-';
            ++p;
        }
        constexpr long kExponentCap = 1'000'000;  // far beyond any double
        for (char16_t d = peek(); isDigit(d); d = peek()) {
            exponent = std::min(kExponentCap, exponent * 10 + (d - u'0'));
            ++p;
        }
        if (negativeExponent)
            exponent = -exponent;
    }

    std::string number = mantissa;
    number += 'e';
    number += std::to_string(exponent);

    double value = 0.0;
    const std::errc ec = std::from_chars(number.data(), number.data() + number.size(), value).ec;
    if (ec == std::errc::result_out_of_range) {
        // Overflow or underflow: tell them apart by the decimal order of the
        // first significant digit.
        const std::size_t firstSignificant = mantissa.find_first_not_of("0.");
        if (firstSignificant == std::string::npos) {
            value = 0.0;
        } else {
            const long order = firstSignificant < pointAt
                ? static_cast<long>(pointAt - firstSignificant) - 1
                : -static_cast<long>(firstSignificant - pointAt);
            value = order + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
        }
    } else if (ec != std::errc{}) {
        value = 0.0;
    }
    return negative ? -value : value;
}

double roundHalfEven(double value)
{
    const double below = std::floor(value);
    const double fraction = value - below;  // exact for every finite double
    if (fraction < 0.5)
        return below;
    if (fraction > 0.5)
        return below + 1.0;
    return std::fmod(below, 2.0) == 0.0 ? below : below + 1.0;
}

}  // namespace qm25
