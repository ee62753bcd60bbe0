// The command line: SEND and CLS.
#include <QLineEdit>

#include "app/form1.h"

namespace qm25 {

void Form1::Command95_Click()
{
    Timer2->setInterval(2000);
    Timer4->setInterval(2500);
    CmdText = Text1->text();  // as typed: no trimming, no change of case
    SendText = CmdPrefix + CmdText + QLatin1Char('\r');
    Hyouji(SendText, 1);
}

void Form1::Command96_Click() { Text1->clear(); }

}  // namespace qm25
