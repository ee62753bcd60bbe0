// The port panel: port and speed choice, and what happens when the port
// cannot be opened or is lost.
#include <QFrame>
#include <QMetaObject>
#include <QRadioButton>

#include "app/form1.h"

namespace qm25 {

void Form1::Command33_Click()
{
    Frame8->setVisible(true);
    Timer3->setEnabled(true);
}

void Form1::Option1_Click() { switchPort(1); }
void Form1::Option2_Click() { switchPort(2); }
void Form1::Option9_Click() { switchSpeed(QStringLiteral("19200,N,8,1")); }
void Form1::Option10_Click() { switchSpeed(QStringLiteral("9600,N,8,1")); }

void Form1::Timer3_Timer()
{
    Frame8->setVisible(false);
    Timer3->setEnabled(false);
}

void Form1::selectOption(QRadioButton *option)
{
    if (option->isChecked())
        return;
    option->setChecked(true);
    if (option == Option1)
        Option1_Click();
    else if (option == Option2)
        Option2_Click();
    else if (option == Option9)
        Option9_Click();
    else if (option == Option10)
        Option10_Click();
}

void Form1::switchPort(int port)
{
    // The port is closed before its number changes. It is then opened on the
    // new number, also when it was closed before (after a failed switch or a
    // lost link): choosing a port is how the operator gets the line back.
    if (MSComm1->PortOpen())
        MSComm1->setPortOpen(false);
    const bool ok = MSComm1->setCommPort(port) && MSComm1->setPortOpen(true);
    if (!ok) {
        const QString why = MSComm1->errorText();
        warningBox(why);
        // The port stays closed, numbered with the other port; the panel
        // stays shown and the chosen option stays marked.
        MSComm1->setCommPort(port == 1 ? 2 : 1);
        return;
    }
    Frame8->setVisible(false);
}

void Form1::switchSpeed(const QString &setting)
{
    CommSetting = setting;
    if (!MSComm1->setSettings(CommSetting))
        warningBox(MSComm1->errorText());
    Frame8->setVisible(false);
}

void Form1::onLinkLost(const QString &description)
{
    if (ended_)
        return;
    // Nothing can go out any more: a held button stops repeating now, before
    // another tick of its timer could try to send.
    Timer1->setEnabled(false);
    KeyRepeatNo = 0;
    // The loss is reported from inside the serial control's own event; the
    // box, which waits for the operator, comes after that event.
    QMetaObject::invokeMethod(
        this, [this, description] {
            if (!ended_)
                warningBox(description);
        },
        Qt::QueuedConnection);
}

}  // namespace qm25
