#include "core/exchange.h"

#include <algorithm>

#include "core/render.h"
#include "core/status_decode.h"

namespace qm25 {
namespace {

const QString kNoReply = QStringLiteral(" X X X X");

}  // namespace

Exchange::Exchange(QObject *parent)
    : QObject(parent),
      repeatTimer_(new IntervalTimer(QStringLiteral("Timer1"), 200, this)),
      replyTimer_(new IntervalTimer(QStringLiteral("Timer2"), 500, this)),
      clearTimer_(new IntervalTimer(QStringLiteral("Timer4"), 1000, this))
{
    connect(repeatTimer_, &IntervalTimer::tick, this, &Exchange::repeatTick);
    connect(replyTimer_, &IntervalTimer::tick, this, &Exchange::replyTimeOut);
    connect(clearTimer_, &IntervalTimer::tick, this, &Exchange::clearDisplay);
}

void Exchange::setLine(Line *line)
{
    if (line_)
        disconnect(line_, nullptr, this, nullptr);
    line_ = line;
    if (!line)
        return;
    connect(line, &Line::received, this, &Exchange::bytesArrived);
    connect(line, &Line::lost, this, &Exchange::lineLost);
}

// --- sending ------------------------------------------------------------------

void Exchange::sendClickCommand(const ClickCommand &row)
{
    // The intervals are set before the send, so this very command's reply
    // time-out and display clear run with them.
    if (row.shape == SendShape::SetReplyWait) {
        replyTimer_->setInterval(row.replyTimeout);
        clearTimer_->setInterval(row.displayClear);
    }
    sendCode(row.code);
    if (row.shape == SendShape::MenuSpeed) {
        repeatTimer_->setInterval(200);
        state_.CursorMode = 1;
    }
}

void Exchange::sendTypedCommand(const QString &typed)
{
    replyTimer_->setInterval(2000);
    clearTimer_->setInterval(2500);
    state_.CmdText = typed;  // as typed: no trimming, no change of case
    state_.SendText = state_.CmdPrefix + state_.CmdText + QLatin1Char('\r');
    sendFrame(state_.SendText);
}

void Exchange::sendCode(const char *code)
{
    state_.SendText = state_.CmdPrefix + QLatin1String(code) + QLatin1Char('\r');
    sendFrame(state_.SendText);
}

// The frame goes out first, then the TXD line shows it and the reply
// time-out and display clear start. A frame that could not go out still
// shows and still times out; the STATUS line says why it did not go out.
void Exchange::sendFrame(const QString &frame)
{
    QString why = QStringLiteral("no line");
    // One byte per character; a character above 255 goes out as "?".
    if (!line_ || !line_->write(frame.toLatin1(), &why))
        setText(DisplayLine::Status, QStringLiteral(" Not sent: %1").arg(why));
    setText(DisplayLine::Txd, renderText(frame));
    replyTimer_->setEnabled(true);
    state_.ReplyWait = 1;
    clearTimer_->setEnabled(true);
}

// --- held buttons ---------------------------------------------------------------

void Exchange::pressRepeatButton(const RepeatCommand &row)
{
    if (row.cursor) {
        // The cursor pad takes its timing from the last mode set; its repeat
        // period is whatever the repeat timer holds.
        if (state_.CursorMode == 1) {
            replyTimer_->setInterval(150);
            clearTimer_->setInterval(190);
        } else if (state_.CursorMode == 3) {
            replyTimer_->setInterval(5);
            clearTimer_->setInterval(5);
        }
        state_.KeyRepeatNo = quint8(row.repeatCode);
        sendCode(row.code);
        repeatTimer_->setEnabled(true);
        return;
    }
    state_.KeyRepeatNo = quint8(row.repeatCode);
    sendCode(row.code);
    repeatTimer_->setInterval(row.repeatPeriod);
    replyTimer_->setInterval(row.replyTimeout);
    clearTimer_->setInterval(row.displayClear);
    repeatTimer_->setEnabled(true);
}

void Exchange::repeatTick()
{
    if (state_.KeyRepeatNo == 0)
        return;
    const RepeatCommand *row = repeatCommandByCode(state_.KeyRepeatNo);
    if (!row)
        return;
    // The repeat timer keeps running on its own; it is not restarted here,
    // which would add this handler's own latency to every period. (A link
    // lost during the send has stopped it and let go of the button.)
    sendCode(row->code);
}

void Exchange::releaseRepeatButton(const RepeatCommand &row)
{
    state_.KeyRepeatNo = 0;
    repeatTimer_->setEnabled(false);
    replyTimer_->setEnabled(false);  // no " X X X X" for the last repeat
    clearTimer_->setEnabled(true);
    setText(DisplayLine::Txd, QString());
    setText(DisplayLine::Rxd, QString());
    replyTimer_->setInterval(500);
    clearTimer_->setInterval(1000);
    state_.RecvText = QString();
    if (row.digitalZoom) {
        // After D.Zoom the cursor pad repeats fast.
        repeatTimer_->setInterval(5);
        state_.CursorMode = 3;
    }
}

// --- receiving ---------------------------------------------------------------------

void Exchange::bytesArrived(const QByteArray &bytes)
{
    // The buffer keeps its start, which is what the display and the status
    // decoding read; a device that streams with nothing sent cannot grow it
    // beyond the cap. Each byte is the character of the same code.
    const qsizetype room = kRecvTextCap - state_.RecvText.size();
    if (room > 0)
        state_.RecvText.append(QString::fromLatin1(bytes.constData(), std::min(room, bytes.size())));
    state_.ReplyWait = 0;
    showReply();
}

void Exchange::showReply()
{
    setText(DisplayLine::Rxd, renderReply(state_.RecvText));
    const StatusDecode decoded = decodeStatus(text(DisplayLine::Rxd), state_.SendText, state_.CmdPrefix);
    if (decoded.pressureValue)
        state_.PressureValue = *decoded.pressureValue;
    if (decoded.status)
        setText(DisplayLine::Status, *decoded.status);
}

// Between two emptyings the receive buffer only grows at its end, and the
// rendering of a text is the rendering of its start followed by the pieces
// of the characters after it, so only the characters that came since the
// last reception need rendering. A text that does not continue the last one
// is rendered afresh.
const QString &Exchange::renderReply(QStringView text)
{
    const QStringView shown = text.left(kMaxRenderedChars);
    if (shownRendered_.isEmpty() || !shown.startsWith(shownSource_)) {
        shownSource_ = shown.toString();
        shownRendered_ = renderText(shown);
    } else if (shown.size() > shownSource_.size()) {
        const QStringView added = shown.sliced(shownSource_.size());
        shownSource_.append(added);
        shownRendered_.append(QStringView(renderText(added)).sliced(1));  // without its leading blank
    }
    return shownRendered_;
}

void Exchange::replyTimeOut()
{
    if (state_.ReplyWait == 1)
        setText(DisplayLine::Rxd, kNoReply);
    replyTimer_->setEnabled(false);
    state_.RecvText = QString();
    state_.ReplyWait = 0;
}

void Exchange::clearDisplay()
{
    setText(DisplayLine::Txd, QString());
    setText(DisplayLine::Rxd, QString());
    setText(DisplayLine::Status, QString());
    clearTimer_->setEnabled(false);
}

// --- the link ----------------------------------------------------------------------

void Exchange::lineLost(const QString &why)
{
    // Nothing can go out any more: a held button stops repeating now, before
    // another tick could try to send.
    repeatTimer_->setEnabled(false);
    state_.KeyRepeatNo = 0;
    emit linkLost(why);
}

void Exchange::showNote(const QString &text)
{
    setText(DisplayLine::Status, text);
    clearTimer_->setEnabled(true);
}

void Exchange::stop()
{
    for (IntervalTimer *t : {repeatTimer_, replyTimer_, clearTimer_})
        t->setEnabled(false);
    setLine(nullptr);
}

void Exchange::setText(DisplayLine line, const QString &text)
{
    QString &shown = lines_[int(line)];
    if (shown == text)
        return;
    shown = text;
    emit displayChanged(line, shown);
}

}  // namespace qm25
