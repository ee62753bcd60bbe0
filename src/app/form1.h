#pragma once
#include <QHash>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/controls.h"
#include "commands/command_table.h"
#include "serial/mscomm.h"

class QFrame;
class QLineEdit;
class QRadioButton;

namespace qm25 {

// The panel's one window. Its handlers are named after their control and
// event; the controller state is held in plain members, as the handlers read
// and write it directly.
class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(std::unique_ptr<MSComm> comm, QWidget *parent = nullptr);
    ~Form1() override;

    static QString title();

    // --- controller state --------------------------------------------------
    quint8 KeyRepeatNo = 0;
    quint8 ReplyWait = 0;
    quint8 CursorMode = 0;
    QString SendText;
    QString RecvText;
    qint16 PressureValue = 0;
    qint16 PanelFlag = 0;
    QString CmdText;
    QString CommSetting;
    QString CmdPrefix;

    // Longest receive buffer kept; characters beyond it are dropped until the
    // reply time-out or a release empties the buffer.
    static constexpr qsizetype kRecvTextCap = 32767;

    // --- controls -----------------------------------------------------------
    QWidget *control(const QString &name) const { return controls_.value(name); }
    template <class T> T *control(const QString &name) const { return qobject_cast<T *>(control(name)); }
    QList<QObject *> allControls() const;

    QLabel *Label11 = nullptr;  // TXD
    QLabel *Label12 = nullptr;  // RXD
    QLabel *Label22 = nullptr;  // STATUS
    QFrame *Frame8 = nullptr;   // port panel
    CommandButton *Command34 = nullptr;
    QRadioButton *Option1 = nullptr, *Option2 = nullptr, *Option9 = nullptr, *Option10 = nullptr;
    QLineEdit *Text1 = nullptr;
    ImageControl *Image1 = nullptr;
    IntervalTimer *Timer1 = nullptr, *Timer2 = nullptr, *Timer3 = nullptr, *Timer4 = nullptr;
    MSComm *MSComm1 = nullptr;

    // --- window height, outer, in twips ------------------------------------
    int heightTwips() const;
    void setHeightTwips(int twips);

    // --- start-up and end ----------------------------------------------------
    // False when the port cannot be opened; startupError() says why.
    bool Form_Load();
    QString startupError() const { return startupError_; }
    void Command16_Click();  // END

    // --- port panel -----------------------------------------------------------
    void Command33_Click();
    void Option1_Click();
    void Option2_Click();
    void Option9_Click();
    void Option10_Click();
    void Timer3_Timer();
    // Marks an option as selected from the program; its handler runs when it
    // was not selected before, as it would on a click.
    void selectOption(QRadioButton *option);

    // --- data panel and keyboard ---------------------------------------------
    void Form_KeyDown(int keyCode, int shift);
    void Image1_DblClick();
    void Command34_Click();

    // --- sending -----------------------------------------------------------------
    void Hyouji(const QString &text, quint8 mode);
    void commandClick(const ClickCommand &row);
    void repeatMouseDown(const RepeatCommand &row);
    void repeatMouseUp(const RepeatCommand &row);
    void Timer1_Timer();
    void Command95_Click();  // SEND
    void Command96_Click();  // CLS

    // --- receiving ---------------------------------------------------------------
    void MSComm1_OnComm();
    void Timer2_Timer();
    void Timer4_Timer();

    // Seams: the warning box of a failed port switch or a lost link, and the
    // end of the program. Tests replace them; the defaults show a modal box
    // and quit the application.
    std::function<void(const QString &)> warningBox;
    std::function<void()> endProgram;

    // The last text shown on the RXD line and its rendering, so that a
    // growing receive buffer is rendered only for what arrived since.
    struct ShownReply {
        QString source;    // the characters rendered, a copy of their own
        QString rendered;  // renderText(source)
    };

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildControls();
    void connectHandlers();
    void switchPort(int port);
    void switchSpeed(const QString &setting);
    void onLinkLost(const QString &description);
    void showSendFailure(const QString &why);

    QHash<QString, QWidget *> controls_;
    QList<QObject *> nonVisual_;
    QString startupError_;
    int heightTwips_ = 0;     // last height set, in twips
    int heightPixels_ = -1;   // the outer pixel height it was set as
    bool ended_ = false;
    ShownReply shownReply_;
};

}  // namespace qm25
