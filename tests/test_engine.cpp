// The exchange engine against a scripted line, without a window: frames out,
// the three display lines, the reply time-out and display clear, held
// buttons and their timing, the receive buffer and the faults of the line.
// Timer ticks are fired by hand.
#include <QSignalSpy>
#include <QtTest>

#include "core/exchange.h"
#include "core/render.h"
#include "support/fake_line.h"

using namespace qm25;
using namespace qm25::test;

namespace {

struct Rig {
    FakeLine line;
    Exchange e;
    Rig() { e.setLine(&line); }
    const ExchangeState &s() const { return e.state(); }
    QString txd() const { return e.text(DisplayLine::Txd); }
    QString rxd() const { return e.text(DisplayLine::Rxd); }
    QString status() const { return e.text(DisplayLine::Status); }
    template <class Rows> static auto find(Rows rows, const char *control) -> decltype(&rows[0])
    {
        for (const auto &row : rows)
            if (qstrcmp(row.control, control) == 0)
                return &row;
        qFatal("no row for %s", control);
    }
    void click(const char *control) { e.sendClickCommand(*find(clickCommands(), control)); }
    void press(const char *control) { e.pressRepeatButton(*find(repeatCommands(), control)); }
    void release(const char *control) { e.releaseRepeatButton(*find(repeatCommands(), control)); }
    QList<int> intervals() const
    {
        return {e.repeatTimer()->interval(), e.replyTimer()->interval(), e.clearTimer()->interval()};
    }
};

// The codes as printed on the window, written out once more to check the
// table against: button number and code.
const QStringList kCodes = QStringLiteral(
    "17 C00,18 C01,27 C05,28 C06,29 C07,19 C0B,20 C0C,21 C0D,22 C0E,31 C0F,32 C10,23 C1C,24 C1D,25 C43,"
    "26 C44,4 C11,10 C12,11 C13,39 C14,40 C15,41 C16,42 C17,12 C18,36 C19,13 C89,30 C27,14 C8A,3 C1E,"
    "56 CF KEYDIS NONE,57 CF KEYDIS RC,58 CF KEYDIS KEY,44 CR0,45 CR1,46 CR3,47 CR4,54 CR6,64 C50,72 C25,"
    "74 C24,73 C26,81 C32,82 C33,69 C34,60 CF LOGOCAPTURE START,61 CF LOGO OFF,63 CF LOGO DEFAULT,"
    "67 CF LOGO USER,97 CF FANSPEED MAX,98 CF FANSPEED NOR").split(u',');

}  // namespace

class EngineTest : public QObject {
    Q_OBJECT
private slots:
    void clickSendsItsFrame_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QList<int>>("intervals");  // repeat, reply time-out, display clear after the click
        QTest::addColumn<int>("cursorMode");
        const QList<int> images{4, 10, 11, 39, 40, 41, 42, 12, 36}, signalTypes{64, 72, 74, 73, 81, 82, 69};
        QCOMPARE(qsizetype(clickCommands().size()), kCodes.size());
        for (const QString &entry : kCodes) {
            const int number = entry.section(u' ', 0, 0).toInt();
            const QString control = QStringLiteral("Command%1").arg(number);
            QList<int> intervals{50, 500, 1000};
            if (images.contains(number))
                intervals = {50, 2000, 2500};
            if (signalTypes.contains(number))
                intervals = {50, 5000, 5500};
            const bool menuSpeed = number == 23 || number == 13;  // MENU ON, A-IMAGE
            if (menuSpeed)
                intervals[0] = 200;
            QTest::newRow(qPrintable(control)) << control << (entry.section(u' ', 1).toLatin1() + '\r')
                                               << intervals << (menuSpeed ? 1 : 0);
        }
    }
    void clickSendsItsFrame()
    {
        QFETCH(QString, control);
        QFETCH(QByteArray, frame);
        QFETCH(QList<int>, intervals);
        QFETCH(int, cursorMode);
        Rig r;
        r.e.repeatTimer()->setInterval(50);
        r.click(qPrintable(control));
        QCOMPARE(r.line.written, QList<QByteArray>{frame});
        QCOMPARE(r.s().SendText, QString::fromLatin1(frame));
        QCOMPARE(r.txd(), renderText(QString::fromLatin1(frame)));
        QCOMPARE(r.s().ReplyWait, quint8(1));
        QVERIFY(r.e.replyTimer()->isEnabled() && r.e.clearTimer()->isEnabled());
        QVERIFY(!r.e.repeatTimer()->isEnabled());
        QCOMPARE(r.intervals(), intervals);
        QCOMPARE(int(r.s().CursorMode), cursorMode);
    }

    void heldButtonRepeatsUntilRelease_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QList<int>>("intervals");
        QTest::addColumn<bool>("zoom");
        const auto row = [](const char *c, const char *frame, QList<int> intervals, bool zoom = false) {
            QTest::newRow(c) << QString::fromLatin1(c) << QByteArray(frame) << intervals << zoom;
        };
        row("Command1", "C09\r", {250, 200, 245});  // VOL
        row("Command2", "C0A\r", {250, 200, 245});
        row("Command15", "C20\r", {50, 25, 25});  // Brightness
        row("Command35", "C21\r", {50, 25, 25});
        row("Command6", "C3F\r", {500, 200, 245});  // SELECT
        row("Command48", "C30\r", {250, 200, 245}, true);  // D.Zoom
        row("Command49", "C31\r", {250, 200, 245}, true);
        row("Command50", "C8E\r", {250, 200, 245});  // Keystone
        row("Command51", "C8F\r", {250, 200, 245});
    }
    void heldButtonRepeatsUntilRelease()
    {
        QFETCH(QString, control);
        QFETCH(QByteArray, frame);
        QFETCH(QList<int>, intervals);
        QFETCH(bool, zoom);
        Rig r;
        const QByteArray name = control.toLatin1();
        r.press(name);
        QCOMPARE(r.line.written, QList<QByteArray>{frame});
        QCOMPARE(int(r.s().KeyRepeatNo), Rig::find(repeatCommands(), name)->repeatCode);
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
        QCOMPARE(r.s().KeyRepeatNo, quint8(0));
        QVERIFY(!r.e.repeatTimer()->isEnabled());
        QVERIFY(!r.e.replyTimer()->isEnabled());  // no " X X X X" for the last repeat
        QVERIFY(r.e.clearTimer()->isEnabled());
        QVERIFY(r.txd().isEmpty() && r.rxd().isEmpty());
        QCOMPARE(r.status(), QStringLiteral(" ACK CR CR "));  // kept until the display clear
        QVERIFY(r.s().RecvText.isEmpty());
        QCOMPARE(r.intervals(), (QList<int>{zoom ? 5 : intervals[0], 500, 1000}));
        QCOMPARE(r.s().CursorMode, quint8(zoom ? 3 : 0));
        const qsizetype sent = r.line.written.size();
        r.e.repeatTick();  // a stray tick after the release sends nothing
        QCOMPARE(r.line.written.size(), sent);
    }

    void cursorPadTiming_data()
    {
        QTest::addColumn<QStringList>("before");  // buttons clicked, or pressed and released
        QTest::addColumn<QList<int>>("intervals");
        QTest::newRow("right after start") << QStringList{} << QList<int>{200, 500, 1000};
        QTest::newRow("after MENU ON") << QStringList{"Command23"} << QList<int>{200, 150, 190};
        QTest::newRow("after MENU ON and VOL") << QStringList{"Command23", "Command1"} << QList<int>{250, 150, 190};
        QTest::newRow("after D.Zoom") << QStringList{"Command49"} << QList<int>{5, 5, 5};
        QTest::newRow("after D.Zoom, MENU OFF") << QStringList{"Command48", "Command24"} << QList<int>{5, 5, 5};
        QTest::newRow("after D.Zoom, Brightness") << QStringList{"Command48", "Command15"} << QList<int>{50, 5, 5};
        QTest::newRow("after D.Zoom, A-IMAGE") << QStringList{"Command48", "Command13"} << QList<int>{200, 150, 190};
    }
    void cursorPadTiming()
    {
        QFETCH(QStringList, before);
        QFETCH(QList<int>, intervals);
        for (const char *arrow : {"Command5", "Command7", "Command9", "Command8"}) {
            Rig r;
            for (const QString &b : before) {
                const QByteArray name = b.toLatin1();
                if (b == "Command23" || b == "Command24" || b == "Command13") {
                    r.click(name);
                } else {
                    r.press(name);
                    r.release(name);
                }
            }
            r.line.written.clear();
            r.press(arrow);
            QCOMPARE(r.intervals(), intervals);
            QVERIFY(r.e.repeatTimer()->isEnabled());
            r.e.repeatTick();
            const QByteArray frame = QByteArray(Rig::find(repeatCommands(), arrow)->code) + '\r';
            QCOMPARE(r.line.written, (QList<QByteArray>{frame, frame}));
            const quint8 mode = r.s().CursorMode;
            r.release(arrow);  // an arrow's release leaves the timing as it was
            QCOMPARE(r.s().CursorMode, mode);
            QCOMPARE(r.intervals(), (QList<int>{intervals[0], 500, 1000}));
        }
    }

    void replyLifecycle()
    {
        Rig r;
        // No reply: crosses at the time-out, then the display clear.
        r.click("Command44");
        r.e.replyTimeOut();
        QCOMPARE(r.rxd(), QStringLiteral(" X X X X"));
        QVERIFY(r.status().isEmpty());  // the time-out is never decoded
        QCOMPARE(r.s().ReplyWait, quint8(0));
        QVERIFY(!r.e.replyTimer()->isEnabled());
        r.e.clearDisplay();
        QVERIFY(r.txd().isEmpty() && r.rxd().isEmpty() && r.status().isEmpty());
        QVERIFY(!r.e.clearTimer()->isEnabled());

        // A reply in pieces: drawn whole each time, decoded once whole.
        r.click("Command44");
        r.line.feed("0");
        QCOMPARE(r.rxd(), QStringLiteral(" 0 "));
        QCOMPARE(r.s().ReplyWait, quint8(0));
        QVERIFY(r.status().isEmpty());
        r.line.feed("0\r");
        QCOMPARE(r.rxd(), QStringLiteral(" 0 0 CR "));
        QCOMPARE(r.status(), QStringLiteral(" Power ON"));
        r.e.replyTimeOut();  // answered: the line stays, the buffer empties
        QCOMPARE(r.rxd(), QStringLiteral(" 0 0 CR "));
        QVERIFY(r.s().RecvText.isEmpty());
        r.click("Command44");
        r.line.feed("99\r");  // no row: the STATUS line keeps its text
        QCOMPARE(r.status(), QStringLiteral(" Power ON"));

        // A late reply replaces the crosses and is shown alone.
        r.click("Command45");
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
        QCOMPARE(q.s().PressureValue, qint16(0));
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
        QCOMPARE(r.s().PressureValue, qint16(status.endsWith(u"hPa") ? 650 : 0));
        r.e.sendClickCommand(clickCommands()[0]);  // the intervals stay for later sends
        QCOMPARE(r.intervals(), (QList<int>{200, 2000, 2500}));
    }

    void receiveBufferKeepsEveryByteUpToItsCap()
    {
        Rig r;
        r.line.feed(QByteArray("\x00\x7f\x80\xff", 4));  // each byte the character of its code
        QCOMPARE(r.s().RecvText, QString::fromUtf16(u"\u0000\u007f\u0080\u00ff", 4));
        // The buffer keeps its start; the RXD line always shows the buffer.
        for (const QByteArray &piece : {QByteArray(20000, '1'), QByteArray(20000, '2'), QByteArray("3")}) {
            r.line.feed(piece);
            QCOMPARE(r.rxd(), renderText(r.s().RecvText));
        }
        QCOMPARE(r.s().RecvText.size(), Exchange::kRecvTextCap);
        QVERIFY(r.s().RecvText.endsWith(u'2'));
        // After the time-out a new buffer starts, also with other characters.
        r.e.replyTimeOut();
        r.line.feed("00\r");
        QCOMPARE(r.rxd(), QStringLiteral(" 0 0 CR "));
        r.e.sendTypedCommand(QString(100000, u'A'));  // goes out whole; TXD shows its start
        QCOMPARE(r.line.written.last().size(), 100001);
        QCOMPARE(r.txd().size(), 1 + 2 * kMaxRenderedChars);
    }

    void aRefusedWriteIsShownAndStillTimesOut()
    {
        Rig r;
        r.line.refusal = QStringLiteral("port closed");
        r.click("Command17");
        QCOMPARE(r.status(), QStringLiteral(" Not sent: port closed"));
        QCOMPARE(r.txd(), QStringLiteral(" C 0 0 CR "));
        r.e.replyTimeOut();
        QCOMPARE(r.rxd(), QStringLiteral(" X X X X"));
    }

    void aLostLineStopsTheRepeatAtOnce()
    {
        Rig r;
        QSignalSpy lost(&r.e, &Exchange::linkLost);
        r.press("Command15");
        r.line.hangUp(QStringLiteral("gone"));
        QCOMPARE(lost.count(), 1);
        QCOMPARE(lost.at(0).at(0).toString(), QStringLiteral("gone"));
        QVERIFY(!r.e.repeatTimer()->isEnabled());
        QCOMPARE(r.s().KeyRepeatNo, quint8(0));
        r.e.repeatTick();  // a tick already due when the loss came
        QCOMPARE(r.line.written.size(), 1);
        r.release("Command15");  // the release still tidies up
        QVERIFY(r.txd().isEmpty());
        r.press("Command1");  // lost while a repeat is being sent: it stops all the same
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
};

QTEST_MAIN(EngineTest)
#include "test_engine.moc"
