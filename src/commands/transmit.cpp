// Sending: the one display routine and the click buttons.
#include <QLabel>

#include "app/form1.h"
#include "commands/render.h"
#include "replies/status_decode.h"

namespace qm25 {
namespace {

// The rendering of the last text shown in reply mode. Between two emptyings
// the receive buffer only grows at its end, and the rendering of a text is
// the rendering of its start followed by the pieces of the characters after
// it, so only the characters that came since the last reception event need
// rendering. A text that does not continue the last one is rendered afresh.
const QString &renderReply(QStringView text, Form1::ShownReply &last)
{
    const QStringView shown = text.left(kMaxRenderedChars);
    if (last.rendered.isEmpty() || !shown.startsWith(last.source)) {
        last.source = shown.toString();
        last.rendered = renderText(shown);
    } else if (shown.size() > last.source.size()) {
        const QStringView added = shown.sliced(last.source.size());
        last.source.append(added);
        last.rendered.append(QStringView(renderText(added)).sliced(1));  // without its leading blank
    }
    return last.rendered;
}

}  // namespace

void Form1::Hyouji(const QString &text, quint8 mode)
{
    if (mode == 1) {
        if (!MSComm1->Output(text))
            showSendFailure(MSComm1->errorText());
        setDisplayText(Label11, renderText(text));
        Timer2->setEnabled(true);
        ReplyWait = 1;
        Timer4->setEnabled(true);
        return;
    }
    setDisplayText(Label12, renderReply(text, shownReply_));
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
