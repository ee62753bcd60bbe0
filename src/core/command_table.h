#pragma once
#include <QString>
#include <span>

namespace qm25 {

// How a click button sends its command.
enum class SendShape {
    Plain = 1,        // frame out, nothing else
    SetReplyWait = 2, // reply time-out and display clear set before the send
    MenuSpeed = 3,    // after the send: repeat interval 200, cursor mode 1
};

struct ClickCommand {
    const char *control;  // object name of the button, e.g. "Command17"
    const char *name;     // what scripts call it, e.g. "power on"; unique over all tables
    const char *code;     // command code, e.g. "C00"
    SendShape shape;
    int replyTimeout;     // Timer2 interval set by shape 2 (ms), else 0
    int displayClear;     // Timer4 interval set by shape 2 (ms), else 0
};

// Buttons that repeat while held.
struct RepeatCommand {
    const char *control;  // object name, e.g. "Command1"
    const char *name;     // what scripts call it, e.g. "volume up"
    int repeatCode;       // value of KeyRepeatNo while held
    const char *code;     // command code
    bool cursor;          // true for the four arrows: timing taken from CursorMode
    int repeatPeriod;     // Timer1 interval set on the press (ms); 0 for cursors
    int replyTimeout;     // Timer2 interval set on the press (ms); 0 for cursors
    int displayClear;     // Timer4 interval set on the press (ms); 0 for cursors
    bool digitalZoom;     // release also sets Timer1 to 5 and CursorMode to 3
};

// A status read the command line can type that has no button.
struct TypedQuery {
    const char *name;  // e.g. "mute"
    const char *code;  // e.g. "CRA"
};

std::span<const ClickCommand> clickCommands();
std::span<const RepeatCommand> repeatCommands();
std::span<const TypedQuery> typedQueries();

// Row for a repeat code, or nullptr.
const RepeatCommand *repeatCommandByCode(int repeatCode);

// The nine status queries whose replies are decoded, in decoding order.
std::span<const char *const> statusQueries();

}  // namespace qm25
