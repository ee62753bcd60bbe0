// Buttons that repeat their command while held.
#include <QLabel>

#include "app/form1.h"

namespace qm25 {

void Form1::repeatMouseDown(const RepeatCommand &row)
{
    if (row.cursor) {
        if (CursorMode == 1) {
            Timer2->setInterval(150);
            Timer4->setInterval(190);
        } else if (CursorMode == 3) {
            Timer2->setInterval(5);
            Timer4->setInterval(5);
        }
        KeyRepeatNo = static_cast<quint8>(row.repeatCode);
        SendText = CmdPrefix + QLatin1String(row.code) + QLatin1Char('\r');
        Hyouji(SendText, 1);
        Timer1->setEnabled(true);
        return;
    }
    KeyRepeatNo = static_cast<quint8>(row.repeatCode);
    SendText = CmdPrefix + QLatin1String(row.code) + QLatin1Char('\r');
    Hyouji(SendText, 1);
    Timer1->setInterval(row.repeatPeriod);
    Timer2->setInterval(row.replyTimeout);
    Timer4->setInterval(row.displayClear);
    Timer1->setEnabled(true);
}

void Form1::Timer1_Timer()
{
    if (KeyRepeatNo == 0)
        return;
    const RepeatCommand *row = repeatCommandByCode(KeyRepeatNo);
    if (!row)
        return;
    SendText = CmdPrefix + QLatin1String(row->code) + QLatin1Char('\r');
    Hyouji(SendText, 1);
    // The repeat keeps running. It is not restarted here: a restart would
    // add this handler's own latency to every period.
    if (!Timer1->Enabled())
        Timer1->setEnabled(true);
}

void Form1::repeatMouseUp(const RepeatCommand &row)
{
    KeyRepeatNo = 0;
    Timer1->setEnabled(false);
    Timer2->setEnabled(false);
    Timer4->setEnabled(true);
    Label11->setText(QString());
    Label12->setText(QString());
    Timer2->setInterval(500);
    Timer4->setInterval(1000);
    RecvText = QString();
    if (row.digitalZoom) {
        Timer1->setInterval(5);
        CursorMode = 3;
    }
}

}  // namespace qm25
