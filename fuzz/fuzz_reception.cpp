// Fuzz target: reception through the exchange engine. A byte stream is
// split into arrivals from the line and fed to the exchange, which appends
// them to the receive buffer, renders it on the RXD line and decodes it
// against the status query sent last.
//
// Input: a list of operations, each an operation byte and its arguments:
//   0-3  one reception event: a length byte, then that many bytes
//   4    a burst: a count byte k and up to 16 pattern bytes, repeated to
//        (k + 1) * 512 bytes in one event (fills the buffer to its cap)
//   5    the reply time-out fires (empties the buffer)
//   6    a send: a byte choosing one of the nine status queries, a plain
//        command or a query in lower case
//   7    the release of a held button (empties the buffer)
//
// Checked after every operation: the buffer stays within its cap and holds
// exactly the bytes received since it was last emptied, as far as the cap
// keeps them, as characters of the same codes; the RXD line is the rendering
// of the buffer, printable and within four times its length plus one; the
// STATUS line is a text of the query's table, the line computed for the
// query, or what it showed before.
#include <QCoreApplication>
#include <QRegularExpression>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "core/exchange_engine.h"
#include "core/render.h"

using qm25::DisplayLine;
using qm25::ExchangeEngine;

namespace {

[[noreturn]] void fail(const char *what, const QString &detail = {})
{
    std::fprintf(stderr, "fuzz_reception: %s %s\n", what, qPrintable(detail.left(200)));
    std::abort();
}

// A line whose input is the fuzzer's and whose output goes nowhere.
class FuzzLine : public qm25::Line {
public:
    bool write(const QByteArray &, QString *) override { return true; }
    void arrive(const QByteArray &bytes) { emit received(bytes); }
};

struct Row {
    const char16_t *key;
    const char16_t *text;
};

// The decoding tables as the operator's manual gives them.
constexpr Row kPower[] = {
    {u" 0 0", u" Power ON"},
    {u" 8 0", u" Stand by"},
    {u" 4 0", u" Count down"},
    {u" 2 0", u" Cooling down"},
    {u" 1 0", u" Power Fail"},
    {u" 0 8", u" Temperature Warning"},
    {u" 0 2", u" NO Key input "},
    {u" 0 4", u" Lamp OFF by PWR Management"},
    {u" 2 8", u" Temperature Warning & cooling down"},
    {u" 2 4", u"Cooling down  PWR Management"},
    {u" 8 8", u" Temperature Warning and recoverd"},
    {u" 2 1", u" Cooling down (All Lamp FAIL)"},
    {u" 8 1", u" Cooling down & sutandby (All Lamp FAIL)"},
};
constexpr Row kInput[] = {
    {u" 1", u" Computer 1"}, {u" 2", u" Computer 2"}, {u" 3", u" Video"}, {u" 4", u" Input mode 4"},
};
constexpr Row kOrientation[] = {
    {u" 1 1", u" Normally"},
    {u" 1 0", u" Top/Bottom reversal"},
    {u" 0 1", u" Left/Right reversal"},
    {u" 0 0", u" Top/Bottom , Left/Right reversal"},
};
constexpr Row kMuteSignal[] = {
    {u" 0 0", u" Video & Audio mute OFF"}, {u" 0 1", u" Video mute ON"},
    {u" 0 2", u" Audio mute ON"},          {u" 0 3", u" Video & Audio mute ON"},
    {u" 8 0", u" No signal"},              {u" F F", u" Stand by"},
};
constexpr Row kLampMode[] = {
    {u" 0 0", u" All OFF : 2 Lamp mode"},
    {u" 0 1", u" No1 ON  : 2 Lamp mode"},
    {u" 0 2", u" No2 ON  : 2 Lamp mode"},
    {u" 0 3", u" No1,2 ON  : 2 Lamp mode"},
    {u" 1 0", u" All OFF : 1 Lamp mode(No1 USE)"},
    {u" 1 1", u" No1 ON  : 1 Lamp mode(No1 USE)"},
    {u" 2 0", u" All OFF : 1 Lamp mode(No2 USE)"},
    {u" 2 2", u" No2 ON  : 1 Lamp mode(No2 USE)"},
};

template <std::size_t N>
QString lookUp(const Row (&table)[N], qsizetype keyLength, const QString &rendered, const QString &before)
{
    const QString key = rendered.left(keyLength);
    for (const Row &row : table) {
        if (key == QString::fromUtf16(row.key))
            return QString::fromUtf16(row.text);
    }
    return before;
}

// Characters first..last of text, counted from 1, as far as it reaches.
QString stretch(const QString &text, qsizetype first, qsizetype last)
{
    return text.mid(first - 1, last - first + 1);
}

constexpr std::array<const char *, 11> kSends{
    "CR0", "CR1", "CR4", "CR3", "CR6", "CRA", "CR9", "CR PRESSURE", "CR7",
    "C00",  // no query
    "cr0",  // no query either: the match is exact
};

// What the STATUS line must show after a reception event.
QString expectedStatus(const QString &sent, const QString &rendered, const QString &before, const ExchangeEngine &e)
{
    if (sent == QLatin1String("CR0\r"))
        return lookUp(kPower, 4, rendered, before);
    if (sent == QLatin1String("CR1\r"))
        return lookUp(kInput, 2, rendered, before);
    if (sent == QLatin1String("CR4\r"))
        return lookUp(kOrientation, 4, rendered, before);
    if (sent == QLatin1String("CRA\r"))
        return lookUp(kMuteSignal, 4, rendered, before);
    if (sent == QLatin1String("CR7\r"))
        return lookUp(kLampMode, 4, rendered, before);
    if (sent == QLatin1String("CR3\r"))
        return rendered.left(38) + QLatin1String(" Hour Use");
    if (sent == QLatin1String("CR6\r"))
        return QLatin1String("  S1=") + stretch(rendered, 1, 10) + QLatin1String(" C  ,   S2= ")
               + stretch(rendered, 15, 22) + QLatin1String(" C , S3=") + stretch(rendered, 25, 34)
               + QLatin1String(" C");
    if (sent == QLatin1String("CR9\r"))
        return rendered;
    if (sent == QLatin1String("CR PRESSURE\r")) {
        // The arithmetic is checked by the unit tests; here the line must be
        // a 16-bit value in hPa, or the out-of-range text.
        const QString shown = e.text(DisplayLine::Status);
        if (shown == QLatin1String(" Pressure out of range"))
            return shown;
        static const QRegularExpression hPa(QStringLiteral("^(-?[0-9]{1,5}) hPa$"));
        const auto m = hPa.match(shown);
        if (!m.hasMatch())
            fail("pressure line of unknown form:", shown);
        bool ok = false;
        const int value = m.captured(1).toInt(&ok);
        if (!ok || value < -32768 || value > 32767)
            fail("pressure line is no 16-bit value:", shown);
        return shown;
    }
    return before;  // no query: the STATUS line is left alone
}

void checkBuffer(const ExchangeEngine &e, const QByteArray &expected)
{
    if (e.state().RecvText.size() > qm25::kReplyCap)
        fail("the receive buffer grew beyond its cap");
    if (e.state().RecvText != QString::fromLatin1(expected))
        fail("the receive buffer does not hold the bytes received");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A fresh exchange for every input.
    FuzzLine line;
    ExchangeEngine e;
    e.setLine(&line);
    const auto status = [&e] { return e.text(DisplayLine::Status); };

    QByteArray expected;  // what the buffer must hold
    const auto receive = [&](const QByteArray &bytes) {
        const QString before = status();
        line.arrive(bytes);
        expected += bytes.left(qm25::kReplyCap - expected.size());
        checkBuffer(e, expected);
        const QString rendered = e.text(DisplayLine::Rxd);
        if (rendered != qm25::renderText(e.state().RecvText))
            fail("the RXD line is not the rendering of the buffer");
        if (rendered.size() > 4 * e.state().RecvText.size() + 1)
            fail("the RXD line is longer than four times the buffer plus one");
        for (const QChar c : rendered) {
            if (c.unicode() < 0x20 || c.unicode() > 0x7e)
                fail("the RXD line holds a character that is not printable ASCII");
        }
        const QString want = expectedStatus(e.state().SendText, rendered, before, e);
        if (status() != want)
            fail("the STATUS line is neither a decoded text nor what it was:", status());
    };

    size_t i = 0;
    const auto next = [&]() -> size_t { return i < size ? data[i++] : 0; };
    while (i < size) {
        const uint8_t op = data[i++];
        const QString statusBefore = status();
        switch (op % 8) {
        case 0: case 1: case 2: case 3: {
            const size_t n = std::min(next(), size - i);
            receive(QByteArray(reinterpret_cast<const char *>(data + i), qsizetype(n)));
            i += n;
            break;
        }
        case 4: {
            const size_t length = (next() + 1) * 512;
            const size_t n = std::min<size_t>(16, size - i);
            QByteArray pattern(reinterpret_cast<const char *>(data + i), qsizetype(n));
            i += n;
            if (pattern.isEmpty())
                pattern = QByteArray(1, '\0');
            QByteArray burst;
            burst.reserve(qsizetype(length));
            while (size_t(burst.size()) < length)
                burst += pattern;
            burst.truncate(qsizetype(length));
            receive(burst);
            break;
        }
        case 5:
            e.replyTimeOut();
            expected.clear();
            checkBuffer(e, expected);
            break;
        case 6:
            e.sendTypedCommand(QLatin1String(kSends[next() % kSends.size()]));
            checkBuffer(e, expected);  // sending does not empty the buffer
            break;
        case 7:
            e.releaseHeldButton(qm25::command("volume up"));
            expected.clear();
            checkBuffer(e, expected);
            if (!e.text(DisplayLine::Rxd).isEmpty())
                fail("the release left the RXD line");
            break;
        }
        if (op % 8 >= 5 && status() != statusBefore)
            fail("the STATUS line changed without a reception");
    }
    return 0;
}
