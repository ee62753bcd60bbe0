#pragma once
#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include "core/catalogue.h"
#include "core/interval_timer.h"
#include "core/line.h"

namespace qm25 {

// How the cursor pad times its repeats, as the last command that set it left it.
enum class CursorSpeed {
    AsSet,  // the times and period in force, whatever they are
    Menu,   // after A-IMAGE or MENU ON
    Fast,   // after a D.Zoom release
};

// What the engine holds between events.
struct ExchangeState {
    const CommandRow *held = nullptr;   // the button held down; nullptr: none
    bool ReplyWait = false;             // a reply to the last frame sent is awaited
    CursorSpeed CursorMode = CursorSpeed::AsSet;
    QString SendText;                   // the last frame handed out for sending
    QString RecvText;                   // receive buffer: every character since it was last emptied
    QString CmdText;                    // the text the command line last sent
};

// The three display lines.
enum class DisplayLine { Txd, Rxd, Status };

// The panel's exchanges with the projector, one after another: sends each
// command frame at once, shows it rendered on the TXD line, collects the
// reply into the receive buffer and shows it on the RXD line, decodes status
// replies onto the STATUS line, times a missing reply out as " X X X X" and
// clears the lines again; repeats the command of a held button. It reaches
// the projector through a Line and runs its own timers, all on the thread it
// lives on. Nothing is queued: a command goes out the moment it is given.
class ExchangeEngine : public QObject {
    Q_OBJECT
public:
    explicit ExchangeEngine(QObject *parent = nullptr);

    // The link used from now on (not owned); nullptr: none.
    void setLine(Line *line);

    // --- what the operator does --------------------------------------------
    void clickCommand(const CommandRow &row);
    void pressHeldButton(const CommandRow &row);
    void releaseHeldButton(const CommandRow &row);
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
    void setTimes(ExchangeTimes times);
    void sendCode(const CommandRow &row);
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
