#include "projector_model.h"

#include <algorithm>
#include <utility>

namespace qm25::sim {

// ---------------------------------------------------------------------------
// Frame assembler

FrameAssembler::FrameAssembler(qsizetype limit) : limit_(std::max<qsizetype>(limit, 1)) {}

FrameAssembler::Output FrameAssembler::feed(QByteArrayView bytes)
{
    Output out;
    for (const char byte : bytes) {
        if (byte == kLf)
            continue;
        if (byte == kCr) {
            if (skipping_)
                skipping_ = false;  // the overlong line ends here; its CR goes with it
            else
                out.frames.append(std::exchange(buffer_, {}));
            continue;
        }
        if (skipping_) {
            ++out.discarded;
            continue;
        }
        buffer_.append(byte);
        if (buffer_.size() > limit_) {
            out.discarded += buffer_.size();
            buffer_.clear();
            skipping_ = true;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Projector model

namespace {

constexpr int kMaxLampHours = 99999;
constexpr double kAmbient = 25.0;
constexpr double kDegreesPerSecond = 1.0;  // how fast every sensor follows its target

Reply ack(QString note)
{
    return {Reply::Kind::Ack, bytes(kAckReply).toByteArray(), std::move(note)};
}

Reply refusal(QString note)
{
    return {Reply::Kind::Refused, bytes(kNakReply).toByteArray(), std::move(note)};
}

Reply unknown()
{
    return {Reply::Kind::Unknown, bytes(kErrReply).toByteArray(), QStringLiteral("unknown code")};
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;  // lower case is no code of the projector
}

int step(int value, int delta, int low, int high) { return std::clamp(value + delta, low, high); }

double approach(double value, double target, double maxChange)
{
    if (value < target)
        return std::min(value + maxChange, target);
    return std::max(value - maxChange, target);
}

const char *signalTypeName(SignalType type)
{
    switch (type) {
    case SignalType::Rgb: return "RGB";
    case SignalType::Component: return "Component";
    case SignalType::Scart: return "Scart";
    case SignalType::Auto: return "Auto";
    case SignalType::Video: return "Video";
    case SignalType::SVideo: return "S-Video";
    }
    return "?";
}

}  // namespace

const char *powerName(Power power)
{
    switch (power) {
    case Power::Standby: return "stand-by";
    case Power::CountDown: return "count-down";
    case Power::On: return "on";
    case Power::Cooling: return "cooling";
    case Power::Fail: return "power fail";
    }
    return "?";
}

ProjectorModel::ProjectorModel(ModelConfig config, qint64 nowMs)
    : config_(config), lastMs_(nowMs)
{
    config_.countDownMs = std::max<qint64>(config_.countDownMs, 0);
    config_.coolingMs = std::max<qint64>(config_.coolingMs, 0);
    config_.lampHourMs = std::max<qint64>(config_.lampHourMs, 1);
    config_.lampHours = std::clamp(config_.lampHours, 0, kMaxLampHours);
    config_.pressureCount = std::clamp(config_.pressureCount, 0, 1023);
    state_.input = std::clamp(config_.input, 1, 4);
}

QByteArray ProjectorModel::identification() { return QByteArrayLiteral("QM25 SIM 1.40"); }

int ProjectorModel::lampHours() const
{
    const qint64 hours = config_.lampHours + state_.litMs / config_.lampHourMs;
    return static_cast<int>(std::min<qint64>(hours, kMaxLampHours));
}

bool ProjectorModel::lampLit() const
{
    return state_.power == Power::CountDown || state_.power == Power::On;
}

std::array<double, 3> ProjectorModel::targetTemperatures() const
{
    if (!lampLit())
        return {kAmbient, kAmbient, kAmbient};
    const bool max = state_.fan == FanSpeed::Max;
    const double lamp = config_.overheat ? 95.0 : (max ? 58.0 : 65.0);
    return {lamp, max ? 38.0 : 42.0, max ? 26.0 : 27.0};
}

std::optional<qint64> ProjectorModel::nextTransitionMs() const
{
    if (state_.power == Power::CountDown || state_.power == Power::Cooling)
        return powerDueMs_;
    return std::nullopt;
}

void ProjectorModel::runSegment(qint64 fromMs, qint64 toMs)
{
    const qint64 span = toMs - fromMs;
    if (span <= 0)
        return;
    if (lampLit())
        state_.litMs += span;
    const auto target = targetTemperatures();
    const double change = kDegreesPerSecond * static_cast<double>(span) / 1000.0;
    for (std::size_t i = 0; i < target.size(); ++i)
        state_.temperature[i] = approach(state_.temperature[i], target[i], change);
    // Temperatures move monotonically within a segment, so the end shows any crossing.
    if (lampLit() && state_.temperature[0] > kWarningLimit)
        state_.temperatureWarning = true;
}

void ProjectorModel::setPower(Power power)
{
    state_.power = power;
    if (power == Power::CountDown)
        powerDueMs_ = lastMs_ + config_.countDownMs;
    else if (power == Power::Cooling)
        powerDueMs_ = lastMs_ + config_.coolingMs;
    if (power != Power::On) {
        // The picture is gone: what only lives on screen goes with it.
        state_.freeze = false;
        state_.menu = Menu::Closed;
        state_.menuRow = 0;
    }
}

QStringList ProjectorModel::advance(qint64 nowMs)
{
    QStringList notes;
    nowMs = std::max(nowMs, lastMs_);
    for (;;) {
        const auto due = nextTransitionMs();
        if (!due || *due > nowMs) {
            runSegment(lastMs_, nowMs);
            lastMs_ = nowMs;
            return notes;
        }
        runSegment(lastMs_, *due);
        lastMs_ = *due;
        if (state_.power == Power::CountDown)
            setPower(config_.lampFails ? Power::Fail : Power::On);
        else
            setPower(Power::Standby);
        notes << QStringLiteral("power %1").arg(QLatin1String(powerName(state_.power)));
    }
}

void ProjectorModel::powerOn()
{
    state_.temperatureWarning = false;
    setPower(Power::CountDown);
}

void ProjectorModel::powerOff() { setPower(Power::Cooling); }

std::optional<Reply> ProjectorModel::refuseUnlessOn(const char *what) const
{
    if (state_.power == Power::On)
        return std::nullopt;
    return refusal(QStringLiteral("refused (%1): %2")
                       .arg(QLatin1String(powerName(state_.power)), QLatin1String(what)));
}

Reply ProjectorModel::handle(QByteArrayView frame, qint64 nowMs)
{
    advance(nowMs);
    Reply reply;
    if (frame.startsWith("CR")) {
        if (auto text = statusRead(frame))
            reply = {Reply::Kind::Status, *text + kCr, QStringLiteral("status")};
        else
            reply = unknown();
    } else if (frame.startsWith("CF ")) {
        reply = functionSetting(frame);
    } else if (frame.size() == 3 && frame[0] == 'C' && hexDigit(frame[1]) >= 0
               && hexDigit(frame[2]) >= 0) {
        reply = action(hexDigit(frame[1]) * 16 + hexDigit(frame[2]));
    } else {
        reply = unknown();
    }
    advance(nowMs);  // a zero count-down or cooling ends at once
    return reply;
}

Reply ProjectorModel::action(int code)
{
    State &s = state_;
    switch (code) {
    case 0x00:  // power on
        if (s.power == Power::Standby) {
            powerOn();
            return ack(QStringLiteral("power on: count-down"));
        }
        if (s.power == Power::CountDown || s.power == Power::On)
            return ack(QStringLiteral("power on: already %1").arg(QLatin1String(powerName(s.power))));
        return refusal(
            QStringLiteral("refused (%1): power on").arg(QLatin1String(powerName(s.power))));
    case 0x01:  // power off
        if (s.power == Power::Standby || s.power == Power::Cooling)
            return ack(QStringLiteral("power off: already %1").arg(QLatin1String(powerName(s.power))));
        powerOff();
        return ack(QStringLiteral("power off: cooling"));
    case 0x05:
    case 0x06:
    case 0x07:
        if (auto refused = refuseUnlessOn("input"))
            return *refused;
        s.input = code - 0x04;
        return ack(QStringLiteral("input %1").arg(s.input));
    case 0x09:
    case 0x0A:
        if (auto refused = refuseUnlessOn("volume"))
            return *refused;
        s.volume = step(s.volume, code == 0x09 ? 1 : -1, 0, 32);
        return ack(QStringLiteral("volume %1").arg(s.volume));
    case 0x0B:
    case 0x0C:
        if (auto refused = refuseUnlessOn("sound mute"))
            return *refused;
        s.soundMute = code == 0x0B;
        return ack(s.soundMute ? QStringLiteral("sound mute on") : QStringLiteral("sound mute off"));
    case 0x0D:
    case 0x0E:
        if (auto refused = refuseUnlessOn("no show"))
            return *refused;
        s.noShow = code == 0x0D;
        return ack(s.noShow ? QStringLiteral("no show on") : QStringLiteral("no show off"));
    case 0x0F:
    case 0x10:
        if (auto refused = refuseUnlessOn("AV size"))
            return *refused;
        s.avSize = code == 0x0F ? AvSize::Regular : AvSize::Wide;
        return ack(code == 0x0F ? QStringLiteral("AV size regular") : QStringLiteral("AV size wide"));
    case 0x11: case 0x12: case 0x13: case 0x14: case 0x15:
    case 0x16: case 0x17: case 0x18: case 0x19:
        if (auto refused = refuseUnlessOn("image mode"))
            return *refused;
        s.imageMode = code - 0x10;
        return ack(QStringLiteral("image mode %1").arg(s.imageMode));
    case 0x1C:
    case 0x1D:
        if (auto refused = refuseUnlessOn("menu"))
            return *refused;
        s.menu = code == 0x1C ? Menu::Main : Menu::Closed;
        s.menuRow = 0;
        return ack(code == 0x1C ? QStringLiteral("menu on") : QStringLiteral("menu off"));
    case 0x1E:
        if (auto refused = refuseUnlessOn("display clear"))
            return *refused;
        s.menu = Menu::Closed;
        s.menuRow = 0;
        return ack(QStringLiteral("display cleared"));
    case 0x20:
    case 0x21:
        if (auto refused = refuseUnlessOn("brightness"))
            return *refused;
        s.brightness = step(s.brightness, code == 0x20 ? 1 : -1, 0, 64);
        return ack(QStringLiteral("brightness %1").arg(s.brightness));
    case 0x50: case 0x25: case 0x24: case 0x26: case 0x32: case 0x33: case 0x34: {
        if (auto refused = refuseUnlessOn("signal type"))
            return *refused;
        int input = 0;
        SignalType type = SignalType::Rgb;
        switch (code) {
        case 0x50: input = 1; type = SignalType::Rgb; break;
        case 0x25: input = 2; type = SignalType::Rgb; break;
        case 0x24: input = 2; type = SignalType::Component; break;
        case 0x26: input = 2; type = SignalType::Scart; break;
        case 0x32: input = 3; type = SignalType::Auto; break;
        case 0x33: input = 3; type = SignalType::Video; break;
        default: input = 3; type = SignalType::SVideo; break;
        }
        s.signalType[static_cast<std::size_t>(input - 1)] = type;
        return ack(QStringLiteral("signal type of input %1: %2")
                       .arg(input)
                       .arg(QLatin1String(signalTypeName(type))));
    }
    case 0x27:
        if (auto refused = refuseUnlessOn("image key"))
            return *refused;
        s.imageMode = s.imageMode % 9 + 1;
        return ack(QStringLiteral("image mode %1").arg(s.imageMode));
    case 0x30:
    case 0x31:
        if (auto refused = refuseUnlessOn("digital zoom"))
            return *refused;
        s.zoom = step(s.zoom, code == 0x30 ? 1 : -1, 0, 16);
        return ack(QStringLiteral("digital zoom %1").arg(s.zoom));
    case 0x3A: case 0x3B: case 0x3C: case 0x3D: {
        if (auto refused = refuseUnlessOn("cursor"))
            return *refused;
        static constexpr const char *names[] = {"right", "left", "up", "down"};
        const QLatin1String name(names[code - 0x3A]);
        if (s.menu == Menu::Closed)
            return ack(QStringLiteral("cursor %1 (no menu open)").arg(name));
        if (code == 0x3C || code == 0x3D)
            s.menuRow = step(s.menuRow, code == 0x3D ? 1 : -1, 0, 7);
        return ack(QStringLiteral("cursor %1: menu row %2").arg(name).arg(s.menuRow));
    }
    case 0x3F:
        if (auto refused = refuseUnlessOn("select"))
            return *refused;
        ++s.selects;
        return ack(QStringLiteral("select (menu row %1)").arg(s.menuRow));
    case 0x43:
    case 0x44:
        if (auto refused = refuseUnlessOn("freeze"))
            return *refused;
        s.freeze = code == 0x43;
        return ack(s.freeze ? QStringLiteral("freeze on") : QStringLiteral("freeze off"));
    case 0x89:
        if (auto refused = refuseUnlessOn("auto image"))
            return *refused;
        s.menu = Menu::ImageAdjust;
        s.menuRow = 0;
        return ack(QStringLiteral("auto image: image adjust menu"));
    case 0x8A:
        if (auto refused = refuseUnlessOn("presentation timer"))
            return *refused;
        s.presentationTimer = !s.presentationTimer;
        return ack(s.presentationTimer ? QStringLiteral("presentation timer on")
                                       : QStringLiteral("presentation timer off"));
    case 0x8E:
    case 0x8F:
        if (auto refused = refuseUnlessOn("keystone"))
            return *refused;
        s.keystone = step(s.keystone, code == 0x8E ? 1 : -1, -32, 32);
        return ack(QStringLiteral("keystone %1").arg(s.keystone));
    default:
        return unknown();
    }
}

Reply ProjectorModel::functionSetting(QByteArrayView frame)
{
    State &s = state_;
    if (frame == "CF FANSPEED MAX" || frame == "CF FANSPEED NOR") {
        s.fan = frame.endsWith("MAX") ? FanSpeed::Max : FanSpeed::Normal;
        return ack(QStringLiteral("fan speed %1").arg(s.fan == FanSpeed::Max ? "max" : "normal"));
    }
    if (frame == "CF KEYDIS NONE") {
        s.keyLock = KeyLock::None;
        return ack(QStringLiteral("key lock: none"));
    }
    if (frame == "CF KEYDIS RC") {
        s.keyLock = KeyLock::RemoteControl;
        return ack(QStringLiteral("key lock: remote control disabled"));
    }
    if (frame == "CF KEYDIS KEY") {
        s.keyLock = KeyLock::Keypad;
        return ack(QStringLiteral("key lock: keypad disabled"));
    }
    if (frame == "CF LOGO OFF" || frame == "CF LOGO DEFAULT") {
        s.logo = frame.endsWith("OFF") ? Logo::Off : Logo::Default;
        return ack(QStringLiteral("logo %1").arg(s.logo == Logo::Off ? "off" : "default"));
    }
    if (frame == "CF LOGO USER") {
        if (!s.userLogoCaptured)
            return refusal(QStringLiteral("refused: no user logo captured"));
        s.logo = Logo::User;
        return ack(QStringLiteral("logo user"));
    }
    if (frame == "CF LOGOCAPTURE START") {
        if (auto refused = refuseUnlessOn("logo capture"))
            return *refused;
        s.userLogoCaptured = true;
        return ack(QStringLiteral("logo captured from the picture"));
    }
    return unknown();
}

std::optional<QByteArray> ProjectorModel::statusRead(QByteArrayView frame) const
{
    const State &s = state_;
    if (frame == "CR0") {
        const bool warn = s.temperatureWarning;
        switch (s.power) {
        case Power::Standby: return QByteArray(warn ? "88" : "80");
        case Power::CountDown: return QByteArray("40");
        case Power::On: return QByteArray(warn ? "08" : "00");
        case Power::Cooling: return QByteArray(warn ? "28" : "20");
        case Power::Fail: return QByteArray("10");
        }
    }
    if (frame == "CR1")
        return QByteArray::number(s.input);
    if (frame == "CR3")
        return QByteArray::number(lampHours()).rightJustified(5, '0');
    if (frame == "CR4") {
        switch (config_.orientation) {
        case Orientation::Normal: return QByteArray("11");
        case Orientation::TopBottom: return QByteArray("10");
        case Orientation::LeftRight: return QByteArray("01");
        case Orientation::Both: return QByteArray("00");
        }
    }
    if (frame == "CR6") {
        // Lamp area in characters 1-5, exhaust in 8-11, intake in 13-17.
        const auto &t = s.temperature;
        return QString::asprintf("%05.1f  %4.1f %05.1f", std::clamp(t[0], 0.0, 999.9),
                                 std::clamp(t[1], 0.0, 99.9), std::clamp(t[2], 0.0, 999.9))
            .toLatin1();
    }
    if (frame == "CR7") {
        const bool lit = lampLit();
        switch (config_.lampMode) {
        case LampMode::Dual: return QByteArray(lit ? "03" : "00");
        case LampMode::SingleNo1: return QByteArray(lit ? "11" : "10");
        case LampMode::SingleNo2: return QByteArray(lit ? "22" : "20");
        }
    }
    if (frame == "CR9")
        return identification();
    if (frame == "CRA") {
        if (s.power != Power::On)
            return QByteArray("FF");
        if (!(config_.signalInputs & (1u << (s.input - 1))))
            return QByteArray("80");
        return QByteArray("0") + char('0' + (s.noShow ? 1 : 0) + (s.soundMute ? 2 : 0));
    }
    if (frame == "CR PRESSURE")
        return QByteArray::number(config_.pressureCount).rightJustified(4, '0');
    return std::nullopt;
}

}  // namespace qm25::sim
