#include "core/render.h"

#include <algorithm>

namespace qm25 {
namespace {

constexpr char16_t kAck = 6;
constexpr char16_t kAmpersandCode = 20;
constexpr char16_t kLf = 10;
constexpr char16_t kCr = 13;

// Number of characters the piece of c takes; must agree with the cases
// written by renderText below.
constexpr qsizetype pieceLength(char16_t c) noexcept
{
    switch (c) {
    case kAck:
        return 4;  // "ACK "
    case kAmpersandCode:
        return 1;  // "&"
    case kCr:
    case kLf:
        return 3;  // "CR ", "LF "
    default:
        return 2;  // the character or "?", then a blank
    }
}

}  // namespace

// Runs on every reception event over the whole receive buffer, so the
// result is sized exactly in a first pass and then filled in place.
QString renderText(QStringView text)
{
    const qsizetype count = std::min(text.size(), kMaxRenderedChars);
    const char16_t *const begin = text.utf16();
    const char16_t *const end = begin + count;

    qsizetype length = 1;
    for (const char16_t *src = begin; src != end; ++src)
        length += pieceLength(*src);

    QString out(length, Qt::Uninitialized);
    QChar *dst = out.data();
    *dst++ = u' ';
    for (const char16_t *src = begin; src != end; ++src) {
        const char16_t c = *src;
        switch (c) {
        case kAck:
            *dst++ = u'A';
            *dst++ = u'C';
            *dst++ = u'K';
            *dst++ = u' ';
            break;
        case kAmpersandCode:
            *dst++ = u'&';
            break;
        case kCr:
            *dst++ = u'C';
            *dst++ = u'R';
            *dst++ = u' ';
            break;
        case kLf:
            *dst++ = u'L';
            *dst++ = u'F';
            *dst++ = u' ';
            break;
        default:
            // Blank up to 'z' shows as itself; other control codes and
            // everything above 'z' show as '?'.
            *dst++ = (c >= 32 && c <= 122) ? QChar(c) : QChar(u'?');
            *dst++ = u' ';
            break;
        }
    }
    Q_ASSERT(dst == out.constData() + length);
    return out;
}

}  // namespace qm25
