#pragma once
// The projector's status replies: read as typed values for programs, and
// turned into the STATUS line's plain English for the panel.
#include <QJsonObject>
#include <QString>
#include <QStringView>
#include <array>
#include <optional>
#include <variant>

#include "core/catalogue.h"

namespace qm25 {

// The power read's thirteen codes.
enum class PowerCode {
    On,                             // 00
    Standby,                        // 80
    CountDown,                      // 40
    CoolingDown,                    // 20
    PowerFail,                      // 10
    TemperatureWarning,             // 08
    NoKeyInput,                     // 02
    LampOffByPowerManagement,       // 04
    TemperatureWarningCoolingDown,  // 28
    CoolingDownPowerManagement,     // 24
    TemperatureWarningRecovered,    // 88
    CoolingDownAllLampsFailed,      // 21
    StandbyAllLampsFailed,          // 81
};

// The power read's second digit: a set of warnings.
enum PowerWarning : int {
    kAllLampsFailed = 1,
    kNoKeyInput = 2,
    kPowerManagement = 4,
    kTemperatureWarning = 8,
};

struct PowerStatus {
    PowerPhase phase = PowerPhase::None;  // the first digit
    int warnings = 0;                     // the second digit, PowerWarning bits
    std::optional<PowerCode> code;        // when the two digits are one of the thirteen
};

struct InputStatus {
    int input = 0;  // 1 Computer 1, 2 Computer 2, 3 Video, 4 input mode 4
};

struct LampHoursStatus {
    int hours = 0;
};

enum class Orientation { Normal, TopBottom, LeftRight, Both };
struct OrientationStatus {
    Orientation orientation = Orientation::Normal;
};

struct TemperatureStatus {
    std::array<double, 3> celsius{};  // the three sensors, in the order the reply gives them
};

enum class MuteSignal { MuteOff, VideoMute, AudioMute, VideoAudioMute, NoSignal, Standby };
struct MuteSignalStatus {
    MuteSignal state = MuteSignal::MuteOff;
};

enum class LampMode { TwoLamps, Lamp1Only, Lamp2Only };
struct LampModeStatus {
    LampMode mode = LampMode::TwoLamps;
    bool lamp1Lit = false;
    bool lamp2Lit = false;
};

struct IdentificationStatus {
    QString text;
};

struct PressureStatus {
    int hPa = 0;
};

using StatusValue = std::variant<PowerStatus, InputStatus, LampHoursStatus, OrientationStatus, TemperatureStatus,
                                 MuteSignalStatus, LampModeStatus, IdentificationStatus, PressureStatus>;

// A value as the type it has when it is one, or nullptr (also for nothing).
template <class T>
const T *statusAs(const std::optional<StatusValue> &value)
{
    return value ? std::get_if<T>(&*value) : nullptr;
}

// What a status reply says, as a typed value: `received` is the reply as it
// came (its CR and anything after it are not part of the value). Nothing
// when the reply does not read as its kind of status.
std::optional<StatusValue> readStatus(Reading reading, QStringView received);

// The STATUS line for a reply, given as received and as rendered; nothing
// where the line is to keep what it shows. The tables' texts are made from
// the typed value; the lamp time, temperature and identification lines show
// the reply's own characters, and the pressure line the number read from
// the rendered reply.
std::optional<QString> statusLine(Reading reading, QStringView received, QStringView rendered);

// The value in plain words for a person: "12345 h", "25.0 / 26.5 / 25.0 °C".
QString plainText(const StatusValue &value);
// An input's short name, as its commands ("input pc2"), dashboards and
// metrics give it: "pc1", "pc2", "video", "input4"; empty for no input.
QLatin1String inputKey(int input);
// The value's typed fields, numbers as numbers.
QJsonObject toJson(const StatusValue &value);
// The power phase in words: "on", "standby", "count-down", "cooling", "fail".
QString phaseName(PowerPhase phase);

// Text shown when a pressure reading does not fit the 16-bit arithmetic.
inline const QString kPressureOutOfRange = QStringLiteral(" Pressure out of range");

// The number at the start of a text, read the way the pressure decoding
// reads it (blanks, tabs and line feeds skipped anywhere; sign, digits,
// decimal point, exponent with E or D). Text without a number gives 0.
double readLeadingNumber(QStringView text);

// Round half to even.
double roundHalfEven(double value);

}  // namespace qm25
