#pragma once
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include "core/command_table.h"
#include "core/interval_timer.h"
#include "core/line.h"

namespace qm25 {

// What the exchange holds between events.
struct ExchangeState {
    quint8 KeyRepeatNo = 0;   // repeat code of the button held; 0: none
    quint8 ReplyWait = 0;     // 1 while a reply to the last frame sent is awaited
    quint8 CursorMode = 0;    // repeat timing of the cursor pad: 0, 1 (menu) or 3 (after D.Zoom)
    QString SendText;         // the last frame handed out for sending
    QString RecvText;         // receive buffer: every character since it was last emptied
    qint16 PressureValue = 0; // scratch value of the pressure decoding
    QString CmdText;          // the text the command line last sent
    QString CmdPrefix;        // put in front of every command code; empty
};

// The three display lines.
enum class DisplayLine { Txd, Rxd, Status };

// One exchange after another with the projector: sends each command frame
// at once, shows it rendered on the TXD line, collects the reply into the
// receive buffer and shows it on the RXD line, decodes status replies onto
// the STATUS line, times a missing reply out as " X X X X" and clears the
// lines again; repeats the command of a held button. It reaches the
// projector through a Line and runs its own timers, all on the thread it
// lives on.
class Exchange : public QObject {
    Q_OBJECT
public:
    // Longest receive buffer kept; characters beyond it are dropped until the
    // reply time-out or a release empties the buffer.
    static constexpr qsizetype kRecvTextCap = 32767;

    explicit Exchange(QObject *parent = nullptr);

    // The link used from now on (not owned); nullptr: none.
    void setLine(Line *line);

    // --- what the operator does --------------------------------------------
    void sendClickCommand(const ClickCommand &row);
    void pressRepeatButton(const RepeatCommand &row);
    void releaseRepeatButton(const RepeatCommand &row);
    void sendTypedCommand(const QString &typed);

    // --- what the line and the timers do ------------------------------------
    void bytesArrived(const QByteArray &bytes);
    void lineLost(const QString &why);
    void repeatTick();     // the repeat timer of a held button fired
    void replyTimeOut();   // the reply time-out fired
    void clearDisplay();   // the display clear fired

    // A note of the panel's own on the STATUS line, cleared with the display.
    void showNote(const QString &text);

    // Stops every timer and lets go of the line: nothing happens any more.
    void stop();

    const ExchangeState &state() const { return state_; }
    const QString &text(DisplayLine line) const { return lines_[int(line)]; }
    IntervalTimer *repeatTimer() const { return repeatTimer_; }
    IntervalTimer *replyTimer() const { return replyTimer_; }
    IntervalTimer *clearTimer() const { return clearTimer_; }

signals:
    void displayChanged(DisplayLine line, const QString &text);
    // The link was lost; a held button has stopped repeating already.
    void linkLost(const QString &why);

private:
    void sendCode(const char *code);
    void sendFrame(const QString &frame);
    void showReply();
    void setText(DisplayLine line, const QString &text);
    const QString &renderReply(QStringView text);

    ExchangeState state_;
    QString lines_[3];
    QPointer<Line> line_;
    IntervalTimer *repeatTimer_;
    IntervalTimer *replyTimer_;
    IntervalTimer *clearTimer_;
    // The last text rendered for the RXD line and its rendering, so that a
    // growing receive buffer is rendered only for what arrived since.
    QString shownSource_;
    QString shownRendered_;
};

}  // namespace qm25
