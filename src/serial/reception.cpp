// Reception: characters from the line go to the receive buffer and the RXD line.
#include "app/form1.h"

namespace qm25 {

void Form1::MSComm1_OnComm()
{
    if (MSComm1->CommEvent() != MSComm::comEvReceive)
        return;
    const QString arrived = MSComm1->Input();
    // The buffer keeps its start, which is what the display and the status
    // decoding read; a device that streams with nothing sent cannot grow it
    // beyond the cap. It is emptied by the reply time-out and by a release.
    const qsizetype room = kRecvTextCap - RecvText.size();
    if (room > 0)
        RecvText.append(QStringView(arrived).left(room));
    ReplyWait = 0;
    Hyouji(RecvText, 2);
}

}  // namespace qm25
