#include "core/command_table.h"

#include <array>

namespace qm25 {
namespace {

using S = SendShape;

constexpr std::array kClick{
    // POWER
    ClickCommand{"Command17", "C00", S::Plain, 0, 0},
    ClickCommand{"Command18", "C01", S::Plain, 0, 0},
    // INPUT MODE SET
    ClickCommand{"Command27", "C05", S::Plain, 0, 0},
    ClickCommand{"Command28", "C06", S::Plain, 0, 0},
    ClickCommand{"Command29", "C07", S::Plain, 0, 0},
    // SOUND MUTE
    ClickCommand{"Command19", "C0B", S::Plain, 0, 0},
    ClickCommand{"Command20", "C0C", S::Plain, 0, 0},
    // NO SHOW
    ClickCommand{"Command21", "C0D", S::Plain, 0, 0},
    ClickCommand{"Command22", "C0E", S::Plain, 0, 0},
    // AV Size
    ClickCommand{"Command31", "C0F", S::Plain, 0, 0},
    ClickCommand{"Command32", "C10", S::Plain, 0, 0},
    // MENU: ON switches the cursor pad to menu speed, OFF leaves it
    ClickCommand{"Command23", "C1C", S::MenuSpeed, 0, 0},
    ClickCommand{"Command24", "C1D", S::Plain, 0, 0},
    // FREEZE
    ClickCommand{"Command25", "C43", S::Plain, 0, 0},
    ClickCommand{"Command26", "C44", S::Plain, 0, 0},
    // image modes, rows left to right, top row first
    ClickCommand{"Command4", "C11", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command10", "C12", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command11", "C13", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command39", "C14", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command40", "C15", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command41", "C16", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command42", "C17", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command12", "C18", S::SetReplyWait, 2000, 2500},
    ClickCommand{"Command36", "C19", S::SetReplyWait, 2000, 2500},
    // right-hand column
    ClickCommand{"Command13", "C89", S::MenuSpeed, 0, 0},
    ClickCommand{"Command30", "C27", S::Plain, 0, 0},
    ClickCommand{"Command14", "C8A", S::Plain, 0, 0},
    ClickCommand{"Command3", "C1E", S::Plain, 0, 0},
    // R/C KEY OFF
    ClickCommand{"Command56", "CF KEYDIS NONE", S::Plain, 0, 0},
    ClickCommand{"Command57", "CF KEYDIS RC", S::Plain, 0, 0},
    ClickCommand{"Command58", "CF KEYDIS KEY", S::Plain, 0, 0},
    // status queries
    ClickCommand{"Command44", "CR0", S::Plain, 0, 0},
    ClickCommand{"Command45", "CR1", S::Plain, 0, 0},
    ClickCommand{"Command46", "CR3", S::Plain, 0, 0},
    ClickCommand{"Command47", "CR4", S::Plain, 0, 0},
    ClickCommand{"Command54", "CR6", S::Plain, 0, 0},
    // signal types
    ClickCommand{"Command64", "C50", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command72", "C25", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command74", "C24", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command73", "C26", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command81", "C32", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command82", "C33", S::SetReplyWait, 5000, 5500},
    ClickCommand{"Command69", "C34", S::SetReplyWait, 5000, 5500},
    // logo
    ClickCommand{"Command60", "CF LOGOCAPTURE START", S::Plain, 0, 0},
    ClickCommand{"Command61", "CF LOGO OFF", S::Plain, 0, 0},
    ClickCommand{"Command63", "CF LOGO DEFAULT", S::Plain, 0, 0},
    ClickCommand{"Command67", "CF LOGO USER", S::Plain, 0, 0},
    // FAN SPEED
    ClickCommand{"Command97", "CF FANSPEED MAX", S::Plain, 0, 0},
    ClickCommand{"Command98", "CF FANSPEED NOR", S::Plain, 0, 0},
};

constexpr std::array kRepeat{
    //            control      code  sent   cursor  T1   T2   T4   D.Zoom
    RepeatCommand{"Command1", 1, "C09", false, 250, 200, 245, false},
    RepeatCommand{"Command2", 2, "C0A", false, 250, 200, 245, false},
    RepeatCommand{"Command5", 3, "C3C", true, 0, 0, 0, false},
    RepeatCommand{"Command7", 4, "C3D", true, 0, 0, 0, false},
    RepeatCommand{"Command9", 5, "C3B", true, 0, 0, 0, false},
    RepeatCommand{"Command8", 6, "C3A", true, 0, 0, 0, false},
    RepeatCommand{"Command15", 7, "C20", false, 50, 25, 25, false},
    RepeatCommand{"Command35", 8, "C21", false, 50, 25, 25, false},
    RepeatCommand{"Command6", 13, "C3F", false, 500, 200, 245, false},
    RepeatCommand{"Command48", 17, "C30", false, 250, 200, 245, true},
    RepeatCommand{"Command49", 18, "C31", false, 250, 200, 245, true},
    RepeatCommand{"Command50", 19, "C8E", false, 250, 200, 245, false},
    RepeatCommand{"Command51", 20, "C8F", false, 250, 200, 245, false},
};

constexpr std::array<const char *, 9> kQueries{
    "CR0", "CR1", "CR4", "CR3", "CR6", "CRA", "CR9", "CR PRESSURE", "CR7",
};

}  // namespace

std::span<const ClickCommand> clickCommands() { return kClick; }
std::span<const RepeatCommand> repeatCommands() { return kRepeat; }
std::span<const char *const> statusQueries() { return kQueries; }

const RepeatCommand *repeatCommandByCode(int repeatCode)
{
    for (const auto &row : kRepeat)
        if (row.repeatCode == repeatCode)
            return &row;
    return nullptr;
}

}  // namespace qm25
