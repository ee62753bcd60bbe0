#pragma once
// The catalogue of the projector's commands: one row per command, holding
// everything the system knows about it: what scripts call it, its code, what
// kind of command it is, how long its reply may take and when the display
// lines clear after it, whether it repeats while its button is held, how its
// reply is read, and for power on and off the state it leads to. The panel's
// engine, its window, qm25ctl and the gateway all read these rows; a new
// command is one new row.
#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringView>
#include <array>
#include <span>
#include <string_view>

#include "core/protocol.h"

namespace qm25 {

enum class CommandKind {
    Action,      // "C" and two hex digits: answered ACK or NAK
    StatusRead,  // "CR" and a character, or "CR PRESSURE": answered with data
    Setting,     // "CF " and words: answered ACK or NAK
};

// How a reply is read.
enum class Reading {
    Acknowledgement,  // ACK, NAK or ERR
    Power,
    Input,
    LampHours,
    Orientation,
    Temperatures,
    MuteSignal,
    Identification,
    Pressure,
    LampMode,
};

// The projector's power, as the first digit of the power read gives it.
enum class PowerPhase { None, On, Standby, CountDown, Cooling, Fail };

// What a button does while it is held down.
enum class Repeat {
    None,      // acts on a click
    Adjuster,  // repeats with its own period, reply time-out and display clear
    Cursor,    // the cursor pad: repeats with the timing the cursor speed gives
};

// What a command does to the cursor pad's timing.
enum class CursorEffect {
    None,
    MenuSpeed,         // after the send: menu speed (A-IMAGE, MENU ON)
    FastAfterRelease,  // after the release: fast (D.Zoom)
};

// The reply time-out and the display clear of one exchange, in ms.
struct ExchangeTimes {
    int replyTimeoutMs = 0;
    int displayClearMs = 0;
    constexpr bool operator==(const ExchangeTimes &) const = default;
};

// The times in force when the panel starts, and after a held button's release.
inline constexpr ExchangeTimes kTimesAtStart{500, 1000};
// Set by the image modes, the signal types and the command line's SEND.
inline constexpr ExchangeTimes kImageModeTimes{2000, 2500};
inline constexpr ExchangeTimes kSignalTypeTimes{5000, 5500};
inline constexpr ExchangeTimes kCommandLineTimes{2000, 2500};
// The repeat period in force at start.
inline constexpr int kRepeatPeriodAtStart = 200;
// The cursor pad at menu speed (after A-IMAGE or MENU ON) and fast (after a
// D.Zoom release): the times set at a press, and the repeat period that the
// command or release leaves behind.
inline constexpr ExchangeTimes kMenuCursorTimes{150, 190};
inline constexpr int kMenuRepeatPeriodMs = 200;
inline constexpr ExchangeTimes kFastCursorTimes{5, 5};
inline constexpr int kFastRepeatPeriodMs = 5;

// What a press of an adjuster sets, right after its first send.
struct HeldTiming {
    int repeatPeriodMs = 0;
    ExchangeTimes times;
};

struct CommandRow {
    std::string_view name;         // what scripts call it: "power on"
    std::string_view code;         // the frame without its CR: "C00"
    CommandKind kind = CommandKind::Action;
    std::string_view description;  // what it does, in a few words: "Power on"
    // How long its reply may take as a whole exchange, and when the display
    // clears after it; where `setsTimes`, the panel sets both before it
    // sends, otherwise its send runs with whatever times are in force.
    ExchangeTimes times = kTimesAtStart;
    bool setsTimes = false;
    bool typed = false;  // the panel has no button for it: typed on its command line
    Repeat repeat = Repeat::None;
    HeldTiming held;     // Repeat::Adjuster: what a press sets
    CursorEffect cursor = CursorEffect::None;
    Reading reading = Reading::Acknowledgement;
    PowerPhase leadsTo = PowerPhase::None;  // power on and off: where the power goes
    // The status read whose reply shows what this command changed, when
    // one does (power, input, mute and no show); Acknowledgement: none.
    Reading changes = Reading::Acknowledgement;

    QByteArray frame() const { return frameOf(code); }
    bool isStatusRead() const { return kind == CommandKind::StatusRead; }
};

namespace catalogue_rows {

constexpr CommandKind kindOf(std::string_view code)
{
    if (code.starts_with("CR"))
        return CommandKind::StatusRead;
    return code.starts_with("CF ") ? CommandKind::Setting : CommandKind::Action;
}

constexpr CommandRow plain(std::string_view name, std::string_view code, std::string_view description)
{
    CommandRow r;
    r.name = name;
    r.code = code;
    r.kind = kindOf(code);
    r.description = description;
    return r;
}

constexpr CommandRow timed(std::string_view name, std::string_view code, std::string_view description,
                           ExchangeTimes times)
{
    CommandRow r = plain(name, code, description);
    r.times = times;
    r.setsTimes = true;
    return r;
}

constexpr CommandRow power(std::string_view name, std::string_view code, std::string_view description,
                           PowerPhase leadsTo)
{
    CommandRow r = plain(name, code, description);
    r.leadsTo = leadsTo;
    r.changes = Reading::Power;
    return r;
}

// A command whose effect the status read `shownBy` shows.
constexpr CommandRow shown(std::string_view name, std::string_view code, std::string_view description,
                           Reading shownBy)
{
    CommandRow r = plain(name, code, description);
    r.changes = shownBy;
    return r;
}

constexpr CommandRow menuSpeed(std::string_view name, std::string_view code, std::string_view description)
{
    CommandRow r = plain(name, code, description);
    r.cursor = CursorEffect::MenuSpeed;
    return r;
}

constexpr CommandRow read(std::string_view name, std::string_view code, std::string_view description,
                          Reading reading)
{
    CommandRow r = plain(name, code, description);
    r.reading = reading;
    return r;
}

constexpr CommandRow typedRead(std::string_view name, std::string_view code, std::string_view description,
                               Reading reading)
{
    CommandRow r = read(name, code, description, reading);
    r.times = kCommandLineTimes;
    r.typed = true;
    return r;
}

constexpr CommandRow adjuster(std::string_view name, std::string_view code, std::string_view description,
                              int periodMs, ExchangeTimes times, CursorEffect effect = CursorEffect::None)
{
    CommandRow r = plain(name, code, description);
    r.repeat = Repeat::Adjuster;
    r.held = {periodMs, times};
    r.cursor = effect;
    return r;
}

constexpr CommandRow cursor(std::string_view name, std::string_view code, std::string_view description)
{
    CommandRow r = plain(name, code, description);
    r.repeat = Repeat::Cursor;
    return r;
}

constexpr ExchangeTimes kHeld{200, 245};
constexpr ExchangeTimes kHeldFast{25, 25};
constexpr CursorEffect kFastAfter = CursorEffect::FastAfterRelease;

}  // namespace catalogue_rows

// In the order of the window's groups.
inline constexpr auto kCatalogue = [] {
    using namespace catalogue_rows;
    return std::array{
        power("power on", "C00", "Power on", PowerPhase::On),
        power("power off", "C01", "Power off", PowerPhase::Standby),
        shown("input pc1", "C05", "Input PC1", Reading::Input),
        shown("input pc2", "C06", "Input PC2", Reading::Input),
        shown("input video", "C07", "Input Video", Reading::Input),
        shown("mute on", "C0B", "Sound mute on", Reading::MuteSignal),
        shown("mute off", "C0C", "Sound mute off", Reading::MuteSignal),
        shown("noshow on", "C0D", "No show on", Reading::MuteSignal),
        shown("noshow off", "C0E", "No show off", Reading::MuteSignal),
        plain("size regular", "C0F", "AV size regular"),
        plain("size wide", "C10", "AV size wide"),
        menuSpeed("menu on", "C1C", "Menu on"),
        plain("menu off", "C1D", "Menu off"),
        plain("freeze on", "C43", "Freeze on"),
        plain("freeze off", "C44", "Freeze off"),
        // image modes, rows of the grid left to right, top row first
        timed("image stand", "C11", "Image mode standard", kImageModeTimes),
        timed("image real", "C12", "Image mode real", kImageModeTimes),
        timed("image cinema", "C13", "Image mode cinema", kImageModeTimes),
        timed("image 1", "C14", "Image mode image 1", kImageModeTimes),
        timed("image 2", "C15", "Image mode image 2", kImageModeTimes),
        timed("image 3", "C16", "Image mode image 3", kImageModeTimes),
        timed("image 4", "C17", "Image mode image 4", kImageModeTimes),
        timed("image bboard", "C18", "Image mode blackboard", kImageModeTimes),
        timed("image dynamic", "C19", "Image mode dynamic", kImageModeTimes),
        menuSpeed("auto image", "C89", "Auto image"),
        plain("image next", "C27", "Image"),
        plain("ptimer", "C8A", "Presentation timer"),
        plain("display clear", "C1E", "Display clear on the projector"),
        plain("keys none", "CF KEYDIS NONE", "Remote control and keys both enabled"),
        plain("keys rc", "CF KEYDIS RC", "Disable the remote control"),
        plain("keys key", "CF KEYDIS KEY", "Disable the projector's keys"),
        read("power", "CR0", "Read power status", Reading::Power),
        read("input", "CR1", "Read input mode", Reading::Input),
        read("lamp time", "CR3", "Read lamp time", Reading::LampHours),
        read("settings", "CR4", "Read image orientation", Reading::Orientation),
        read("temperatures", "CR6", "Read temperatures", Reading::Temperatures),
        timed("signal pc1 rgb", "C50", "PC1 signal RGB", kSignalTypeTimes),
        timed("signal pc2 rgb", "C25", "PC2 signal RGB", kSignalTypeTimes),
        timed("signal pc2 component", "C24", "PC2 signal component", kSignalTypeTimes),
        timed("signal pc2 scart", "C26", "PC2 signal Scart", kSignalTypeTimes),
        timed("signal video auto", "C32", "Video signal automatic", kSignalTypeTimes),
        timed("signal video video", "C33", "Video signal composite", kSignalTypeTimes),
        timed("signal video svideo", "C34", "Video signal S-Video", kSignalTypeTimes),
        plain("logo capture", "CF LOGOCAPTURE START", "Capture logo"),
        plain("logo off", "CF LOGO OFF", "Logo off"),
        plain("logo default", "CF LOGO DEFAULT", "Logo default"),
        plain("logo user", "CF LOGO USER", "Logo user"),
        plain("fan max", "CF FANSPEED MAX", "Fan speed maximum"),
        plain("fan normal", "CF FANSPEED NOR", "Fan speed normal"),
        // held down, they repeat
        adjuster("volume up", "C09", "Volume up", 250, kHeld),
        adjuster("volume down", "C0A", "Volume down", 250, kHeld),
        cursor("cursor up", "C3C", "Cursor up"),
        cursor("cursor down", "C3D", "Cursor down"),
        cursor("cursor left", "C3B", "Cursor left"),
        cursor("cursor right", "C3A", "Cursor right"),
        adjuster("brightness up", "C20", "Brightness up", 50, kHeldFast),
        adjuster("brightness down", "C21", "Brightness down", 50, kHeldFast),
        adjuster("select", "C3F", "Select", 500, kHeld),
        adjuster("zoom in", "C30", "Digital zoom in", 250, kHeld, kFastAfter),
        adjuster("zoom out", "C31", "Digital zoom out", 250, kHeld, kFastAfter),
        adjuster("keystone up", "C8E", "Keystone plus", 250, kHeld),
        adjuster("keystone down", "C8F", "Keystone minus", 250, kHeld),
        // status reads without a button
        typedRead("mute", "CRA", "Read mute and signal", Reading::MuteSignal),
        typedRead("lamp mode", "CR7", "Read lamp mode", Reading::LampMode),
        typedRead("identification", "CR9", "Read identification", Reading::Identification),
        typedRead("pressure", "CR PRESSURE", "Read air pressure", Reading::Pressure),
    };
}();

// The row of a name, looked up while compiling: a name that is not in the
// catalogue does not compile.
consteval const CommandRow &command(std::string_view name)
{
    for (const CommandRow &row : kCatalogue)
        if (row.name == name)
            return row;
    throw "no such command in the catalogue";
}

std::span<const CommandRow> commands();
// The row of a name ("power on"), or nullptr.
const CommandRow *commandNamed(QStringView name);
// The row with this code (case included), or nullptr.
const CommandRow *commandWithCode(QStringView code);
// "action", "read" or "setting".
QString kindName(CommandKind kind);
// A row as programs list it: name, code, kind, description, timeout_ms.
QJsonObject toJson(const CommandRow &row);
// The status read whose frame `frame` is, exactly (code and CR, case
// included), or nullptr.
const CommandRow *statusReadOfFrame(QStringView frame);
// The status read that reads `reading` (power, input, ...), or nullptr.
const CommandRow *statusReadOf(Reading reading);

}  // namespace qm25
