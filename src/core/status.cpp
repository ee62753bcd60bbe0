#include "core/status.h"

#include "core/render.h"

#include <QJsonArray>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

namespace qm25 {
namespace {

// A two-character reply code (a single character for the input) and what
// it stands for, with the STATUS line's text for it.
template <class T> struct Coded {
    std::u16string_view key;
    T value;
    std::u16string_view text;
};

constexpr Coded<PowerCode> kPowerCodes[] = {
    {u"00", PowerCode::On, u" Power ON"},
    {u"80", PowerCode::Standby, u" Stand by"},
    {u"40", PowerCode::CountDown, u" Count down"},
    {u"20", PowerCode::CoolingDown, u" Cooling down"},
    {u"10", PowerCode::PowerFail, u" Power Fail"},
    {u"08", PowerCode::TemperatureWarning, u" Temperature Warning"},
    {u"02", PowerCode::NoKeyInput, u" NO Key input "},
    {u"04", PowerCode::LampOffByPowerManagement, u" Lamp OFF by PWR Management"},
    {u"28", PowerCode::TemperatureWarningCoolingDown, u" Temperature Warning & cooling down"},
    {u"24", PowerCode::CoolingDownPowerManagement, u"Cooling down  PWR Management"},
    {u"88", PowerCode::TemperatureWarningRecovered, u" Temperature Warning and recoverd"},
    {u"21", PowerCode::CoolingDownAllLampsFailed, u" Cooling down (All Lamp FAIL)"},
    {u"81", PowerCode::StandbyAllLampsFailed, u" Cooling down & sutandby (All Lamp FAIL)"},
};

constexpr Coded<int> kInputs[] = {
    {u"1", 1, u" Computer 1"},
    {u"2", 2, u" Computer 2"},
    {u"3", 3, u" Video"},
    {u"4", 4, u" Input mode 4"},
};

constexpr Coded<Orientation> kOrientations[] = {
    {u"11", Orientation::Normal, u" Normally"},
    {u"10", Orientation::TopBottom, u" Top/Bottom reversal"},
    {u"01", Orientation::LeftRight, u" Left/Right reversal"},
    {u"00", Orientation::Both, u" Top/Bottom , Left/Right reversal"},
};

constexpr Coded<MuteSignal> kMuteSignals[] = {
    {u"00", MuteSignal::MuteOff, u" Video & Audio mute OFF"},
    {u"01", MuteSignal::VideoMute, u" Video mute ON"},
    {u"02", MuteSignal::AudioMute, u" Audio mute ON"},
    {u"03", MuteSignal::VideoAudioMute, u" Video & Audio mute ON"},
    {u"80", MuteSignal::NoSignal, u" No signal"},
    {u"FF", MuteSignal::Standby, u" Stand by"},
};

struct LampState {
    LampMode mode;
    bool lamp1Lit, lamp2Lit;
    bool operator==(const LampState &) const = default;
};
constexpr Coded<LampState> kLampModes[] = {
    {u"00", {LampMode::TwoLamps, false, false}, u" All OFF : 2 Lamp mode"},
    {u"01", {LampMode::TwoLamps, true, false}, u" No1 ON  : 2 Lamp mode"},
    {u"02", {LampMode::TwoLamps, false, true}, u" No2 ON  : 2 Lamp mode"},
    {u"03", {LampMode::TwoLamps, true, true}, u" No1,2 ON  : 2 Lamp mode"},
    {u"10", {LampMode::Lamp1Only, false, false}, u" All OFF : 1 Lamp mode(No1 USE)"},
    {u"11", {LampMode::Lamp1Only, true, false}, u" No1 ON  : 1 Lamp mode(No1 USE)"},
    {u"20", {LampMode::Lamp2Only, false, false}, u" All OFF : 1 Lamp mode(No2 USE)"},
    {u"22", {LampMode::Lamp2Only, false, true}, u" No2 ON  : 1 Lamp mode(No2 USE)"},
};

QStringView view(std::u16string_view s) { return QStringView(s.data(), qsizetype(s.size())); }

// The row whose code the reply starts with. Only the reply's first
// characters count, whatever follows them.
template <class T, std::size_t N> const Coded<T> *byKey(const Coded<T> (&table)[N], QStringView received)
{
    for (const Coded<T> &row : table)
        if (received.startsWith(view(row.key)))
            return &row;
    return nullptr;
}

template <class T, std::size_t N> QStringView textOf(const Coded<T> (&table)[N], const T &value)
{
    for (const Coded<T> &row : table)
        if (row.value == value)
            return view(row.text);
    return {};
}

// The reply without its CR and whatever came after it.
QStringView body(QStringView received)
{
    const qsizetype cr = received.indexOf(QLatin1Char(kCr));
    return cr < 0 ? received : received.left(cr);
}

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

constexpr std::pair<char16_t, PowerPhase> kPhaseDigits[] = {
    {u'0', PowerPhase::On},      {u'8', PowerPhase::Standby}, {u'4', PowerPhase::CountDown},
    {u'2', PowerPhase::Cooling}, {u'1', PowerPhase::Fail},
};

std::optional<PowerStatus> readPower(QStringView received)
{
    if (received.size() < 2)
        return std::nullopt;
    const int warnings = hexValue(received[1]);
    const auto phase = std::find_if(std::begin(kPhaseDigits), std::end(kPhaseDigits),
                                    [&](const auto &d) { return d.first == received[0].unicode(); });
    if (warnings < 0 || phase == std::end(kPhaseDigits))
        return std::nullopt;
    PowerStatus s{phase->second, warnings, std::nullopt};
    if (const auto *row = byKey(kPowerCodes, received))
        s.code = row->value;
    return s;
}

char16_t phaseDigit(PowerPhase phase)
{
    for (const auto &[digit, p] : kPhaseDigits)
        if (p == phase)
            return digit;
    return u'?';
}

std::optional<LampHoursStatus> readLampHours(QStringView received)
{
    const QStringView digits = body(received);
    if (digits.isEmpty() || digits.size() > 9
        || !std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    return LampHoursStatus{digits.toInt()};
}

// The three temperatures stand at the reply's characters 1-5, 8-11 and
// 13-17, where the STATUS line takes them from.
std::optional<TemperatureStatus> readTemperatures(QStringView received)
{
    const QStringView text = body(received);
    TemperatureStatus t;
    const std::pair<qsizetype, qsizetype> fields[] = {{0, 5}, {7, 4}, {12, 5}};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto [from, length] = fields[i];
        if (from >= text.size())
            return std::nullopt;
        const QStringView field = text.mid(from, length).trimmed();
        bool ok = false;
        const double value = field.toDouble(&ok);
        if (!ok || !std::isfinite(value)
            || !std::all_of(field.begin(), field.end(), [](QChar c) { return c == u'.' || c == u'-' || c.isDigit(); }))
            return std::nullopt;
        t.celsius[i] = value;
    }
    return t;
}

// Characters first..last (counted from 1) of text; shortened where the
// text ends before last, empty where it ends before first.
QStringView stretch(QStringView text, qsizetype first, qsizetype last)
{
    const qsizetype from = first - 1;
    if (from >= text.size())
        return {};
    return text.sliced(from, std::min(last, text.size()) - from);
}

QString temperatureLine(QStringView rendered)
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
    return line;
}

bool fitsInt16(double value)
{
    // Written so that NaN fails as well.
    return value >= std::numeric_limits<qint16>::min() && value <= std::numeric_limits<qint16>::max();
}

// The number at the start of the rendered reply, times five in 16-bit
// arithmetic, turned into hPa; nothing where a 16-bit step would overflow.
std::optional<int> pressureOf(QStringView rendered)
{
    const double read = roundHalfEven(readLeadingNumber(rendered));
    if (!fitsInt16(read))
        return std::nullopt;
    const int count = static_cast<qint16>(read) * 5;
    if (!fitsInt16(count))
        return std::nullopt;
    // With |count| <= 32768 the result stays within about +-7100, so this
    // check only guards against a change of the constants.
    const double hPa = roundHalfEven((count / 1024.0 - 0.204) / 0.00459 + 150.0);
    if (!fitsInt16(hPa))
        return std::nullopt;
    return int(hPa);
}

}  // namespace

std::optional<StatusValue> readStatus(Reading reading, QStringView received)
{
    switch (reading) {
    case Reading::Acknowledgement:
        break;
    case Reading::Power:
        if (const auto s = readPower(received))
            return *s;
        break;
    case Reading::Input:
        if (const auto *row = byKey(kInputs, received))
            return InputStatus{row->value};
        break;
    case Reading::LampHours:
        if (const auto s = readLampHours(received))
            return *s;
        break;
    case Reading::Orientation:
        if (const auto *row = byKey(kOrientations, received))
            return OrientationStatus{row->value};
        break;
    case Reading::Temperatures:
        if (const auto s = readTemperatures(received))
            return *s;
        break;
    case Reading::MuteSignal:
        if (const auto *row = byKey(kMuteSignals, received))
            return MuteSignalStatus{row->value};
        break;
    case Reading::LampMode:
        if (const auto *row = byKey(kLampModes, received))
            return LampModeStatus{row->value.mode, row->value.lamp1Lit, row->value.lamp2Lit};
        break;
    case Reading::Identification:
        if (const QStringView text = body(received); !text.isEmpty())
            return IdentificationStatus{text.toString()};
        break;
    case Reading::Pressure:
        if (const auto hPa = pressureOf(renderText(received)))
            return PressureStatus{*hPa};
        break;
    }
    return std::nullopt;
}

std::optional<QString> statusLine(Reading reading, QStringView received, QStringView rendered)
{
    switch (reading) {
    case Reading::Acknowledgement:
        return std::nullopt;
    case Reading::Power:
    case Reading::Input:
    case Reading::Orientation:
    case Reading::MuteSignal:
    case Reading::LampMode: {
        const auto value = readStatus(reading, received);
        if (!value)
            return std::nullopt;
        if (const auto *power = std::get_if<PowerStatus>(&*value)) {
            if (!power->code)
                return std::nullopt;  // two digits that are no row of the table
            return textOf(kPowerCodes, *power->code).toString();
        }
        if (const auto *input = std::get_if<InputStatus>(&*value))
            return textOf(kInputs, input->input).toString();
        if (const auto *o = std::get_if<OrientationStatus>(&*value))
            return textOf(kOrientations, o->orientation).toString();
        if (const auto *m = std::get_if<MuteSignalStatus>(&*value))
            return textOf(kMuteSignals, m->state).toString();
        const auto &lamp = std::get<LampModeStatus>(*value);
        return textOf(kLampModes, LampState{lamp.mode, lamp.lamp1Lit, lamp.lamp2Lit}).toString();
    }
    case Reading::LampHours:
        // The digits are not converted: the line shows the rendered reply.
        return rendered.left(38).toString() + QLatin1String(" Hour Use");
    case Reading::Temperatures:
        return temperatureLine(rendered);
    case Reading::Identification:
        return rendered.toString();
    case Reading::Pressure:
        if (const auto hPa = pressureOf(rendered))
            return QString::number(*hPa) + QLatin1String(" hPa");
        return kPressureOutOfRange;
    }
    return std::nullopt;
}

QString phaseName(PowerPhase phase)
{
    switch (phase) {
    case PowerPhase::On: return QStringLiteral("on");
    case PowerPhase::Standby: return QStringLiteral("standby");
    case PowerPhase::CountDown: return QStringLiteral("count-down");
    case PowerPhase::Cooling: return QStringLiteral("cooling");
    case PowerPhase::Fail: return QStringLiteral("fail");
    case PowerPhase::None: break;
    }
    return QStringLiteral("unknown");
}

QString plainText(const StatusValue &value)
{
    const auto trimmed = [](QStringView text) { return text.trimmed().toString(); };
    if (const auto *p = std::get_if<PowerStatus>(&value))
        return p->code ? trimmed(textOf(kPowerCodes, *p->code)) : phaseName(p->phase);
    if (const auto *i = std::get_if<InputStatus>(&value))
        return trimmed(textOf(kInputs, i->input));
    if (const auto *h = std::get_if<LampHoursStatus>(&value))
        return QStringLiteral("%1 h").arg(h->hours);
    if (const auto *o = std::get_if<OrientationStatus>(&value))
        return trimmed(textOf(kOrientations, o->orientation));
    if (const auto *t = std::get_if<TemperatureStatus>(&value))
        return QStringLiteral("%1 / %2 / %3 °C")
            .arg(t->celsius[0], 0, 'f', 1)
            .arg(t->celsius[1], 0, 'f', 1)
            .arg(t->celsius[2], 0, 'f', 1);
    if (const auto *m = std::get_if<MuteSignalStatus>(&value))
        return trimmed(textOf(kMuteSignals, m->state));
    if (const auto *l = std::get_if<LampModeStatus>(&value))
        return trimmed(textOf(kLampModes, LampState{l->mode, l->lamp1Lit, l->lamp2Lit}));
    if (const auto *id = std::get_if<IdentificationStatus>(&value))
        return id->text;
    return QStringLiteral("%1 hPa").arg(std::get<PressureStatus>(value).hPa);
}

QJsonObject toJson(const StatusValue &value)
{
    if (const auto *p = std::get_if<PowerStatus>(&value)) {
        const QString code = QString(QChar(phaseDigit(p->phase))) + QString::number(p->warnings, 16).toUpper();
        return {{"state", phaseName(p->phase)},
                {"code", code},
                {"temperature_warning", bool(p->warnings & kTemperatureWarning)},
                {"power_management", bool(p->warnings & kPowerManagement)},
                {"no_key_input", bool(p->warnings & kNoKeyInput)},
                {"all_lamps_failed", bool(p->warnings & kAllLampsFailed)}};
    }
    if (const auto *i = std::get_if<InputStatus>(&value))
        return {{"input", i->input}, {"name", textOf(kInputs, i->input).trimmed().toString()}};
    if (const auto *h = std::get_if<LampHoursStatus>(&value))
        return {{"hours", h->hours}};
    if (const auto *o = std::get_if<OrientationStatus>(&value)) {
        static const char *const names[] = {"normal", "top-bottom-reversed", "left-right-reversed", "both-reversed"};
        return {{"orientation", QLatin1String(names[int(o->orientation)])}};
    }
    if (const auto *t = std::get_if<TemperatureStatus>(&value))
        return {{"celsius", QJsonArray{t->celsius[0], t->celsius[1], t->celsius[2]}}};
    if (const auto *m = std::get_if<MuteSignalStatus>(&value)) {
        static const char *const names[] = {"mute-off", "video-mute", "audio-mute", "video-audio-mute", "no-signal",
                                            "standby"};
        const bool muteKnown = m->state != MuteSignal::NoSignal && m->state != MuteSignal::Standby;
        const auto known = [&](bool b) { return muteKnown ? QJsonValue(b) : QJsonValue(QJsonValue::Null); };
        return {{"state", QLatin1String(names[int(m->state)])},
                {"video_mute", known(m->state == MuteSignal::VideoMute || m->state == MuteSignal::VideoAudioMute)},
                {"audio_mute", known(m->state == MuteSignal::AudioMute || m->state == MuteSignal::VideoAudioMute)},
                {"signal", m->state == MuteSignal::Standby ? QJsonValue(QJsonValue::Null)
                                                           : QJsonValue(m->state != MuteSignal::NoSignal)}};
    }
    if (const auto *l = std::get_if<LampModeStatus>(&value)) {
        static const char *const names[] = {"two-lamps", "lamp-1", "lamp-2"};
        return {{"mode", QLatin1String(names[int(l->mode)])}, {"lit", QJsonArray{l->lamp1Lit, l->lamp2Lit}}};
    }
    if (const auto *id = std::get_if<IdentificationStatus>(&value))
        return {{"text", id->text}};
    return {{"hpa", std::get<PressureStatus>(value).hPa}};
}

namespace {

bool isSkippedInNumber(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

}  // namespace

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

QLatin1String inputKey(int input)
{
    static constexpr const char *kKeys[] = {"pc1", "pc2", "video", "input4"};
    return input >= 1 && input <= 4 ? QLatin1String(kKeys[input - 1]) : QLatin1String();
}

}  // namespace qm25
