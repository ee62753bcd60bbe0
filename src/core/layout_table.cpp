#include "core/layout_table.h"

#include "core/catalogue.h"

#include <QJsonArray>
#include <array>

namespace qm25 {
namespace {

// In creation order; a frame comes before the controls inside it, and a
// control created later is drawn above one created earlier.
const DesignedControl kControls[] = {
//   name  kind  parent  caption  left top width height  colour  text  face  pt*100 bold  tab  align  border hidden selected
//   command (its row in the catalogue)  spoken (what a screen reader says, where no command says it)
    {"Frame1", Kind::Frame, nullptr, "", 120, 240, 1695, 975, 0xC0C0C0, kNoColour, Face::None, 0, false, 0, Align::Left, false, false, false, nullptr, nullptr},
    {"Command18", Kind::Button, "Frame1", "OFF", 960, 600, 615, 300, 0xFFC0C0, kNoColour, Face::PGothic, 900, true, 27, Align::Left, false, false, false, &command("power off"), nullptr},
    {"Command17", Kind::Button, "Frame1", "ON", 120, 600, 615, 300, 0xC0FFC0, kNoColour, Face::PGothic, 900, true, 1, Align::Left, false, false, false, &command("power on"), nullptr},
    {"Label1", Kind::Label, "Frame1", "POWER", 240, 240, 1095, 255, 0xC0C0C0, 0xC00000, Face::PGothic, 900, false, 2, Align::Center, false, false, false, nullptr, nullptr},
    {"Frame2", Kind::Frame, nullptr, "", 2400, 240, 2655, 975, 0xC0C0C0, kNoColour, Face::None, 0, false, 3, Align::Left, false, false, false, nullptr, nullptr},
    {"Command29", Kind::Button, "Frame2", "Video", 1680, 600, 735, 300, 0xC0FFFF, kNoColour, Face::PGothic, 900, true, 38, Align::Left, false, false, false, &command("input video"), nullptr},
    {"Command28", Kind::Button, "Frame2", "PC2", 960, 600, 495, 300, 0xC0FFFF, kNoColour, Face::PGothic, 900, true, 37, Align::Left, false, false, false, &command("input pc2"), nullptr},
    {"Command27", Kind::Button, "Frame2", "PC1", 240, 600, 495, 300, 0xC0FFFF, kNoColour, Face::PGothic, 900, true, 36, Align::Left, false, false, false, &command("input pc1"), nullptr},
    {"Label2", Kind::Label, "Frame2", "INPUT MODE SET", 480, 240, 1935, 255, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 4, Align::Center, false, false, false, nullptr, nullptr},
    {"Image1", Kind::Image, nullptr, "", 8160, 120, 1200, 390, kNoColour, kNoColour, Face::None, 0, false, -1, Align::Left, false, false, false, nullptr, "RUNO logo"},
    {"Frame3", Kind::Frame, nullptr, "", 120, 1440, 1695, 855, 0xC0C0C0, kNoColour, Face::None, 0, false, 8, Align::Left, false, false, false, nullptr, nullptr},
    {"Command20", Kind::Button, "Frame3", "OFF", 960, 480, 615, 300, 0xFFC0C0, kNoColour, Face::PGothic, 900, true, 29, Align::Left, false, false, false, &command("mute off"), nullptr},
    {"Command19", Kind::Button, "Frame3", "ON", 120, 480, 615, 300, 0xC0FFC0, kNoColour, Face::PGothic, 900, true, 28, Align::Left, false, false, false, &command("mute on"), nullptr},
    {"Label4", Kind::Label, "Frame3", "SOUND MUTE", 120, 195, 1455, 300, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 9, Align::Center, false, false, false, nullptr, nullptr},
    {"Frame4", Kind::Frame, nullptr, "", 1920, 1440, 1695, 855, 0xC0C0C0, kNoColour, Face::None, 0, false, 10, Align::Left, false, false, false, nullptr, nullptr},
    {"Command22", Kind::Button, "Frame4", "OFF", 960, 480, 615, 300, 0xFFC0C0, kNoColour, Face::PGothic, 900, true, 31, Align::Left, false, false, false, &command("noshow off"), nullptr},
    {"Command21", Kind::Button, "Frame4", "ON", 120, 480, 615, 300, 0xC0FFC0, kNoColour, Face::PGothic, 900, true, 30, Align::Left, false, false, false, &command("noshow on"), nullptr},
    {"Label5", Kind::Label, "Frame4", "NO SHOW", 360, 210, 1095, 285, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 11, Align::Center, false, false, false, nullptr, nullptr},
    {"Frame7", Kind::Frame, nullptr, "", 3720, 1440, 1695, 855, 0xC0C0C0, kNoColour, Face::None, 0, false, 22, Align::Left, false, false, false, nullptr, nullptr},
    {"Command26", Kind::Button, "Frame7", "OFF", 960, 480, 615, 300, 0xFFC0C0, kNoColour, Face::PGothic, 900, true, 35, Align::Left, false, false, false, &command("freeze off"), nullptr},
    {"Command25", Kind::Button, "Frame7", "ON", 120, 480, 615, 300, 0xC0FFC0, kNoColour, Face::PGothic, 900, true, 34, Align::Left, false, false, false, &command("freeze on"), nullptr},
    {"Label8", Kind::Label, "Frame7", "FREEZE", 240, 210, 1215, 285, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 23, Align::Center, false, false, false, nullptr, nullptr},
    {"Frame6", Kind::Frame, nullptr, "", 5640, 1440, 1695, 855, 0xC0C0C0, kNoColour, Face::None, 0, false, 14, Align::Left, false, false, false, nullptr, nullptr},
    {"Command24", Kind::Button, "Frame6", "OFF", 960, 480, 615, 300, 0xFFC0C0, kNoColour, Face::PGothic, 900, true, 33, Align::Left, false, false, false, &command("menu off"), nullptr},
    {"Command23", Kind::Button, "Frame6", "ON", 120, 480, 615, 300, 0xC0FFC0, kNoColour, Face::PGothic, 900, true, 32, Align::Left, false, false, false, &command("menu on"), nullptr},
    {"Label7", Kind::Label, "Frame6", "MENU", 360, 240, 975, 255, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 15, Align::Center, false, false, false, nullptr, nullptr},
    {"Frame5", Kind::Frame, nullptr, "", 7440, 1440, 1815, 855, 0xC0C0C0, kNoColour, Face::None, 0, false, 12, Align::Left, false, false, false, nullptr, nullptr},
    {"Command32", Kind::Button, "Frame5", "Wide", 1080, 480, 615, 300, 0xC0FFFF, kNoColour, Face::PGothic, 900, false, 40, Align::Left, false, false, false, &command("size wide"), nullptr},
    {"Command31", Kind::Button, "Frame5", "Regular", 120, 480, 855, 300, 0xC0FFFF, kNoColour, Face::PGothic, 900, false, 39, Align::Left, false, false, false, &command("size regular"), nullptr},
    {"Label6", Kind::Label, "Frame5", "AV Size", 240, 210, 1335, 285, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 13, Align::Center, false, false, false, nullptr, nullptr},
    {"Command5", Kind::Button, nullptr, "↑", 1200, 2520, 855, 375, 0xFFE0C0, kNoColour, Face::PGothic, 900, true, 17, Align::Left, false, false, false, &command("cursor up"), nullptr},
    {"Command9", Kind::Button, nullptr, "←", 240, 3000, 855, 375, 0xFFE0C0, kNoColour, Face::PGothic, 900, true, 21, Align::Left, false, false, false, &command("cursor left"), nullptr},
    {"Command6", Kind::Button, nullptr, "SELECT", 1200, 3000, 855, 375, 0xFF8000, kNoColour, Face::Gothic, 900, false, 18, Align::Left, false, false, false, &command("select"), nullptr},
    {"Command8", Kind::Button, nullptr, "→", 2160, 3000, 855, 375, 0xFFE0C0, kNoColour, Face::PGothic, 900, true, 20, Align::Left, false, false, false, &command("cursor right"), nullptr},
    {"Command7", Kind::Button, nullptr, "↓", 1200, 3480, 855, 375, 0xFFE0C0, kNoColour, Face::PGothic, 900, true, 19, Align::Left, false, false, false, &command("cursor down"), nullptr},
    {"Label3", Kind::Label, nullptr, "VOL", 3600, 2520, 495, 255, 0xC0C0C0, kNoColour, Face::Gothic, 900, true, 7, Align::Center, false, false, false, nullptr, nullptr},
    {"Command1", Kind::Button, nullptr, "+", 3600, 2880, 375, 255, 0xFFC080, kNoColour, Face::Gothic, 900, true, 5, Align::Left, false, false, false, &command("volume up"), nullptr},
    {"Command2", Kind::Button, nullptr, "-", 3600, 3240, 375, 255, 0xFFC080, kNoColour, Face::Gothic, 900, true, 6, Align::Left, false, false, false, &command("volume down"), nullptr},
    {"Label13", Kind::Label, nullptr, "Brightness", 4560, 2520, 975, 255, 0xC0C0C0, kNoColour, Face::Gothic, 900, false, 53, Align::Left, false, false, false, nullptr, nullptr},
    {"Command15", Kind::Button, nullptr, "+", 4800, 2880, 375, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 51, Align::Left, false, false, false, &command("brightness up"), nullptr},
    {"Command35", Kind::Button, nullptr, "-", 4800, 3240, 375, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 52, Align::Left, false, false, false, &command("brightness down"), nullptr},
    {"Label17", Kind::Label, nullptr, "D.Zoom", 6360, 2520, 735, 255, 0xC0C0C0, kNoColour, Face::Gothic, 900, false, 60, Align::Left, false, false, false, nullptr, nullptr},
    {"Command48", Kind::Button, nullptr, "+", 6480, 2880, 375, 255, 0xC0FFFF, kNoColour, Face::PGothic, 900, false, 58, Align::Left, false, false, false, &command("zoom in"), nullptr},
    {"Command49", Kind::Button, nullptr, "-", 6480, 3240, 375, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 59, Align::Left, false, false, false, &command("zoom out"), nullptr},
    {"Label18", Kind::Label, nullptr, "Keystone", 7320, 2520, 855, 255, 0xC0C0C0, kNoColour, Face::Gothic, 900, false, 63, Align::Left, false, false, false, nullptr, nullptr},
    {"Command50", Kind::Button, nullptr, "+", 7440, 2880, 375, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 61, Align::Left, false, false, false, &command("keystone up"), nullptr},
    {"Command51", Kind::Button, nullptr, "-", 7440, 3240, 375, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 62, Align::Left, false, false, false, &command("keystone down"), nullptr},
    {"Command13", Kind::Button, nullptr, "A-IMAGE", 8400, 2760, 975, 250, 0x00C0C0, kNoColour, Face::Gothic, 900, false, 24, Align::Left, false, false, false, &command("auto image"), nullptr},
    {"Command30", Kind::Button, nullptr, "IMAGE", 8400, 3120, 975, 255, 0xC0C0FF, kNoColour, Face::Gothic, 900, false, 69, Align::Left, false, false, false, &command("image next"), nullptr},
    {"Command14", Kind::Button, nullptr, "P-TIMER", 8400, 3360, 975, 250, 0xC0C0FF, kNoColour, Face::Gothic, 900, false, 25, Align::Left, false, false, false, &command("ptimer"), nullptr},
    {"Command3", Kind::Button, nullptr, "DISPLAY CLEAR", 8400, 3600, 975, 492, 0xC0C0FF, kNoColour, Face::Gothic, 900, false, 16, Align::Left, false, false, false, &command("display clear"), nullptr},
    {"Command16", Kind::Button, nullptr, "END", 8400, 4320, 975, 375, 0xC0C0C0, kNoColour, Face::Gothic, 900, true, 26, Align::Left, false, false, false, nullptr, "End the program"},
    {"Label19", Kind::Label, nullptr, "R/C KEY OFF", 6600, 3720, 1332, 252, 0xC0C0C0, kNoColour, Face::Gothic, 900, false, 68, Align::Left, false, false, false, nullptr, nullptr},
    {"Command56", Kind::Button, nullptr, "NONE", 6600, 3960, 1200, 372, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 65, Align::Left, false, false, false, &command("keys none"), nullptr},
    {"Command57", Kind::Button, nullptr, "R/C", 6600, 4320, 606, 372, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 66, Align::Left, false, false, false, &command("keys rc"), nullptr},
    {"Command58", Kind::Button, nullptr, "KEY", 7200, 4320, 606, 372, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 67, Align::Left, false, false, false, &command("keys key"), nullptr},
    {"Command33", Kind::Button, nullptr, "COM", 4080, 4200, 1815, 375, kSystemButtonFace, kNoColour, Face::PGothic, 900, false, 41, Align::Left, false, false, false, nullptr, "Choose serial port and speed"},
    {"Frame8", Kind::Frame, nullptr, "", 3480, 3600, 2775, 1185, 0xC0C0C0, kNoColour, Face::None, 0, false, 42, Align::Left, false, true, false, nullptr, nullptr},
    {"Option1", Kind::Option, "Frame8", "COM1", 240, 240, 1215, 255, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 43, Align::Left, false, false, false, nullptr, "Port COM1"},
    {"Option2", Kind::Option, "Frame8", "COM2", 1560, 240, 1095, 255, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 44, Align::Left, false, false, false, nullptr, "Port COM2"},
    {"Frame13", Kind::Frame, "Frame8", "", 120, 480, 2535, 615, 0xC0C0C0, kNoColour, Face::None, 0, false, 70, Align::Left, false, false, false, nullptr, nullptr},
    {"Option9", Kind::Option, "Frame13", "19200", 120, 240, 1095, 255, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 71, Align::Left, false, false, true, nullptr, "Speed 19200 baud"},
    {"Option10", Kind::Option, "Frame13", "9600", 1440, 240, 975, 300, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 72, Align::Left, false, false, false, nullptr, "Speed 9600 baud"},
    {"Command4", Kind::Button, nullptr, "STAND", 240, 4080, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 73, Align::Left, false, false, false, &command("image stand"), nullptr},
    {"Command10", Kind::Button, nullptr, "REAL", 1200, 4080, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 74, Align::Left, false, false, false, &command("image real"), nullptr},
    {"Command11", Kind::Button, nullptr, "CINEMA", 2160, 4080, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 75, Align::Left, false, false, false, &command("image cinema"), nullptr},
    {"Command39", Kind::Button, nullptr, "IMAGE1", 240, 4320, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 76, Align::Left, false, false, false, &command("image 1"), nullptr},
    {"Command40", Kind::Button, nullptr, "IMAGE2", 1200, 4320, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 77, Align::Left, false, false, false, &command("image 2"), nullptr},
    {"Command41", Kind::Button, nullptr, "IMAGE3", 2160, 4320, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 78, Align::Left, false, false, false, &command("image 3"), nullptr},
    {"Command42", Kind::Button, nullptr, "IMAGE4", 240, 4560, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 79, Align::Left, false, false, false, &command("image 4"), nullptr},
    {"Command12", Kind::Button, nullptr, "B.Board", 1200, 4560, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 107, Align::Left, false, false, false, &command("image bboard"), nullptr},
    {"Command36", Kind::Button, nullptr, "Dynamic", 2160, 4560, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 108, Align::Left, false, false, false, &command("image dynamic"), nullptr},
    {"Frame9", Kind::Frame, nullptr, "", 45, 4920, 6312, 1290, 0xC0C0C0, kNoColour, Face::None, 0, false, 45, Align::Left, false, false, false, nullptr, nullptr},
    {"Label9", Kind::Label, "Frame9", "TXD", 105, 210, 390, 285, 0xC0C0C0, kNoColour, Face::Gothic, 900, false, 46, Align::Right, false, false, false, nullptr, nullptr},
    {"Label11", Kind::Label, "Frame9", "", 600, 180, 5610, 300, 0xFFFFFF, kNoColour, Face::PGothic, 975, true, 48, Align::Left, true, false, false, nullptr, "Sent command"},
    {"Label10", Kind::Label, "Frame9", "RXD", 75, 555, 450, 300, 0xC0C0C0, kNoColour, Face::Gothic, 900, false, 47, Align::Right, false, false, false, nullptr, nullptr},
    {"Label12", Kind::Label, "Frame9", "", 600, 540, 5616, 300, 0xFFFFFF, kNoColour, Face::PGothic, 975, true, 49, Align::Left, true, false, false, nullptr, "Reply"},
    {"Label23", Kind::Label, "Frame9", "STATUS", 120, 960, 735, 225, 0xC0C0C0, kNoColour, Face::Gothic, 825, false, 101, Align::Left, false, false, false, nullptr, nullptr},
    {"Label22", Kind::Label, "Frame9", "", 930, 915, 5295, 300, 0xFFFFFF, 0xFF0000, Face::PGothic, 900, true, 100, Align::Left, true, false, false, nullptr, "Decoded status"},
    {"Command34", Kind::Button, nullptr, "データを表示する", 6600, 5040, 1200, 375, 0xC0C0C0, kNoColour, Face::PGothic, 900, false, 50, Align::Left, false, true, false, nullptr, "Show or hide the data display"},
    {"Command44", Kind::Button, nullptr, "STATUS", 6480, 5640, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 825, true, 54, Align::Left, false, false, false, &command("power"), nullptr},
    {"Command46", Kind::Button, nullptr, "L-TIME", 7440, 5640, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 825, true, 56, Align::Left, false, false, false, &command("lamp time"), nullptr},
    {"Command54", Kind::Button, nullptr, "TEMP", 8400, 5640, 975, 252, 0xC0FFFF, kNoColour, Face::Gothic, 825, true, 64, Align::Left, false, false, false, &command("temperatures"), nullptr},
    {"Command45", Kind::Button, nullptr, "MODE", 6480, 5880, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 825, true, 55, Align::Left, false, false, false, &command("input"), nullptr},
    {"Command47", Kind::Button, nullptr, "SETTING", 7440, 5880, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 825, true, 57, Align::Left, false, false, false, &command("settings"), nullptr},
    {"Frame14", Kind::Frame, nullptr, "", 120, 6735, 4695, 1320, 0xC0C0C0, kNoColour, Face::None, 0, false, 80, Align::Left, false, false, false, nullptr, nullptr},
    {"Label15", Kind::Label, "Frame14", "PC1", 120, 240, 735, 255, 0xC0C0C0, kNoColour, Face::Gothic, 900, true, 88, Align::Left, false, false, false, nullptr, nullptr},
    {"Command64", Kind::Button, "Frame14", "RGB", 960, 240, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 81, Align::Left, false, false, false, &command("signal pc1 rgb"), nullptr},
    {"Label16", Kind::Label, "Frame14", "PC2", 120, 480, 735, 255, 0xC0C0C0, kNoColour, Face::Gothic, 900, true, 89, Align::Left, false, false, false, nullptr, nullptr},
    {"Command72", Kind::Button, "Frame14", "RGB", 960, 480, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 83, Align::Left, false, false, false, &command("signal pc2 rgb"), nullptr},
    {"Command74", Kind::Button, "Frame14", "Component", 1920, 480, 1450, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 85, Align::Left, false, false, false, &command("signal pc2 component"), nullptr},
    {"Command73", Kind::Button, "Frame14", "Scart", 3360, 480, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 84, Align::Left, false, false, false, &command("signal pc2 scart"), nullptr},
    {"Label24", Kind::Label, "Frame14", "Video", 120, 720, 855, 255, 0xC0C0C0, kNoColour, Face::Gothic, 900, true, 90, Align::Left, false, false, false, nullptr, nullptr},
    {"Command81", Kind::Button, "Frame14", "Auto", 960, 720, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 86, Align::Left, false, false, false, &command("signal video auto"), nullptr},
    {"Command82", Kind::Button, "Frame14", "Video", 1920, 720, 975, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 87, Align::Left, false, false, false, &command("signal video video"), nullptr},
    {"Command69", Kind::Button, "Frame14", "S-Video", 2880, 720, 1095, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 82, Align::Left, false, false, false, &command("signal video svideo"), nullptr},
    {"Frame16", Kind::Frame, nullptr, "", 7440, 6750, 1935, 945, 0xC0C0C0, kNoColour, Face::None, 0, false, 96, Align::Left, false, false, false, nullptr, nullptr},
    {"Label27", Kind::Label, "Frame16", "FAN SPEED", 345, 240, 1215, 255, 0xC0C0C0, kNoColour, Face::Gothic, 900, true, 97, Align::Left, false, false, false, nullptr, nullptr},
    {"Command97", Kind::Button, "Frame16", "MAX", 120, 600, 855, 255, 0xC0FFC0, kNoColour, Face::Gothic, 900, true, 98, Align::Left, false, false, false, &command("fan max"), nullptr},
    {"Command98", Kind::Button, "Frame16", "NOR", 960, 600, 855, 255, 0xC0FFC0, kNoColour, Face::Gothic, 900, true, 99, Align::Left, false, false, false, &command("fan normal"), nullptr},
    {"Frame11", Kind::Frame, nullptr, "", 7440, 7680, 1935, 975, 0xC0C0C0, kNoColour, Face::None, 0, false, 102, Align::Left, false, false, false, nullptr, nullptr},
    {"Command60", Kind::Button, "Frame11", "Capture", 240, 240, 1455, 255, 0xFFC0C0, kNoColour, Face::Gothic, 900, false, 103, Align::Left, false, false, false, &command("logo capture"), nullptr},
    {"Command61", Kind::Button, "Frame11", "OFF", 120, 600, 495, 255, 0xFFC0C0, kNoColour, Face::Gothic, 900, false, 104, Align::Left, false, false, false, &command("logo off"), nullptr},
    {"Command63", Kind::Button, "Frame11", "DEF", 600, 600, 495, 255, 0xC0FFC0, kNoColour, Face::Gothic, 900, false, 105, Align::Left, false, false, false, &command("logo default"), nullptr},
    {"Command67", Kind::Button, "Frame11", "User", 1080, 600, 735, 255, 0xC0FFFF, kNoColour, Face::Gothic, 900, false, 106, Align::Left, false, false, false, &command("logo user"), nullptr},
    {"Frame15", Kind::Frame, nullptr, "", 120, 8040, 7215, 570, 0xC0C0C0, kNoColour, Face::None, 0, false, 91, Align::Left, false, false, false, nullptr, nullptr},
    {"Label26", Kind::Label, "Frame15", "CMD", 120, 240, 495, 255, 0xC0C0C0, kNoColour, Face::Gothic, 975, false, 95, Align::Left, false, false, false, nullptr, nullptr},
    {"Text1", Kind::TextBox, "Frame15", "", 600, 165, 5055, 345, kSystemWindow, kNoColour, Face::Gothic, 975, true, 92, Align::Left, false, false, false, nullptr, "Command to send"},
    {"Command95", Kind::Button, "Frame15", "SEND", 5760, 240, 735, 255, 0xC0FFC0, kNoColour, Face::Gothic, 900, true, 93, Align::Left, false, false, false, nullptr, "Send command"},
    {"Command96", Kind::Button, "Frame15", "CLS", 6480, 240, 615, 255, 0xFFC0C0, kNoColour, Face::Gothic, 900, true, 94, Align::Left, false, false, false, nullptr, "Clear command line"},
};

constexpr DesignedLine kLines[] = {
    {"Line1", 1080, 2400, 1080, 2880},
    {"Line2", 2160, 2400, 2160, 2880},
    {"Line3", 3120, 2880, 3120, 3480},
    {"Line4", 2160, 3480, 2160, 3960},
    {"Line5", 1080, 3480, 1080, 3960},
    {"Line6", 120, 2880, 120, 3480},
    {"Line7", 1080, 2400, 2160, 2400},
    {"Line8", 120, 2880, 1080, 2880},
    {"Line9", 2160, 2880, 3120, 2880},
    {"Line10", 120, 3480, 1080, 3480},
    {"Line11", 1080, 3960, 2160, 3960},
    {"Line12", 2160, 3480, 3120, 3480},
};

}  // namespace

std::span<const DesignedControl> designedControls() { return kControls; }
std::span<const DesignedLine> designedLines() { return kLines; }

int fontPixels(int pointSize100) { return int(pointSize100 * 96 / 72.0 / 100.0 + 0.5); }

QString spokenName(const DesignedControl &c)
{
    if (c.command)
        return latin1(c.command->description);
    return QString::fromUtf8(c.spoken ? c.spoken : c.caption);
}

namespace {

QJsonValue colourJson(std::uint32_t colour)
{
    if (colour == kNoColour)
        return QJsonValue::Null;
    if (colour == kSystemButtonFace)
        return QStringLiteral("button-face");
    if (colour == kSystemWindow)
        return QStringLiteral("window");
    return QStringLiteral("#%1").arg(colour, 6, 16, QLatin1Char('0'));
}

QString controlKindName(Kind kind)
{
    static const char *const names[] = {"button", "label", "frame", "option", "textbox", "image"};
    return QLatin1String(names[int(kind)]);
}

}  // namespace

QJsonObject layoutJson()
{
    static const char *const faces[] = {nullptr, "gothic", "pgothic"};
    static const char *const aligns[] = {"left", "center", "right"};
    static const char *const repeats[] = {"none", "adjuster", "cursor"};
    QJsonArray controls, lines;
    for (const DesignedControl &c : kControls) {
        controls.append(QJsonObject{
            {"name", QLatin1String(c.name)},
            {"kind", controlKindName(c.kind)},
            {"parent", c.parent ? QJsonValue(QLatin1String(c.parent)) : QJsonValue::Null},
            {"caption", QString::fromUtf8(c.caption)},
            {"left", c.left},
            {"top", c.top},
            {"width", c.width},
            {"height", c.height},
            {"colour", colourJson(c.colour)},
            {"textColour", colourJson(c.textColour)},
            {"face", c.face == Face::None ? QJsonValue::Null : QJsonValue(QLatin1String(faces[int(c.face)]))},
            {"points", c.pointSize100 / 100.0},
            {"pixels", fontPixels(c.pointSize100)},
            {"bold", c.bold},
            {"tab", c.tab},
            {"align", QLatin1String(aligns[int(c.align)])},
            {"border", c.border},
            {"hidden", c.hiddenAtCreation},
            {"selected", c.selectedAtCreation},
            {"command", c.command ? QJsonValue(latin1(c.command->name)) : QJsonValue::Null},
            {"repeat", QLatin1String(repeats[int(c.command ? c.command->repeat : Repeat::None)])},
            {"spoken", spokenName(c)},
        });
    }
    for (const DesignedLine &l : kLines)
        lines.append(QJsonObject{{"name", QLatin1String(l.name)}, {"x1", l.x1}, {"y1", l.y1}, {"x2", l.x2}, {"y2", l.y2}});
    return {
        {"title", QLatin1String(kWindowTitle)},
        {"width", kDesignClientWidth},
        {"height", kDesignClientHeight},
        {"twipsPerPixel", kTwipsPerPixel},
        {"colour", colourJson(kWindowColour)},
        {"lineColour", colourJson(kLineColour)},
        {"lineWidth", kLineWidthPixels},
        {"heights", QJsonObject{{"start", kStartHeightTwips}, {"data", kDataHeightTwips}, {"panel", kPanelHeightTwips},
                                {"full", kFullHeightTwips}, {"tall", kTallHeightTwips}}},
        {"dataCaptions", QJsonObject{{"show", QString::fromUtf8(kDataShowCaption)},
                                     {"hide", QString::fromUtf8(kDataHideCaption)},
                                     {"close", QLatin1String(kDataCloseCaption)}}},
        {"controls", controls},
        {"lines", lines},
    };
}

}  // namespace qm25
