// One exchange after another: frames out, TXD and RXD lines, the reply
// time-out, the display clear and the decoded STATUS line. Ticks are fired
// by hand; the serial control is a fake except in the last case.
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

#include "commands/render.h"
#include "support/panel.h"
#include "support/pty.h"

using namespace qm25;
using namespace qm25::test;

namespace {

void click(Form1 &f, const char *name) { f.control<QPushButton>(QLatin1String(name))->click(); }

}  // namespace

class ExchangeTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("QM25_COM1"); qunsetenv("QM25_COM2"); }

    void everyClickButtonSendsItsFrame()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        QSet<QString> seen;
        for (const ClickCommand &row : clickCommands()) {
            QVERIFY2(!seen.contains(row.control), row.control);
            seen.insert(row.control);
            const qsizetype before = p->fake()->written.size();
            click(f, row.control);
            const QByteArray frame = QByteArray(row.code) + '\r';
            QCOMPARE(p->fake()->written.size(), before + 1);
            QCOMPARE(p->fake()->written.last(), frame);
            QCOMPARE(f.SendText, QString::fromLatin1(frame));
            QCOMPARE(f.Label11->text(), renderText(QString::fromLatin1(frame)));
            QVERIFY(f.Timer2->Enabled());
            QVERIFY(f.Timer4->Enabled());
            QCOMPARE(f.ReplyWait, quint8(1));
            if (row.shape == SendShape::SetReplyWait) {
                QCOMPARE(f.Timer2->Interval(), row.replyTimeout);
                QCOMPARE(f.Timer4->Interval(), row.displayClear);
            }
            if (row.shape == SendShape::MenuSpeed) {
                QCOMPARE(f.Timer1->Interval(), 200);
                QCOMPARE(f.CursorMode, quint8(1));
                QVERIFY(!f.Timer1->Enabled());
                f.CursorMode = 0;
            }
        }
        QCOMPARE(seen.size(), 49);
        // A handful checked against the codes as printed on the window.
        QCOMPARE(QByteArray(clickCommands()[0].code), QByteArray("C00"));
        click(f, "Command61");
        QCOMPARE(p->fake()->written.last(), QByteArray("CF LOGO OFF\r"));
        QCOMPARE(f.Label11->text(), QStringLiteral(" C F   L O G O   O F F CR "));
        click(f, "Command36");
        QCOMPARE(p->fake()->written.last(), QByteArray("C19\r"));
        click(f, "Command69");
        QCOMPARE(p->fake()->written.last(), QByteArray("C34\r"));
    }

    void intervalsLeftBehindApplyToTheNextPlainClick()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        click(f, "Command4");  // STAND
        click(f, "Command17");
        QCOMPARE(f.Timer2->Interval(), 2000);
        QCOMPARE(f.Timer4->Interval(), 2500);
        click(f, "Command64");  // signal type RGB
        click(f, "Command3");   // DISPLAY CLEAR clears nothing in the window
        QCOMPARE(f.Timer2->Interval(), 5000);
        QCOMPARE(f.Timer4->Interval(), 5500);
        QCOMPARE(f.Label11->text(), QStringLiteral(" C 1 E CR "));
        // MENU OFF leaves the cursor pad at menu speed.
        click(f, "Command23");
        click(f, "Command24");
        QCOMPARE(f.CursorMode, quint8(1));
    }

    void noReplyShowsCrossesThenClears()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        click(f, "Command44");
        f.Timer2_Timer();
        QCOMPARE(f.Label12->text(), QStringLiteral(" X X X X"));
        QCOMPARE(f.ReplyWait, quint8(0));
        QVERIFY(!f.Timer2->Enabled());
        QVERIFY(f.Label22->text().isEmpty());  // the time-out is never decoded
        f.Timer4_Timer();
        QVERIFY(f.Label11->text().isEmpty());
        QVERIFY(f.Label12->text().isEmpty());
        QVERIFY(f.Label22->text().isEmpty());
        QVERIFY(!f.Timer4->Enabled());
    }

    void replyInTimeStaysAndDecodes()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        click(f, "Command44");  // STATUS
        p->fake()->feed("00\r");
        QCOMPARE(f.Label12->text(), QStringLiteral(" 0 0 CR "));
        QCOMPARE(f.Label22->text(), QStringLiteral(" Power ON"));
        QCOMPARE(f.ReplyWait, quint8(0));
        f.Timer2_Timer();
        QCOMPARE(f.Label12->text(), QStringLiteral(" 0 0 CR "));
        QVERIFY(f.RecvText.isEmpty());
        // A reply matching no row leaves the STATUS line as it was.
        click(f, "Command44");
        p->fake()->feed("99\r");
        QCOMPARE(f.Label22->text(), QStringLiteral(" Power ON"));
    }

    void lateReplyShowsAlone()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        click(f, "Command45");  // MODE
        p->fake()->feed("x");   // something before the time-out
        f.Timer2_Timer();
        p->fake()->feed("2\r");
        QCOMPARE(f.Label12->text(), QStringLiteral(" 2 CR "));
        QCOMPARE(f.Label22->text(), QStringLiteral(" Computer 2"));
    }

    void splitReplyIsRedrawnEachTimeAndDecodedLast()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        click(f, "Command47");  // SETTING
        p->fake()->feed("0");
        QCOMPARE(f.Label12->text(), QStringLiteral(" 0 "));
        QVERIFY(f.Label22->text().isEmpty());  // one character is no key
        QCOMPARE(f.ReplyWait, quint8(0));
        p->fake()->feed("1");
        QCOMPARE(f.Label12->text(), QStringLiteral(" 0 1 "));
        p->fake()->feed("\r");
        QCOMPARE(f.Label12->text(), QStringLiteral(" 0 1 CR "));
        QCOMPARE(f.Label22->text(), QStringLiteral(" Left/Right reversal"));
    }

    void charactersWithNothingSentAreShownAndKept()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        p->fake()->feed("\x06\r");
        QCOMPARE(f.Label12->text(), QStringLiteral(" ACK CR "));
        QVERIFY(f.Label22->text().isEmpty());
        p->fake()->feed("\x14" "1");
        QCOMPARE(f.Label12->text(), QStringLiteral(" ACK CR &1 "));
        // An event that is not a reception changes nothing.
        auto q = makePanel();
        q->form->MSComm1_OnComm();
        QVERIFY(q->form->RecvText.isEmpty());
        QVERIFY(q->form->Label12->text().isEmpty());
    }

    void bytesKeepTheirCodes()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        p->fake()->feed(all);
        QCOMPARE(f.RecvText.size(), 256);
        for (int b = 0; b < 256; ++b)
            QCOMPARE(f.RecvText.at(b).unicode(), char16_t(b));
        // Characters above 255 go out as "?".
        f.Text1->setText(QStringLiteral("A\u00e9\u65e5"));
        click(f, "Command95");
        QCOMPARE(p->fake()->written.last(), QByteArray("A\xe9?\r"));
    }

    void receiveBufferIsCapped()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        p->fake()->feed(QByteArray(20000, '1'));
        p->fake()->feed(QByteArray(20000, '2'));
        QCOMPARE(f.RecvText.size(), Form1::kRecvTextCap);
        QVERIFY(f.RecvText.startsWith(QString(20000, '1')));
        QCOMPARE(f.Label12->text().size(), 1 + 2 * Form1::kRecvTextCap);
        // The time-out empties it and reception starts afresh.
        f.Timer2_Timer();
        p->fake()->feed("00\r");
        QCOMPARE(f.Label12->text(), QStringLiteral(" 0 0 CR "));
    }

    void sendOnAClosedPortSaysNothingWentOut()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        p->fake()->hangUp();
        QCoreApplication::processEvents();
        QCOMPARE(p->warnings.size(), 1);
        const qsizetype before = p->fake()->written.size();
        click(f, "Command17");
        QCOMPARE(p->fake()->written.size(), before);
        QCOMPARE(f.Label11->text(), QStringLiteral(" C 0 0 CR "));
        QVERIFY2(f.Label22->text().contains("Not sent"), qPrintable(f.Label22->text()));
        QVERIFY(f.Timer2->Enabled());
        f.Timer2_Timer();
        QCOMPARE(f.Label12->text(), QStringLiteral(" X X X X"));
        QVERIFY(f.RecvText.isEmpty());

        auto q = makePanel();
        q->fake()->failWrites = true;
        click(*q->form, "Command18");
        QVERIFY(q->form->Label22->text().contains("write failed"));
        QCOMPARE(q->form->Label11->text(), QStringLiteral(" C 0 1 CR "));
    }

    void enablingARunningTimerRestartsItsCount()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        f.Timer2->setInterval(10000);
        click(f, "Command17");
        QTest::qSleep(60);
        QVERIFY(f.Timer2->remainingTime() <= 9950);
        click(f, "Command17");
        QVERIFY(f.Timer2->remainingTime() > 9950);
    }

    void exchangeThroughAPseudoTerminal()
    {
        PtyPeer peer;
        qputenv("QM25_COM1", peer.path().toLocal8Bit());
        auto p = makeRealPanel();
        Form1 &f = *p->form;
        QVERIFY(f.MSComm1->PortOpen());

        click(f, "Command17");
        QCOMPARE(peer.readExactly(4), QByteArray("C00\r"));
        click(f, "Command61");
        QCOMPARE(peer.readExactly(12), QByteArray("CF LOGO OFF\r"));

        click(f, "Command44");
        QCOMPARE(peer.readUntil('\r'), QByteArray("CR0\r"));
        QVERIFY(peer.write("00\r"));
        QTRY_COMPARE(f.Label12->text(), QStringLiteral(" 0 0 CR "));
        QCOMPARE(f.Label22->text(), QStringLiteral(" Power ON"));
        QCOMPARE(peer.drain(50), QByteArray());  // nothing else went out
    }
};

QTEST_MAIN(ExchangeTest)
#include "test_exchange.moc"
