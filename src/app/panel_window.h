#pragma once
#include <QHash>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "app/controls.h"
#include "app/device_chooser.h"
#include "core/exchange_engine.h"
#include "core/layout_table.h"
#include "line/port_devices.h"
#include "line/port_line.h"

class QFrame;
class QLineEdit;
class QRadioButton;

namespace qm25 {

// The panel's one window (object name "Form1"): the controls as designed,
// each command button bound to the exchange engine, the three display lines
// showing what the engine shows, and what is the window's own: the port
// panel, the heights and the data panel, the keyboard, the warning boxes
// and END.
class PanelWindow : public QWidget {
    Q_OBJECT
public:
    explicit PanelWindow(PortDevices &devices, QWidget *parent = nullptr);
    ~PanelWindow() override;

    static QString title();

    ExchangeEngine &engine() { return engine_; }
    PortLine &line() { return *line_; }
    PortDevices &devices() { return devices_; }
    // The port in use (COM1, COM2): its number.
    int portNumber() const { return portNumber_; }

    // --- controls, found by their object names --------------------------------
    // The window is built in two steps: what the first frame shows, then,
    // once that frame is out, the lower parts (below the start-up height).
    // Any call here, and anything a person does in the window, builds them
    // first if they are not there yet.
    QWidget *control(const QString &name) const;
    template <class T> T *control(const QString &name) const { return qobject_cast<T *>(control(name)); }
    // Every control of the design, the timers and the line included.
    QList<QObject *> allControls() const;

    QLabel *txdLine() const { return txd_; }
    QLabel *rxdLine() const;
    QLabel *statusLine() const;
    QFrame *portPanel() const { return portPanel_; }
    CommandButton *dataButton() const { return dataButton_; }  // shows and hides the data display
    QRadioButton *portOption(int port) const { return port == 1 ? com1_ : com2_; }
    QRadioButton *option19200() const { return speed19200_; }
    QRadioButton *option9600() const { return speed9600_; }
    QLineEdit *commandBox() const;
    ImageControl *picture() const { return picture_; }
    IntervalTimer *portPanelTimer() const { return portPanelTimer_; }

    // --- window height, outer, in twips ------------------------------------
    int heightTwips() const;
    void setHeightTwips(int twips);
    // Ctrl+H was pressed and the show/hide button has not been clicked since:
    // a double-click on the picture opens the whole window.
    bool doubleClickOpensFullHeight() const { return fullHeightOffered_; }
    // The window is centred again once its frame is known: after start-up,
    // until it has been framed, or for a short while after it is shown.
    bool centresOnItsFrame() const { return centreOnFrame_; }
    static constexpr int kFrameWaitMs = 2000;

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
    // A key pressed anywhere in the window, before the control with the focus.
    void keyDown(int key, Qt::KeyboardModifiers modifiers);
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

signals:
    // The lower parts are built: after the first frame, or earlier when
    // something needed them.
    void completed();

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls(bool lowerParts);
    QWidget *createControl(const DesignedControl &control, QWidget *parent);
    void completeWindow() const;
    void bindControls();
    void showLine(DisplayLine line, const QString &text);
    void warnLinkLost(const QString &description);
    // Puts the port's device on the line, named as messages name it.
    bool setPort(int port);
    // The port finished connecting to its device server, or failed to.
    void portOpened();
    void portFailed(const QString &why);
    void leaveClosed();
    QSize frameExtent() const;
    void centre();
    void followFrame();

    PortDevices &devices_;
    ExchangeEngine engine_;
    PortLine *line_;
    int portNumber_ = 1;
    QHash<QString, QWidget *> controls_;
    QHash<int, QFont> fonts_;  // one for each face, size and weight
    bool complete_ = false;    // the lower parts are built
    bool completing_ = false;  // ... or will be, after the first frame
    QLabel *txd_ = nullptr;
    QLabel *rxd_ = nullptr;
    QLabel *status_ = nullptr;
    QFrame *portPanel_ = nullptr;
    CommandButton *dataButton_ = nullptr;
    QRadioButton *com1_ = nullptr, *com2_ = nullptr, *speed19200_ = nullptr, *speed9600_ = nullptr;
    QLineEdit *commandBox_ = nullptr;
    ImageControl *picture_ = nullptr;
    IntervalTimer *portPanelTimer_ = nullptr;

    QString startupError_;
    bool fullHeightOffered_ = false;
    int heightTwips_ = 0;     // last height set, in twips
    int heightPixels_ = -1;   // the client pixel height it was set as
    QSize frameSeen_;         // the frame's extent the window last followed
    bool centreOnFrame_ = false;  // centre again once the frame is known
    bool ended_ = false;
    bool startingUp_ = false;     // startUp() waits for the connection itself
    std::optional<QString> rememberOnOpen_;  // the device chosen to remember, once connected
};

}  // namespace qm25
