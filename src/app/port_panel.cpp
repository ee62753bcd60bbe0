// The port panel: port and speed choice, and what happens when the port
// cannot be opened or is lost. Also the command line's two buttons.
#include <QFrame>
#include <QLineEdit>
#include <QMetaObject>
#include <QRadioButton>
#include <utility>

#include "app/form1.h"
#include "serial/device_names.h"
#include "serial/remembered_devices.h"

namespace qm25 {

void Form1::showPortPanel()
{
    Frame8->setVisible(true);
    Timer3->setEnabled(true);
}

void Form1::hidePortPanel()
{
    Frame8->setVisible(false);
    Timer3->setEnabled(false);
}

void Form1::choosePort(int port)
{
    // The port is closed before its number changes. It is then opened on the
    // new number, also when it was closed before (after a failed switch or a
    // lost link): choosing a port is how the operator gets the line back.
    // A connection to a device server under way is given up.
    MSComm1->close();
    rememberOnOpen_.reset();
    const bool ok = MSComm1->setPortNumber(port) && MSComm1->open();
    if (!ok) {
        const QString why = MSComm1->errorText();
        leaveClosed();
        warningBox(why);
        return;
    }
    // A device server answers later, through portOpened() or portFailed();
    // the window stays live meanwhile.
    if (MSComm1->isOpen())
        Frame8->setVisible(false);
}

void Form1::leaveClosed()
{
    // The port stays closed, numbered with the other port; the panel stays
    // shown and the chosen option stays marked. A device that failed is not
    // remembered.
    rememberOnOpen_.reset();
    MSComm1->setPortNumber(MSComm1->portNumber() == 1 ? 2 : 1);
}

void Form1::portOpened()
{
    Frame8->setVisible(false);
    if (const auto device = std::exchange(rememberOnOpen_, std::nullopt))
        keepDevice(MSComm1->portNumber(), *device);
}

void Form1::portFailed(const QString &why)
{
    if (startingUp_)
        return;  // startUp() reports it
    leaveClosed();
    // A failed connection is reported from inside the line's own event; the
    // box, which waits for the operator, comes after that event.
    QMetaObject::invokeMethod(
        this, [this, why] {
            if (!ended_)
                warningBox(why);
        },
        Qt::QueuedConnection);
}

void Form1::chooseDevice(int port)
{
    // The panel stays while the operator chooses.
    const bool counting = Timer3->isEnabled();
    Timer3->setEnabled(false);
    if (const auto choice = askDevice(port, QString()))
        useDevice(port, *choice);
    if (counting && Frame8->isVisible())
        Timer3->setEnabled(true);
}

void Form1::useDevice(int port, const DeviceChoice &choice)
{
    if (!choice.device.isEmpty())
        setPortDeviceOption(port, choice.device);
    updatePortToolTips();
    if ((port == 1 ? Option1 : Option2)->isChecked()) {
        choosePort(port);
        if (MSComm1->isConnecting() && choice.remember)
            rememberOnOpen_ = choice.device;  // once connected
        if (!MSComm1->isOpen())
            return;  // the warning said why; a device that failed is not remembered
    }
    if (choice.remember)
        keepDevice(port, choice.device);
}

void Form1::keepDevice(int port, const QString &device)
{
    QString why;
    if (!rememberDevice(port, device.isEmpty() ? portDevice(port).name : device, &why))
        warningBox(why);
    updatePortToolTips();
}

void Form1::updatePortToolTips()
{
    for (auto [option, port] : {std::pair{Option1, 1}, std::pair{Option2, 2}}) {
        const PortDevice d = portDevice(port);
        QString tip = QStringLiteral("COM%1: %2").arg(port).arg(d.device);
        if (d.name != d.device)
            tip += QStringLiteral(" (%1)").arg(d.name);
        option->setToolTip(tip + QStringLiteral(", %1.\nRight-click for another device.").arg(sourceText(d.source, port)));
    }
}

void Form1::chooseSpeed(const QString &setting)
{
    if (MSComm1->setSettings(setting)) {
        CommSetting = setting;
        if (MSComm1->isDeviceServer())
            exchange_.showNote(QStringLiteral(" Speed: set by the device server"));
    } else {
        // The line keeps the speed it runs at, and the panel says so again.
        warningBox(MSComm1->errorText());
        CommSetting = MSComm1->settings();
        (CommSetting.startsWith(QLatin1String("9600,")) ? Option10 : Option9)->setChecked(true);
    }
    Frame8->setVisible(false);
}

void Form1::warnLinkLost(const QString &description)
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

void Form1::sendCommandLine() { exchange_.sendTypedCommand(Text1->text()); }

void Form1::clearCommandLine() { Text1->clear(); }

}  // namespace qm25
