#pragma once
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <span>

namespace qm25 {

struct CommandRow;

// The window as designed: every visible control with its place, look and
// state at creation, as plain data that the window builds its widgets from
// and the gateway serves to the panel in a browser. Positions and sizes are
// in twips, relative to the container (the window's client area, or the
// frame's outer corner).
enum class Kind { Button, Label, Frame, Option, TextBox, Image };
enum class Face { None, Gothic, PGothic };  // fixed-pitch and proportional Gothic
enum class Align { Left, Center, Right };

inline constexpr std::uint32_t kNoColour = 0xFFFFFFFFu;
inline constexpr std::uint32_t kSystemButtonFace = 0x01000000u;
inline constexpr std::uint32_t kSystemWindow = 0x02000000u;

struct DesignedControl {
    const char *name;
    Kind kind;
    const char *parent;  // nullptr: directly on the window
    const char *caption; // UTF-8
    int left, top, width, height;
    std::uint32_t colour;      // #RRGGBB, or one of the constants above
    std::uint32_t textColour;  // kNoColour: the platform's text colour
    Face face;
    int pointSize100;  // font size in hundredths of a point
    bool bold;
    int tab;  // place in the tab order, -1 for none
    Align align;
    bool border;           // single border
    bool hiddenAtCreation;
    bool selectedAtCreation;
    const CommandRow *command;  // the button's command in the catalogue; nullptr: none
    const char *spoken;         // what a screen reader says where no command says it; nullptr: the caption
};

struct DesignedLine {
    const char *name;
    int x1, y1, x2, y2;  // client coordinates, twips
};

// Client area as designed, twips.
inline constexpr int kDesignClientWidth = 9495;
inline constexpr int kDesignClientHeight = 8730;
inline constexpr int kTwipsPerPixel = 15;
inline constexpr std::uint32_t kWindowColour = 0xC0C0C0;
inline constexpr std::uint32_t kLineColour = 0x8080FF;
inline constexpr int kLineWidthPixels = 2;
inline constexpr char kWindowTitle[] = "RUNO   QM25   CONTROL   Ver.1.40";

// The window's outer heights, in twips (15 to a pixel at 96 dots an inch).
inline constexpr int kStartHeightTwips = 5350;  // the main buttons only
inline constexpr int kDataHeightTwips = 6645;   // with the data display and the status buttons
inline constexpr int kPanelHeightTwips = 7200;  // Ctrl+H: the same with a little more room
inline constexpr int kFullHeightTwips = 9100;   // the whole window
// The show/hide button shortens a window at least this high, and opens a lower one.
inline constexpr int kTallHeightTwips = 6000;
// The show/hide button's captions (UTF-8): what its next click does.
inline constexpr char kDataShowCaption[] = "データを表示する";
inline constexpr char kDataHideCaption[] = "データを表示しない";
inline constexpr char kDataCloseCaption[] = "CLOSE";

std::span<const DesignedControl> designedControls();
std::span<const DesignedLine> designedLines();

// A font's size in pixels at the twips grid's 96 dots an inch.
int fontPixels(int pointSize100);
// What a screen reader says for the control: its command's description,
// else its own words for it, else its caption.
QString spokenName(const DesignedControl &control);
// The whole layout as JSON: the window's size, heights, colours and title,
// every control (its command by its catalogue name, with how it repeats) and
// every line.
QJsonObject layoutJson();

}  // namespace qm25
