// The port panel: port and speed choice, the devices behind the ports, and
// what happens when the port cannot be opened or is lost. Also the command
// line's two buttons.
#include <QFrame>
#include <QLineEdit>
#include <QMetaObject>
#include <QRadioButton>
#include <utility>

#include "app/panel_window.h"
#include "line/remembered_devices.h"

namespace qm25 {

void PanelWindow::showPortPanel()
{
    portPanel_->setVisible(true);
    portPanelTimer_->setEnabled(true);
}

void PanelWindow::hidePortPanel()
{
    portPanel_->setVisible(false);
    portPanelTimer_->setEnabled(false);
}

void PanelWindow::choosePort(int port)
{
    // The port is closed before its number changes. It is then opened on the
    // new number, also when it was closed before (after a failed switch or a
    // lost link): choosing a port is how the operator gets the line back.
    // A connection to a device server under way is given up.
    line_->close();
    rememberOnOpen_.reset();
    const bool ok = setPort(port) && line_->open();
    if (!ok) {
        // The port number changes once the operator has seen why.
        rememberOnOpen_.reset();
        warningBox(line_->errorText());
        leaveClosed();
        return;
    }
    // A device server answers later, through portOpened() or portFailed();
    // the window stays live meanwhile.
    if (line_->isOpen())
        portPanel_->setVisible(false);
}

void PanelWindow::leaveClosed()
{
    // The port stays closed, numbered with the other port; the panel stays
    // shown and the chosen option stays marked.
    setPort(portNumber_ == 1 ? 2 : 1);
}

void PanelWindow::portOpened()
{
    portPanel_->setVisible(false);
    if (const auto device = std::exchange(rememberOnOpen_, std::nullopt))
        keepDevice(portNumber_, *device);
}

void PanelWindow::portFailed(const QString &why)
{
    if (startingUp_)
        return;  // startUp() reports it
    rememberOnOpen_.reset();
    // A failed connection is reported from inside the line's own event; the
    // box, which waits for the operator, comes after that event, and the
    // port number changes once the operator has seen it.
    QMetaObject::invokeMethod(
        this, [this, why] {
            if (ended_)
                return;
            warningBox(why);
            leaveClosed();
        },
        Qt::QueuedConnection);
}

void PanelWindow::chooseDevice(int port)
{
    // The panel stays while the operator chooses.
    const bool counting = portPanelTimer_->isEnabled();
    portPanelTimer_->setEnabled(false);
    if (const auto choice = askDevice(port, QString()))
        useDevice(port, *choice);
    if (counting && portPanel_->isVisible())
        portPanelTimer_->setEnabled(true);
}

void PanelWindow::useDevice(int port, const DeviceChoice &choice)
{
    if (!choice.device.isEmpty())
        devices_.nameForRun(port, choice.device);
    updatePortToolTips();
    if (portOption(port)->isChecked()) {
        choosePort(port);
        if (line_->isConnecting() && choice.remember)
            rememberOnOpen_ = choice.device;  // once connected
        if (!line_->isOpen())
            return;  // the warning said why; a device that failed is not remembered
    }
    if (choice.remember)
        keepDevice(port, choice.device);
}

void PanelWindow::keepDevice(int port, const QString &device)
{
    const QString name = device.isEmpty() ? devices_.lookUp(port).name : device;
    QString why;
    if (RememberedDevices *remembered = devices_.remembered(); !remembered)
        warningBox(QStringLiteral("Cannot remember %1 for COM%2: no settings file is in use.").arg(name).arg(port));
    else if (!remembered->remember(port, name, &why))
        warningBox(why);
    updatePortToolTips();
}

void PanelWindow::updatePortToolTips()
{
    for (int port : {1, 2}) {
        const PortDevice d = devices_.lookUp(port);
        QString tip = QStringLiteral("COM%1: %2").arg(port).arg(d.device);
        if (d.name != d.device)
            tip += QStringLiteral(" (%1)").arg(d.name);
        portOption(port)->setToolTip(
            tip + QStringLiteral(", %1.\nRight-click for another device.").arg(sourceText(d.source, port)));
    }
}

void PanelWindow::chooseSpeed(const QString &setting)
{
    if (line_->setSettings(setting)) {
        if (line_->isDeviceServer())
            engine_.showNote(QStringLiteral(" Speed: set by the device server"));
    } else {
        // The line keeps the speed it runs at, and the panel says so again.
        warningBox(line_->errorText());
        (line_->settings().startsWith(QLatin1String("9600,")) ? speed9600_ : speed19200_)->setChecked(true);
    }
    portPanel_->setVisible(false);
}

void PanelWindow::warnLinkLost(const QString &description)
{
    if (ended_)
        return;
    // The loss is reported from inside the line's own event; the box, which
    // waits for the operator, comes after that event.
    QMetaObject::invokeMethod(
        this, [this, description] {
            if (!ended_)
                warningBox(description);
        },
        Qt::QueuedConnection);
}

void PanelWindow::sendCommandLine() { engine_.sendTypedCommand(commandBox_->text()); }

void PanelWindow::clearCommandLine() { commandBox_->clear(); }

}  // namespace qm25
