#pragma once
#include <QString>
#include <QStringView>

namespace qm25 {

// Longest text that is rendered; characters beyond it are not shown.
inline constexpr qsizetype kMaxRenderedChars = 32767;

// Display form of a text: a leading blank, then one piece per character.
// ACK -> "ACK ", code 20 -> "&", CR -> "CR ", LF -> "LF ", other control
// codes -> "? ", blank to 'z' -> the character and a blank, above 'z' -> "? ".
QString renderText(QStringView text);

}  // namespace qm25
