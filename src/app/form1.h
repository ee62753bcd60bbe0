#pragma once
#include <QHash>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "app/controls.h"
#include "app/device_chooser.h"
#include "core/exchange.h"
#include "serial/serial_line.h"

class QFrame;
class QLineEdit;
class QRadioButton;

namespace qm25 {

// The panel's one window: the controls as designed, each button bound to
// the exchange with the projector, the three display lines showing what the
// exchange shows, and what is the window's own: the port panel, the heights
// and the data panel, the keyboard, the warning boxes and END.
class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(std::unique_ptr<SerialLine> port = std::make_unique<SerialLine>(), QWidget *parent = nullptr);
    ~Form1() override;

    static QString title();

    // --- the window's own state ----------------------------------------------
    qint16 PanelFlag = 0;  // 1 from Ctrl+H until the show/hide button: the double-click opens the window
    QString CommSetting;   // line settings handed to the port

    Exchange &exchange() { return exchange_; }

    // --- controls, found by their names ---------------------------------------
    QWidget *control(const QString &name) const { return controls_.value(name); }
    template <class T> T *control(const QString &name) const { return qobject_cast<T *>(control(name)); }
    // Every control of the design, the timers and the serial port included.
    QList<QObject *> allControls() const;

    QLabel *Label11 = nullptr;  // TXD
    QLabel *Label12 = nullptr;  // RXD
    QLabel *Label22 = nullptr;  // STATUS
    QFrame *Frame8 = nullptr;   // port panel
    CommandButton *Command34 = nullptr;  // shows and hides the display
    QRadioButton *Option1 = nullptr, *Option2 = nullptr, *Option9 = nullptr, *Option10 = nullptr;
    QLineEdit *Text1 = nullptr;  // the command line
    ImageControl *Image1 = nullptr;
    IntervalTimer *Timer3 = nullptr;  // hides the port panel again
    SerialLine *MSComm1 = nullptr;

    // --- window height, outer, in twips ------------------------------------
    int heightTwips() const;
    void setHeightTwips(int twips);

    // --- start-up and end ----------------------------------------------------
    // Places the window, cuts it to its upper part and opens COM1; on a
    // device server it waits, running the event loop, until the connection is
    // made or has failed (the window is not shown yet). False when the port
    // cannot be opened; startupError() says why.
    bool startUp();
    QString startupError() const { return startupError_; }
    // Closes the port and ends the program.
    void end();

    // --- port panel -----------------------------------------------------------
    void showPortPanel();
    void choosePort(int port);
    void chooseSpeed(const QString &setting);
    void hidePortPanel();

    // --- the devices behind the ports -----------------------------------------
    // Asks for the device behind a port (the right-click on COM1 or COM2) and
    // uses the answer.
    void chooseDevice(int port);
    // Makes the choice the port's device for this run. The port in use (its
    // option marked) opens on it at once, as choosing the port does; a choice
    // to remember is remembered once it opened, or at once for the other port.
    void useDevice(int port, const DeviceChoice &choice);
    // Remembers the device for the next start (the current one when `device`
    // is empty); a warning box when it cannot be written.
    void keepDevice(int port, const QString &device);
    // The options' tool tips name the device behind each port.
    void updatePortToolTips();

    // --- data panel and keyboard ---------------------------------------------
    // A key pressed anywhere in the window; shift: 1 Shift, 2 Ctrl, 4 Alt.
    void keyDown(int keyCode, int shift);
    void openFullHeight();     // the double-click on the picture
    void toggleDataDisplay();  // the show/hide button

    // --- command line ------------------------------------------------------------
    void sendCommandLine();
    void clearCommandLine();

    // Seams: the warning box of a failed port switch or a lost link, and the
    // end of the program. Tests replace them; the defaults show a modal box
    // and quit the application.
    std::function<void(const QString &)> warningBox;
    std::function<void()> endProgram;
    // Seam: the device chooser, given why the port could not be opened at
    // start-up or an empty text; nothing when cancelled or quit.
    std::function<std::optional<DeviceChoice>(int port, const QString &startUpFailure)> askDevice;

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void bindControls();
    void showLine(DisplayLine line, const QString &text);
    void warnLinkLost(const QString &description);
    // The port finished connecting to its device server, or failed to.
    void portOpened();
    void portFailed(const QString &why);
    void leaveClosed();
    QSize frameExtent() const;
    void centre();
    void followFrame();

    Exchange exchange_;
    QHash<QString, QWidget *> controls_;
    QString startupError_;
    int heightTwips_ = 0;     // last height set, in twips
    int heightPixels_ = -1;   // the client pixel height it was set as
    QSize frameSeen_;         // the frame's extent the window last followed
    bool centreOnFrame_ = false;  // centre again once the frame is known
    bool ended_ = false;
    bool startingUp_ = false;     // startUp() waits for the connection itself
    std::optional<QString> rememberOnOpen_;  // the device chosen to remember, once connected
};

}  // namespace qm25
