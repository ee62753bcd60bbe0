// Fuzz target: the rendering of a text for the TXD and RXD lines.
//
// Input: one flag byte, then the text. Flag bit 0: the text is UTF-16 (two
// bytes a character, low byte first) instead of one character per byte.
// Bits 1-3 equal to 001: the text is repeated until it is longer than the
// rendering's cap (one input in eight, as long texts are slow to check).
//
// Checked: the result is exactly what the table of pieces gives (a reference
// written separately here), holds only printable ASCII, starts with a blank
// and is never longer than four times the input plus one.
#include <QString>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>

#include "core/render.h"

namespace {

[[noreturn]] void fail(const char *what, const QString &text)
{
    std::fprintf(stderr, "fuzz_render: %s (input of %lld characters)\n", what,
                 static_cast<long long>(text.size()));
    std::abort();
}

// The table of pieces, row by row, first matching row wins.
QString reference(const QString &text)
{
    const qsizetype n = std::min<qsizetype>(text.size(), qm25::kMaxRenderedChars);
    QString out;
    out.reserve(4 * n + 1);
    out += QLatin1Char(' ');
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == 6) {
            out += QLatin1String("ACK ");
        } else if (c == 20) {
            out += QLatin1Char('&');
        } else if (c == 13) {
            out += QLatin1String("CR ");
        } else if (c == 10) {
            out += QLatin1String("LF ");
        } else if (c < 32 || c > 122) {
            out += QLatin1String("? ");
        } else {
            out += QChar(c);
            out += QLatin1Char(' ');
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    ++data;
    --size;

    QString text;
    if (flags & 1) {
        text.resize(qsizetype(size / 2));
        for (size_t i = 0; i + 1 < size; i += 2)
            text[qsizetype(i / 2)] = QChar(char16_t(data[i] | (data[i + 1] << 8)));
    } else {
        text = QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
    }
    if ((flags & 0x0e) == 0x02 && !text.isEmpty()) {
        const qsizetype copies = qm25::kMaxRenderedChars / text.size() + 2;
        text = text.repeated(copies);
    }

    const QString rendered = qm25::renderText(text);

    if (rendered.isEmpty() || rendered.front() != u' ')
        fail("the rendering does not start with a blank", text);
    for (const QChar c : rendered) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            fail("the rendering holds a character that is not printable ASCII", text);
    }
    if (rendered.size() > 4 * text.size() + 1)
        fail("the rendering is longer than four times the input plus one", text);
    if (rendered.size() > 4 * qm25::kMaxRenderedChars + 1)
        fail("the rendering is longer than the cap allows", text);
    if (rendered != reference(text))
        fail("the rendering differs from the table of pieces", text);
    return 0;
}
