#include "core/command_table.h"

#include <array>

namespace qm25 {
namespace {

using S = SendShape;

constexpr std::array kClick{
    // POWER
    ClickCommand{"Command17", "power on", "C00", S::Plain, 0, 0},
    ClickCommand{"Command18", "power off", "C01", S::Plain, 0, 0},
    // INPUT MODE SET
    ClickCommand{"Command27", "input pc1", "C05", S::Plain, 0, 0},
    ClickCommand{"Command28", "input pc2", "C06", S::Plain, 0, 0},
    ClickCommand{"Command29", "input video", "C07", S::Plain, 0, 0},
    // SOUND MUTE
    ClickCommand{"Command19", "mute on", "C0B", S::Plain, 0, 0},
    ClickCommand{"Command20", "mute off", "C0C", S::Plain, 0, 0},
    // NO SHOW
    ClickCommand{"Command21", "noshow on", "C0D", S::Plain, 0, 0},
    ClickCommand{"Command22", "noshow off", "C0E", S::Plain, 0, 0},
    // AV Size
    ClickCommand{"Command31", "size regular", "C0F", S::Plain, 0, 0},
    ClickCommand{"Command32", "size wide", "C10", S::Plain, 0, 0},
    // MENU: ON switches the cursor pad to menu speed, OFF leaves it
    ClickCommand{"Command23", "menu on", "C1C", S::MenuSpeed, 0, 0},
    ClickCommand{"Command24", "menu off", "C1D", S::Plain, 0, 0},
    // FREEZE
    ClickCommand{"Command25", "freeze on", "C43", S::Plain, 0, 0},
    ClickCommand{"Command26", "freeze off", "C44", S::Plain, 0, 0},
    // image modes, rows left to right, top row first
    ClickCommand{"Command4", "image stand", "C11", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command10", "image real", "C12", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command11", "image cinema", "C13", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command39", "image 1", "C14", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command40", "image 2", "C15", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command41", "image 3", "C16", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command42", "image 4", "C17", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command12", "image bboard", "C18", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command36", "image dynamic", "C19", S::SetReplyWait, 2000, 2500},
    // right-hand column
    ClickCommand{"Command13", "auto image", "C89", S::MenuSpeed, 0, 0},
    ClickCommand{"Command30", "image next", "C27", S::Plain, 0, 0},
    ClickCommand{"Command14", "ptimer", "C8A", S::Plain, 0, 0},
    ClickCommand{"Command3", "display clear", "C1E", S::Plain, 0, 0},
    // R/C KEY OFF
    ClickCommand{"Command56", "keys none", "CF KEYDIS NONE", S::Plain, 0, 0},
    ClickCommand{"Command57", "keys rc", "CF KEYDIS RC", S::Plain, 0, 0},
    ClickCommand{"Command58", "keys key", "CF KEYDIS KEY", S::Plain, 0, 0},
    // status queries
    ClickCommand{"Command44", "power", "CR0", S::Plain, 0, 0},
    ClickCommand{"Command45", "input", "CR1", S::Plain, 0, 0},
    ClickCommand{"Command46", "lamp time", "CR3", S::Plain, 0, 0},
    ClickCommand{"Command47", "settings", "CR4", S::Plain, 0, 0},
    ClickCommand{"Command54", "temperatures", "CR6", S::Plain, 0, 0},
    // signal types
    ClickCommand{"Command64", "signal pc1 rgb", "C50", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command72", "signal pc2 rgb", "C25", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command74", "signal pc2 component", "C24", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command73", "signal pc2 scart", "C26", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command81", "signal video auto", "C32", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command82", "signal video video", "C33", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command69", "signal video svideo", "C34", S::SetReplyWait, 5000, 5500},
    // logo
    ClickCommand{"Command60", "logo capture", "CF LOGOCAPTURE START", S::Plain, 0, 0},
    ClickCommand{"Command61", "logo off", "CF LOGO OFF", S::Plain, 0, 0},
    ClickCommand{"Command63", "logo default", "CF LOGO DEFAULT", S::Plain, 0, 0},
    ClickCommand{"Command67", "logo user", "CF LOGO USER", S::Plain, 0, 0},
    // FAN SPEED
    ClickCommand{"Command97", "fan max", "CF FANSPEED MAX", S::Plain, 0, 0},
    ClickCommand{"Command98", "fan normal", "CF FANSPEED NOR", S::Plain, 0, 0},
};

constexpr std::array kRepeat{
    //            control     name          code  sent   cursor  T1   T2   T4   D.Zoom
    RepeatCommand{"Command1", "volume up", 1, "C09", false, 250, 200, 245, false},
    RepeatCommand{"Command2", "volume down", 2, "C0A", false, 250, 200, 245, false},
    RepeatCommand{"Command5", "cursor up", 3, "C3C", true, 0, 0, 0, false},
    RepeatCommand{"Command7", "cursor down", 4, "C3D", true, 0, 0, 0, false},
    RepeatCommand{"Command9", "cursor left", 5, "C3B", true, 0, 0, 0, false},
    RepeatCommand{"Command8", "cursor right", 6, "C3A", true, 0, 0, 0, false},
    RepeatCommand{"Command15", "brightness up", 7, "C20", false, 50, 25, 25, false},
    RepeatCommand{"Command35", "brightness down", 8, "C21", false, 50, 25, 25, false},
    RepeatCommand{"Command6", "select", 13, "C3F", false, 500, 200, 245, false},
    RepeatCommand{"Command48", "zoom in", 17, "C30", false, 250, 200, 245, true},
    RepeatCommand{"Command49", "zoom out", 18, "C31", false, 250, 200, 245, true},
    RepeatCommand{"Command50", "keystone up", 19, "C8E", false, 250, 200, 245, false},
    RepeatCommand{"Command51", "keystone down", 20, "C8F", false, 250, 200, 245, false},
};

// Status reads without a button, typed on the command line.
constexpr std::array kTyped{
    TypedQuery{"mute", "CRA"},
    TypedQuery{"lamp mode", "CR7"},
    TypedQuery{"identification", "CR9"},
    TypedQuery{"pressure", "CR PRESSURE"},
};

constexpr std::array<const char *, 9> kQueries{
    "CR0", "CR1", "CR4", "CR3", "CR6", "CRA", "CR9", "CR PRESSURE", "CR7",
};

}  // namespace

std::span<const ClickCommand> clickCommands() { return kClick; }
std::span<const RepeatCommand> repeatCommands() { return kRepeat; }
std::span<const TypedQuery> typedQueries() { return kTyped; }
std::span<const char *const> statusQueries() { return kQueries; }

const RepeatCommand *repeatCommandByCode(int repeatCode)
{
    for (const auto &row : kRepeat)
        if (row.repeatCode == repeatCode)
            return &row;
    return nullptr;
}

}  // namespace qm25
