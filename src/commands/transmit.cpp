// Sending: the one display routine and the click buttons.
#include <QLabel>

#include "app/form1.h"
#include "commands/render.h"
#include "replies/status_decode.h"

namespace qm25 {

void Form1::Hyouji(const QString &text, quint8 mode)
{
    if (mode == 1) {
        if (!MSComm1->Output(text))
            showSendFailure(MSComm1->errorText());
        Label11->setText(renderText(text));
        Timer2->setEnabled(true);
        ReplyWait = 1;
        Timer4->setEnabled(true);
        return;
    }
    Label12->setText(renderText(text));
    const StatusDecode decoded = decodeStatus(Label12->text(), SendText, CmdPrefix);
    if (decoded.pressureValue)
        PressureValue = *decoded.pressureValue;
    if (decoded.status)
        Label22->setText(*decoded.status);
}

void Form1::showSendFailure(const QString &why)
{
    // The TXD line still shows what was meant and the reply time-out still
    // runs; the STATUS line says that nothing went out, and why.
    Label22->setText(QStringLiteral(" Not sent: %1").arg(why));
}

void Form1::commandClick(const ClickCommand &row)
{
    if (row.shape == SendShape::SetReplyWait) {
        Timer2->setInterval(row.replyTimeout);
        Timer4->setInterval(row.displayClear);
    }
    SendText = CmdPrefix + QLatin1String(row.code) + QLatin1Char('\r');
    Hyouji(SendText, 1);
    if (row.shape == SendShape::MenuSpeed) {
        Timer1->setInterval(200);
        CursorMode = 1;
    }
}

}  // namespace qm25
