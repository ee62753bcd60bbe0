// The life of the display lines: reply time-out and display clear.
#include <QLabel>

#include "app/form1.h"

namespace qm25 {

void Form1::Timer2_Timer()
{
    if (ReplyWait == 1)
        Label12->setText(QStringLiteral(" X X X X"));
    Timer2->setEnabled(false);
    RecvText = QString();
    ReplyWait = 0;
}

void Form1::Timer4_Timer()
{
    Label11->setText(QString());
    Label12->setText(QString());
    Label22->setText(QString());
    Timer4->setEnabled(false);
}

}  // namespace qm25
