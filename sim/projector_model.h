#pragma once
// Projector model of the QM25 simulator: the frame assembler for the serial
// byte stream and the projector state with its replies. Pure logic: time is
// always passed in by the caller, nothing here reads a clock or does I/O.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

#include "core/protocol.h"

namespace qm25::sim {

// Cuts the incoming byte stream into frames. A frame is the text up to a CR,
// the CR removed; LF bytes are dropped wherever they stand, so CR LF from a
// terminal ends a frame just like CR. A line that grows beyond the limit
// without a CR is thrown away up to and including its CR, so the buffer never
// holds more than `limit` bytes.
class FrameAssembler {
public:
    static constexpr qsizetype kDefaultLimit = 256;

    struct Output {
        QList<QByteArray> frames;  // whole frames, in order, CR removed
        qsizetype discarded = 0;   // bytes of overlong lines thrown away by this call
    };

    explicit FrameAssembler(qsizetype limit = kDefaultLimit);

    Output feed(QByteArrayView bytes);
    qsizetype pending() const { return buffer_.size(); }

private:
    QByteArray buffer_;
    qsizetype limit_;
    bool skipping_ = false;  // inside an overlong line, waiting for its CR
};

enum class Power { Standby, CountDown, On, Cooling, Fail };
enum class LampMode { Dual, SingleNo1, SingleNo2 };
// Image orientation; the status read answers "11", "10", "01", "00".
enum class Orientation { Normal, TopBottom, LeftRight, Both };
enum class Menu { Closed, Main, ImageAdjust };
enum class AvSize { Regular, Wide };
enum class SignalType { Rgb, Component, Scart, Auto, Video, SVideo };
enum class FanSpeed { Normal, Max };
enum class Logo { Off, Default, User };
enum class KeyLock { None, RemoteControl, Keypad };

struct ModelConfig {
    qint64 countDownMs = 3000;      // power on: count-down, then on
    qint64 coolingMs = 5000;        // power off: cooling, then stand-by
    qint64 lampHourMs = 3'600'000;  // lit time that makes one lamp hour
    int lampHours = 0;              // lamp hours at start
    int pressureCount = 853;        // air pressure sensor count, 0..1023 (853: about 1013 hPa)
    int input = 1;                  // 1 PC1, 2 PC2, 3 Video, 4 fourth input
    quint8 signalInputs = 0x07;     // bit k-1 set: input k carries a picture signal
    LampMode lampMode = LampMode::Dual;
    Orientation orientation = Orientation::Normal;
    bool lampFails = false;         // the lamp does not strike: count-down ends in power fail
    bool overheat = false;          // blocked air path: the lamp area runs past the warning limit
};

struct State {
    Power power = Power::Standby;
    int input = 1;
    bool soundMute = false;
    bool noShow = false;
    bool freeze = false;
    Menu menu = Menu::Closed;
    int menuRow = 0;                // cursor row while a menu is open
    int selects = 0;                // SELECT presses accepted
    AvSize avSize = AvSize::Regular;
    int imageMode = 1;              // 1..9: STAND, REAL, CINEMA, IMAGE1..4, B.Board, Dynamic
    std::array<SignalType, 3> signalType{SignalType::Rgb, SignalType::Rgb, SignalType::Auto};
    FanSpeed fan = FanSpeed::Normal;
    Logo logo = Logo::Default;
    bool userLogoCaptured = false;
    KeyLock keyLock = KeyLock::None;
    bool presentationTimer = false;
    int volume = 16;                // 0..32
    int brightness = 32;            // 0..64
    int zoom = 0;                   // 0..16 digital zoom steps
    int keystone = 0;               // -32..32
    std::array<double, 3> temperature{25.0, 25.0, 25.0};  // lamp area, exhaust, intake (deg C)
    bool temperatureWarning = false;
    qint64 litMs = 0;               // time the lamp has been lit since start

    bool operator==(const State &) const = default;
};

struct Reply {
    enum class Kind { Ack, Status, Refused, Unknown };
    Kind kind = Kind::Unknown;
    QByteArray bytes;  // what goes on the line, CR included
    QString note;      // what the frame did, for the trace
};

class ProjectorModel {
public:
    static constexpr double kWarningLimit = 85.0;  // lamp area temperature (deg C)

    explicit ProjectorModel(ModelConfig config = {}, qint64 nowMs = 0);

    // Runs time forward to nowMs, then applies one frame (CR removed).
    Reply handle(QByteArrayView frame, qint64 nowMs);

    // Runs time forward: count-down and cooling end, the lamp ages, the
    // temperatures move. Returns a note per power change. A time earlier than
    // the last one seen counts as no time passing.
    QStringList advance(qint64 nowMs);

    // When the next power change falls due by itself, if one is pending.
    std::optional<qint64> nextTransitionMs() const;

    const State &state() const { return state_; }
    const ModelConfig &config() const { return config_; }
    int lampHours() const;

    static QByteArray identification();  // reply text of CR9, without CR

private:
    Reply action(int code);
    Reply functionSetting(QByteArrayView frame);
    std::optional<QByteArray> statusRead(QByteArrayView frame) const;
    std::optional<Reply> refuseUnlessOn(const char *what) const;
    void powerOn();
    void powerOff();
    void setPower(Power power);
    void runSegment(qint64 fromMs, qint64 toMs);
    bool lampLit() const;
    std::array<double, 3> targetTemperatures() const;

    ModelConfig config_;
    State state_;
    qint64 lastMs_;
    qint64 powerDueMs_ = 0;  // end of count-down or cooling
};

const char *powerName(Power power);

}  // namespace qm25::sim
