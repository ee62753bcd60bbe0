// The exchanges against a scripted line, without a window. The panel's
// engine: frames out, the three display lines, the reply time-out and
// display clear, held buttons and their timing, the receive buffer and the
// faults of the line (timer ticks fired by hand). The exchange client of
// programs: outcomes, stray and overlong input, a lost line.
#include <QSignalSpy>
#include <QtTest>

#include "core/exchange_client.h"
#include "core/exchange_engine.h"
#include "core/render.h"
#include "line/serial_port_line.h"
#include "support/fake_line.h"
#include "support/pty.h"

using namespace qm25;
using namespace qm25::test;

namespace {

const CommandRow &row(const QString &name)
{
    const CommandRow *r = commandNamed(name);
    if (!r)
        qFatal("no command %s", qPrintable(name));
    return *r;
}

struct Rig {
    FakeLine line;
    ExchangeEngine e;
    Rig() { e.setLine(&line); }
    const ExchangeState &s() const { return e.state(); }
    QString txd() const { return e.text(DisplayLine::Txd); }
    QString rxd() const { return e.text(DisplayLine::Rxd); }
    QString status() const { return e.text(DisplayLine::Status); }
    void click(const QString &name) { e.clickCommand(row(name)); }
    void press(const QString &name) { e.pressHeldButton(row(name)); }
    void release(const QString &name) { e.releaseHeldButton(row(name)); }
    QList<int> intervals() const
    {
        return {e.repeatTimer()->interval(), e.replyTimer()->interval(), e.clearTimer()->interval()};
    }
};

// The codes of the click buttons as printed on the window, written out once
// more to check the catalogue against.
const QStringList kCodes = QStringLiteral(
    "power on=C00,power off=C01,input pc1=C05,input pc2=C06,input video=C07,mute on=C0B,mute off=C0C,"
    "noshow on=C0D,noshow off=C0E,size regular=C0F,size wide=C10,menu on=C1C,menu off=C1D,freeze on=C43,"
    "freeze off=C44,image stand=C11,image real=C12,image cinema=C13,image 1=C14,image 2=C15,image 3=C16,"
    "image 4=C17,image bboard=C18,image dynamic=C19,auto image=C89,image next=C27,ptimer=C8A,display clear=C1E,"
    "keys none=CF KEYDIS NONE,keys rc=CF KEYDIS RC,keys key=CF KEYDIS KEY,power=CR0,input=CR1,lamp time=CR3,"
    "settings=CR4,temperatures=CR6,signal pc1 rgb=C50,signal pc2 rgb=C25,signal pc2 component=C24,"
    "signal pc2 scart=C26,signal video auto=C32,signal video video=C33,signal video svideo=C34,"
    "logo capture=CF LOGOCAPTURE START,logo off=CF LOGO OFF,logo default=CF LOGO DEFAULT,logo user=CF LOGO USER,"
    "fan max=CF FANSPEED MAX,fan normal=CF FANSPEED NOR").split(u',');

}  // namespace

class EngineTest : public QObject {
    Q_OBJECT
private slots:
    void clickSendsItsFrame_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QList<int>>("intervals");  // repeat, reply time-out, display clear after the click
        QTest::addColumn<CursorSpeed>("cursor");
        const qsizetype clicks = std::count_if(commands().begin(), commands().end(),
                                               [](const CommandRow &r) { return r.repeat == Repeat::None && !r.typed; });
        QCOMPARE(clicks, kCodes.size());
        for (const QString &entry : kCodes) {
            const QString name = entry.section(u'=', 0, 0);
            QList<int> intervals{50, 500, 1000};
            if (name.startsWith(u"image ") && name != u"image next")
                intervals = {50, 2000, 2500};
            if (name.startsWith(u"signal "))
                intervals = {50, 5000, 5500};
            const bool menuSpeed = name == u"menu on" || name == u"auto image";
            if (menuSpeed)
                intervals[0] = 200;
            QTest::newRow(qPrintable(name)) << name << (entry.section(u'=', 1).toLatin1() + '\r') << intervals
                                            << (menuSpeed ? CursorSpeed::Menu : CursorSpeed::AsSet);
        }
    }
    void clickSendsItsFrame()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, frame);
        QFETCH(QList<int>, intervals);
        QFETCH(CursorSpeed, cursor);
        Rig r;
        r.e.repeatTimer()->setInterval(50);
        r.click(name);
        QCOMPARE(r.line.written, QList<QByteArray>{frame});
        QCOMPARE(r.s().SendText, QString::fromLatin1(frame));
        QCOMPARE(r.txd(), renderText(QString::fromLatin1(frame)));
        QVERIFY(r.s().ReplyWait);
        QVERIFY(r.e.replyTimer()->isEnabled() && r.e.clearTimer()->isEnabled());
        QVERIFY(!r.e.repeatTimer()->isEnabled());
        QCOMPARE(r.intervals(), intervals);
        QCOMPARE(r.s().CursorMode, cursor);
    }

    void heldButtonRepeatsUntilRelease_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QList<int>>("intervals");
        QTest::addColumn<bool>("zoom");
        const auto row = [](const char *name, const char *frame, QList<int> intervals, bool zoom = false) {
            QTest::newRow(name) << QString::fromLatin1(name) << QByteArray(frame) << intervals << zoom;
        };
        row("volume up", "C09\r", {250, 200, 245});
        row("volume down", "C0A\r", {250, 200, 245});
        row("brightness up", "C20\r", {50, 25, 25});
        row("brightness down", "C21\r", {50, 25, 25});
        row("select", "C3F\r", {500, 200, 245});
        row("zoom in", "C30\r", {250, 200, 245}, true);
        row("zoom out", "C31\r", {250, 200, 245}, true);
        row("keystone up", "C8E\r", {250, 200, 245});
        row("keystone down", "C8F\r", {250, 200, 245});
    }
    void heldButtonRepeatsUntilRelease()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, frame);
        QFETCH(QList<int>, intervals);
        QFETCH(bool, zoom);
        Rig r;
        r.press(name);
        QCOMPARE(r.line.written, QList<QByteArray>{frame});
        QCOMPARE(r.s().held, &row(name));
        QCOMPARE(r.intervals(), intervals);
        QVERIFY(r.e.repeatTimer()->isEnabled());
        r.e.repeatTick();
        r.e.repeatTick();
        QCOMPARE(r.line.written, (QList<QByteArray>{frame, frame, frame}));
        r.e.replyTimeOut();  // even after a time-out the repeat goes on
        r.line.feed("\x06\r");
        r.e.sendTypedCommand(QStringLiteral("CR9"));  // something for the STATUS line
        r.line.feed("\r");
        QVERIFY(!r.status().isEmpty());

        r.release(name);
        QVERIFY(!r.s().held);
        QVERIFY(!r.e.repeatTimer()->isEnabled());
        QVERIFY(!r.e.replyTimer()->isEnabled());  // no " X X X X" for the last repeat
        QVERIFY(r.e.clearTimer()->isEnabled());
        QVERIFY(r.txd().isEmpty() && r.rxd().isEmpty());
        QCOMPARE(r.status(), QStringLiteral(" ACK CR CR "));  // kept until the display clear
        QVERIFY(r.s().RecvText.isEmpty());
        QCOMPARE(r.intervals(), (QList<int>{zoom ? 5 : intervals[0], 500, 1000}));
        QCOMPARE(r.s().CursorMode, zoom ? CursorSpeed::Fast : CursorSpeed::AsSet);
        const qsizetype sent = r.line.written.size();
        r.e.repeatTick();  // a stray tick after the release sends nothing
        QCOMPARE(r.line.written.size(), sent);
    }

    void cursorPadTiming_data()
    {
        QTest::addColumn<QStringList>("before");  // buttons clicked, or pressed and released
        QTest::addColumn<QList<int>>("intervals");
        QTest::newRow("right after start") << QStringList{} << QList<int>{200, 500, 1000};
        QTest::newRow("after MENU ON") << QStringList{"menu on"} << QList<int>{200, 150, 190};
        QTest::newRow("after MENU ON and VOL") << QStringList{"menu on", "volume up"} << QList<int>{250, 150, 190};
        QTest::newRow("after D.Zoom") << QStringList{"zoom out"} << QList<int>{5, 5, 5};
        QTest::newRow("after D.Zoom, MENU OFF") << QStringList{"zoom in", "menu off"} << QList<int>{5, 5, 5};
        QTest::newRow("after D.Zoom, Brightness") << QStringList{"zoom in", "brightness up"} << QList<int>{50, 5, 5};
        QTest::newRow("after D.Zoom, A-IMAGE") << QStringList{"zoom in", "auto image"} << QList<int>{200, 150, 190};
    }
    void cursorPadTiming()
    {
        QFETCH(QStringList, before);
        QFETCH(QList<int>, intervals);
        for (const char *arrow : {"cursor up", "cursor down", "cursor left", "cursor right"}) {
            Rig r;
            for (const QString &b : before) {
                if (row(b).repeat == Repeat::None) {
                    r.click(b);
                } else {
                    r.press(b);
                    r.release(b);
                }
            }
            r.line.written.clear();
            r.press(arrow);
            QCOMPARE(r.intervals(), intervals);
            QVERIFY(r.e.repeatTimer()->isEnabled());
            r.e.repeatTick();
            const QByteArray frame = row(arrow).frame();
            QCOMPARE(r.line.written, (QList<QByteArray>{frame, frame}));
            const CursorSpeed mode = r.s().CursorMode;
            r.release(arrow);  // an arrow's release leaves the timing as it was
            QCOMPARE(r.s().CursorMode, mode);
            QCOMPARE(r.intervals(), (QList<int>{intervals[0], 500, 1000}));
        }
    }

    void replyLifecycle()
    {
        Rig r;
        // No reply: crosses at the time-out, then the display clear.
        r.click("power");
        r.e.replyTimeOut();
        QCOMPARE(r.rxd(), QStringLiteral(" X X X X"));
        QVERIFY(r.status().isEmpty());  // the time-out is never decoded
        QVERIFY(!r.s().ReplyWait);
        QVERIFY(!r.e.replyTimer()->isEnabled());
        r.e.clearDisplay();
        QVERIFY(r.txd().isEmpty() && r.rxd().isEmpty() && r.status().isEmpty());
        QVERIFY(!r.e.clearTimer()->isEnabled());

        // A reply in pieces: drawn whole each time, decoded once whole.
        r.click("power");
        r.line.feed("0");
        QCOMPARE(r.rxd(), QStringLiteral(" 0 "));
        QVERIFY(!r.s().ReplyWait);
        QVERIFY(r.status().isEmpty());
        r.line.feed("0\r");
        QCOMPARE(r.rxd(), QStringLiteral(" 0 0 CR "));
        QCOMPARE(r.status(), QStringLiteral(" Power ON"));
        r.e.replyTimeOut();  // answered: the line stays, the buffer empties
        QCOMPARE(r.rxd(), QStringLiteral(" 0 0 CR "));
        QVERIFY(r.s().RecvText.isEmpty());
        r.click("power");
        r.line.feed("99\r");  // no row: the STATUS line keeps its text
        QCOMPARE(r.status(), QStringLiteral(" Power ON"));

        // A late reply replaces the crosses and is shown alone.
        r.click("input");
        r.line.feed("x");
        r.e.replyTimeOut();
        r.line.feed("2\r");
        QCOMPARE(r.rxd(), QStringLiteral(" 2 CR "));
        QCOMPARE(r.status(), QStringLiteral(" Computer 2"));
        // After the display clear a reply stays, and the next is added to it.
        r.e.clearDisplay();
        r.line.feed("\x06");
        QCOMPARE(r.rxd(), QStringLiteral(" 2 CR ACK "));
        QCOMPARE(r.txd(), QString());

        // Characters with nothing sent are shown and decode nothing.
        Rig q;
        q.line.feed("\x06\r");
        QCOMPARE(q.rxd(), QStringLiteral(" ACK CR "));
        QVERIFY(q.status().isEmpty());
    }

    void commandLineSendsTheTextAsTyped_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("status");
        QTest::newRow("empty") << "" << QByteArray("\r") << QByteArray("00\r") << "";
        QTest::newRow("lower case") << "c00" << QByteArray("c00\r") << QByteArray("\x06\r") << "";
        QTest::newRow("CR0") << "CR0" << QByteArray("CR0\r") << QByteArray("80\r") << " Stand by";
        QTest::newRow("pressure") << "CR PRESSURE" << QByteArray("CR PRESSURE\r") << QByteArray("0512\r") << "650 hPa";
        QTest::newRow("beyond Latin-1") << "A\u00e9\u65e5\U0001F600" << QByteArray("A\xe9???\r") << QByteArray() << "";
    }
    void commandLineSendsTheTextAsTyped()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, reply);
        QFETCH(QString, status);
        Rig r;
        r.e.sendTypedCommand(typed);
        QCOMPARE(r.line.written, QList<QByteArray>{frame});
        QCOMPARE(r.s().CmdText, typed);
        QCOMPARE(r.txd(), renderText(typed + u'\r'));
        r.line.feed(reply);
        QCOMPARE(r.status(), status);
        r.click("power on");  // the intervals stay for later sends
        QCOMPARE(r.intervals(), (QList<int>{200, 2000, 2500}));
    }

    // (What the buffer holds, byte by byte, is the reception fuzz target's
    // to check.) It keeps its start up to its cap; the RXD line always
    // shows it; what is typed goes out whole.
    void receiveBufferKeepsEveryByteUpToItsCap()
    {
        Rig r;
        for (const QByteArray &piece : {QByteArray(20000, '1'), QByteArray(20000, '2'), QByteArray("3")}) {
            r.line.feed(piece);
            QCOMPARE(r.rxd(), renderText(r.s().RecvText));
        }
        QCOMPARE(r.s().RecvText.size(), kReplyCap);
        QVERIFY(r.s().RecvText.endsWith(u'2'));
        r.e.sendTypedCommand(QString(100000, u'A'));  // TXD shows its start
        QCOMPARE(r.line.written.last().size(), 100001);
        QCOMPARE(r.txd().size(), 1 + 2 * kMaxRenderedChars);
    }

    // Notes of the panel's own on the STATUS line: why a frame did not go
    // out (it still shows and times out), and a note that keeps the display
    // clear of the exchange under way.
    void notesOnTheStatusLine()
    {
        Rig r;
        r.line.refusal = QStringLiteral("port closed");
        r.click("power on");
        QCOMPARE(r.status(), QStringLiteral(" Not sent: port closed"));
        QCOMPARE(r.txd(), QStringLiteral(" C 0 0 CR "));
        r.e.replyTimeOut();
        QCOMPARE(r.rxd(), QStringLiteral(" X X X X"));
        r.line.refusal.clear();
        r.click("power");
        QTest::qSleep(100);
        r.e.showNote(QStringLiteral(" Speed: set by the device server"));
        QVERIFY(r.e.clearTimer()->remainingTime() <= 920);  // not postponed by the note
        r.e.clearDisplay();
        r.e.showNote(QStringLiteral(" Speed: set by the device server"));  // with no exchange: cleared in time
        QVERIFY(r.e.clearTimer()->isEnabled());
    }

    void aLostLineStopsTheRepeatAtOnce()
    {
        Rig r;
        QSignalSpy lost(&r.e, &ExchangeEngine::linkLost);
        r.press("brightness up");
        r.line.hangUp(QStringLiteral("gone"));
        QCOMPARE(lost.count(), 1);
        QCOMPARE(lost.at(0).at(0).toString(), QStringLiteral("gone"));
        QVERIFY(!r.e.repeatTimer()->isEnabled());
        QVERIFY(!r.s().held);
        r.e.repeatTick();  // a tick already due when the loss came
        QCOMPARE(r.line.written.size(), 1);
        r.release("brightness up");  // the release still tidies up
        QVERIFY(r.txd().isEmpty());
        r.press("volume up");  // lost while a repeat is being sent: it stops all the same
        r.line.lostOnWrite = true;
        r.e.repeatTick();
        QVERIFY(!r.e.repeatTimer()->isEnabled());
        QCOMPARE(lost.count(), 2);

        // Stopped, the exchange no longer hears the line.
        r.e.stop();
        r.line.feed("00\r");
        QVERIFY(r.rxd().isEmpty());
        QVERIFY(!r.e.clearTimer()->isEnabled());
    }
    // --- the exchange client ------------------------------------------------------

    void clientOutcomes_data()
    {
        QTest::addColumn<QByteArray>("waiting");  // in the line before the frame
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<ExchangeResult::Outcome>("outcome");
        QTest::addColumn<QByteArray>("reply");
        using O = ExchangeResult::Outcome;
        QTest::newRow("ACK") << QByteArray() << QByteArrayList{"\x06\r"} << O::Ack << QByteArray("\x06\r");
        QTest::newRow("NAK") << QByteArray() << QByteArrayList{"\x15\r"} << O::Nak << QByteArray("\x15\r");
        QTest::newRow("ERR") << QByteArray() << QByteArrayList{"ERR\r"} << O::Unknown << QByteArray("ERR\r");
        QTest::newRow("data in pieces, the rest dropped")
            << QByteArray() << QByteArrayList{"8", "0\rC", "R0\r"} << O::Data << QByteArray("80\r");
        QTest::newRow("a late reply waiting before the frame")
            << QByteArray("00\r") << QByteArrayList{"80\r"} << O::Data << QByteArray("80\r");
        QTest::newRow("half a reply") << QByteArray() << QByteArrayList{"8"} << O::NoReply << QByteArray("8");
        QTest::newRow("longer than the cap, no CR")
            << QByteArray() << QByteArrayList{QByteArray(kReplyCap - 1, '1'), "23", QByteArray(40000, '4')} << O::NoReply
            << QByteArray(kReplyCap - 1, '1') + '2';
        QTest::newRow("longer than the cap, then CR")
            << QByteArray() << QByteArrayList{QByteArray(kReplyCap, '1'), "2\r"} << O::NoReply << QByteArray(kReplyCap, '1');
    }
    void clientOutcomes()
    {
        QFETCH(QByteArray, waiting);
        QFETCH(QByteArrayList, pieces);
        QFETCH(ExchangeResult::Outcome, outcome);
        QFETCH(QByteArray, reply);
        FakeLine line;
        ExchangeClient client(&line);
        line.feed("\x06\r");  // between exchanges: nobody's answer
        line.waiting = waiting;
        QSignalSpy finished(&client, &ExchangeClient::finished);
        QVERIFY(client.start("CR0\r", 50));
        QVERIFY(!client.start("CR1\r", 50));  // one at a time
        QCOMPARE(line.written, QList<QByteArray>{"CR0\r"});
        for (const QByteArray &piece : pieces)
            line.feed(piece);
        QVERIFY(finished.count() == 1 || finished.wait(1000));
        const auto result = finished.at(0).at(0).value<ExchangeResult>();
        QCOMPARE(result.outcome, outcome);
        QCOMPARE(result.reply, reply);
        QVERIFY(!client.isBusy());
        line.feed("\x06\r");  // after the outcome: dropped, nothing more reported
        QTest::qWait(60);
        QCOMPARE(finished.count(), 1);
    }

    void clientOnALostLine()
    {
        FakeLine line;
        ExchangeClient client(&line);
        line.refusal = QStringLiteral("port closed");
        ExchangeResult r = client.run("CR0\r", 50);
        QCOMPARE(r.outcome, ExchangeResult::Outcome::Lost);
        QCOMPARE(r.why, QStringLiteral("port closed"));
        line.refusal.clear();
        line.lostOnWrite = true;  // lost while the frame goes out
        r = client.run("CR0\r", 5000);
        QCOMPARE(r.outcome, ExchangeResult::Outcome::Lost);
        QCOMPARE(r.why, QStringLiteral("Input/output error"));
        r = client.run("CR0\r", 5000);  // and it stays lost until it is back
        QCOMPARE(r.why, QStringLiteral("Input/output error"));
        QCOMPARE(line.written.size(), 0);
        client.lineRestored();
        QTimer::singleShot(0, &line, [&] { line.hangUp(QStringLiteral("gone")); });  // lost while waiting
        QCOMPARE(client.run("CR0\r", 5000).why, QStringLiteral("gone"));
    }

    // Bytes that come just before an exchange starts are dropped with the
    // rest of the input, also when the port saw them come before they were
    // dropped: the line goes on, the exchange gets its own reply.
    void aLateReplyDroppedAsAnExchangeStarts()
    {
        PtyPeer projector;
        SerialPortLine line(projector.path());
        QString why;
        QVERIFY2(line.open(*parseCommSettings(QStringLiteral("19200,N,8,1")), &why), qPrintable(why));
        ExchangeClient client(&line);
        QSignalSpy lost(&line, &Line::lost);
        for (int i = 0; i < 20; ++i) {
            QMetaObject::invokeMethod(&client, [&] { client.start("CR0\r", 2000); }, Qt::QueuedConnection);
            QVERIFY(projector.write("late\r"));
            QTest::qWait(0);
            QCOMPARE(projector.readExactly(4), QByteArray("CR0\r"));
            QVERIFY(projector.write("00\r"));
            QSignalSpy done(&client, &ExchangeClient::finished);
            QVERIFY(done.wait(2000));
            QCOMPARE(done.first().first().value<ExchangeResult>().reply, QByteArray("00\r"));
        }
        QCOMPARE(lost.count(), 0);
    }
};

QTEST_MAIN(EngineTest)
#include "test_engine.moc"
