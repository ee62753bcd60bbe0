#pragma once
// The projector's line protocol, as every part of the system speaks it: a
// frame is a command code followed by CR, a reply a short text ended by CR.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <string_view>

namespace qm25 {

inline constexpr char kCr = '\r';
inline constexpr char kLf = '\n';
inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;

// The projector's answers that carry no data: ACK CR for a command carried
// out, NAK CR for one it refuses in its present state, ERR CR for a code it
// does not know.
inline constexpr std::string_view kAckReply{"\x06\r", 2};
inline constexpr std::string_view kNakReply{"\x15\r", 2};
inline constexpr std::string_view kErrReply{"ERR\r", 4};

// Longest reply kept: the receive buffer's cap, and the most a program
// collects while it waits for a reply's CR. What comes beyond it is dropped.
inline constexpr qsizetype kReplyCap = 32767;

// What the RXD line shows when no reply came within the reply time-out.
inline const QString kNoReplyText = QStringLiteral(" X X X X");

// The protocol's and the catalogue's texts as Qt takes them.
inline QLatin1String latin1(std::string_view text) { return QLatin1String(text.data(), qsizetype(text.size())); }
inline QByteArrayView bytes(std::string_view text) { return QByteArrayView(text.data(), qsizetype(text.size())); }

// Where a typed code holds a control character (CR, LF, ...), which would
// end or split its frame: the index of the first, or -1.
inline qsizetype controlCharacterAt(QStringView code)
{
    for (qsizetype i = 0; i < code.size(); ++i)
        if (code[i].unicode() < 32 || code[i].unicode() == 127)
            return i;
    return -1;
}

// The frame of a command code: the code and CR.
inline QByteArray frameOf(std::string_view code)
{
    QByteArray frame(code.data(), qsizetype(code.size()));
    frame += kCr;
    return frame;
}

}  // namespace qm25
