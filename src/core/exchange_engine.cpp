#include "core/exchange_engine.h"

#include <algorithm>

#include "core/render.h"
#include "core/status.h"

namespace qm25 {

ExchangeEngine::ExchangeEngine(QObject *parent)
    : QObject(parent),
      repeatTimer_(new IntervalTimer(kRepeatPeriodAtStart, this)),
      replyTimer_(new IntervalTimer(kTimesAtStart.replyTimeoutMs, this)),
      clearTimer_(new IntervalTimer(kTimesAtStart.displayClearMs, this))
{
    connect(repeatTimer_, &IntervalTimer::tick, this, &ExchangeEngine::repeatTick);
    connect(replyTimer_, &IntervalTimer::tick, this, &ExchangeEngine::replyTimeOut);
    connect(clearTimer_, &IntervalTimer::tick, this, &ExchangeEngine::clearDisplay);
}

void ExchangeEngine::setLine(Line *line)
{
    if (line_)
        disconnect(line_, nullptr, this, nullptr);
    line_ = line;
    if (!line)
        return;
    connect(line, &Line::received, this, &ExchangeEngine::bytesArrived);
    connect(line, &Line::lost, this, &ExchangeEngine::lineLost);
}

// --- sending ------------------------------------------------------------------

void ExchangeEngine::setTimes(ExchangeTimes times)
{
    replyTimer_->setInterval(times.replyTimeoutMs);
    clearTimer_->setInterval(times.displayClearMs);
}

void ExchangeEngine::clickCommand(const CommandRow &row)
{
    // The times are set before the send, so this very command's reply
    // time-out and display clear run with them.
    if (row.setsTimes)
        setTimes(row.times);
    sendCode(row);
    if (row.cursor == CursorEffect::MenuSpeed) {
        repeatTimer_->setInterval(kMenuRepeatPeriodMs);
        state_.CursorMode = CursorSpeed::Menu;
    }
}

void ExchangeEngine::sendTypedCommand(const QString &typed)
{
    setTimes(kCommandLineTimes);
    state_.CmdText = typed;  // as typed: no trimming, no change of case
    state_.SendText = state_.CmdText + QLatin1Char(kCr);
    sendFrame(state_.SendText);
}

void ExchangeEngine::sendCode(const CommandRow &row)
{
    state_.SendText = QString::fromLatin1(row.frame());
    sendFrame(state_.SendText);
}

// The frame goes out first, then the TXD line shows it and the reply
// time-out and display clear start. A frame that could not go out still
// shows and still times out; the STATUS line says why it did not go out.
void ExchangeEngine::sendFrame(const QString &frame)
{
    QString why = QStringLiteral("no line");
    // One byte per character; a character above 255 goes out as "?".
    if (!line_ || !line_->write(frame.toLatin1(), &why))
        setText(DisplayLine::Status, QStringLiteral(" Not sent: %1").arg(why));
    setText(DisplayLine::Txd, renderText(frame));
    replyTimer_->setEnabled(true);
    state_.ReplyWait = true;
    clearTimer_->setEnabled(true);
}

// --- held buttons ---------------------------------------------------------------

void ExchangeEngine::pressHeldButton(const CommandRow &row)
{
    if (row.repeat == Repeat::Cursor) {
        // The cursor pad takes its times from the speed last set; its repeat
        // period is whatever the repeat timer holds.
        if (state_.CursorMode == CursorSpeed::Menu)
            setTimes(kMenuCursorTimes);
        else if (state_.CursorMode == CursorSpeed::Fast)
            setTimes(kFastCursorTimes);
        state_.held = &row;
        sendCode(row);
        repeatTimer_->setEnabled(true);
        return;
    }
    state_.held = &row;
    sendCode(row);
    repeatTimer_->setInterval(row.held.repeatPeriodMs);
    setTimes(row.held.times);
    repeatTimer_->setEnabled(true);
}

void ExchangeEngine::repeatTick()
{
    if (!state_.held)
        return;
    // The repeat timer keeps running on its own; it is not restarted here,
    // which would add this handler's own latency to every period. (A link
    // lost during the send has stopped it and let go of the button.)
    sendCode(*state_.held);
}

void ExchangeEngine::releaseHeldButton(const CommandRow &row)
{
    state_.held = nullptr;
    repeatTimer_->setEnabled(false);
    replyTimer_->setEnabled(false);  // no " X X X X" for the last repeat
    clearTimer_->setEnabled(true);
    setText(DisplayLine::Txd, QString());
    setText(DisplayLine::Rxd, QString());
    setTimes(kTimesAtStart);
    state_.RecvText = QString();
    if (row.cursor == CursorEffect::FastAfterRelease) {
        repeatTimer_->setInterval(kFastRepeatPeriodMs);
        state_.CursorMode = CursorSpeed::Fast;
    }
}

// --- receiving ---------------------------------------------------------------------

void ExchangeEngine::bytesArrived(const QByteArray &bytes)
{
    // The buffer keeps its start, which is what the display and the status
    // decoding read; a device that streams with nothing sent cannot grow it
    // beyond the cap. Each byte is the character of the same code.
    const qsizetype room = kReplyCap - state_.RecvText.size();
    if (room > 0)
        state_.RecvText.append(QString::fromLatin1(bytes.constData(), std::min(room, bytes.size())));
    state_.ReplyWait = false;
    showReply();
}

void ExchangeEngine::showReply()
{
    const QString &rendered = renderReply(state_.RecvText);
    setText(DisplayLine::Rxd, rendered);
    // Every reply is read as an answer to the last frame sent, when that is
    // the frame of a status read.
    if (const CommandRow *read = statusReadOfFrame(state_.SendText))
        if (const auto line = statusLine(read->reading, state_.RecvText, rendered))
            setText(DisplayLine::Status, *line);
}

// Between two emptyings the receive buffer only grows at its end, and the
// rendering of a text is the rendering of its start followed by the pieces
// of the characters after it, so only the characters that came since the
// last reception need rendering. A text that does not continue the last one
// is rendered afresh.
const QString &ExchangeEngine::renderReply(QStringView text)
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

void ExchangeEngine::replyTimeOut()
{
    if (state_.ReplyWait)
        setText(DisplayLine::Rxd, kNoReplyText);
    replyTimer_->setEnabled(false);
    state_.RecvText = QString();
    state_.ReplyWait = false;
}

void ExchangeEngine::clearDisplay()
{
    setText(DisplayLine::Txd, QString());
    setText(DisplayLine::Rxd, QString());
    setText(DisplayLine::Status, QString());
    clearTimer_->setEnabled(false);
}

// --- the link ----------------------------------------------------------------------

void ExchangeEngine::lineLost(const QString &why)
{
    // Nothing can go out any more: a held button stops repeating now, before
    // another tick could try to send.
    repeatTimer_->setEnabled(false);
    state_.held = nullptr;
    emit linkLost(why);
}

void ExchangeEngine::showNote(const QString &text)
{
    setText(DisplayLine::Status, text);
    // Cleared with the display: a display clear already under way for an
    // exchange keeps its time.
    if (!clearTimer_->isEnabled())
        clearTimer_->setEnabled(true);
}

void ExchangeEngine::stop()
{
    for (IntervalTimer *t : {repeatTimer_, replyTimer_, clearTimer_})
        t->setEnabled(false);
    setLine(nullptr);
}

void ExchangeEngine::setText(DisplayLine line, const QString &text)
{
    QString &shown = lines_[int(line)];
    if (shown == text)
        return;
    shown = text;
    emit displayChanged(line, shown);
}

}  // namespace qm25
