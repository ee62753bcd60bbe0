// The window: its controls as built, the keyboard and the heights, the port
// panel on real pseudo-terminals and on device servers that fail, the
// binding of the buttons to the exchange, what a screen reader says, and how
// the display lines draw.
#include <QAccessible>
#include <QFrame>
#include <QLineEdit>
#include <QRadioButton>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/layout_table.h"
#include "core/render.h"
#include "support/panel.h"
#include "support/pty.h"
#include "support/sim_process.h"

using namespace qm25;
using namespace qm25::test;

namespace {

std::unique_ptr<Panel> activePanel(const PtyPeer &com1)
{
    auto p = makePanel(com1.path());
    p->form->show();
    QApplication::setActiveWindow(p->form.get());
    if (!QTest::qWaitForWindowActive(p->form.get()))
        qWarning("window not active");
    return p;
}

// A serial line whose port refuses 9600 baud once open.
class No9600Line : public SerialLine {
protected:
    bool applySettings(const LineSettings &s, QString *error) override
    {
        if (s.baud != 9600)
            return SerialLine::applySettings(s, error);
        *error = QStringLiteral("Unsupported baud rate");
        return false;
    }
};

// How a label draws itself, and how a plain label set up like it draws its text.
QImage picture(QWidget *w) { return w->grab().toImage().convertToFormat(QImage::Format_RGB32); }
QImage asPlainLabel(const QLabel *line)
{
    QLabel twin(line->text());
    twin.setAlignment(line->alignment());
    twin.setAutoFillBackground(true);
    twin.setPalette(line->palette());
    twin.setFont(line->font());
    twin.setFrameStyle(line->frameStyle());
    twin.setIndent(line->indent());
    twin.resize(line->size());
    return picture(&twin);
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("QM25_COM2"); }

    void controlsAsDesigned()
    {
        auto p = makePanel(QString(), false);
        Form1 &f = p->f();
        QMap<QString, int> kinds;
        QSet<QString> names;
        for (QObject *o : f.allControls()) {
            QVERIFY2(!names.contains(o->objectName()), qPrintable(o->objectName()));
            names.insert(o->objectName());
            kinds[QString::fromLatin1(o->metaObject()->className())]++;
        }
        const QMap<QString, int> expected{{"qm25::CommandButton", 67}, {"QLabel", 23},     {"QFrame", 14},
                                          {"QRadioButton", 4},         {"QLineEdit", 1},   {"qm25::ImageControl", 1},
                                          {"qm25::LineControl", 12},  {"qm25::IntervalTimer", 4},
                                          {"qm25::SerialLine", 1}};
        QCOMPARE(kinds, expected);
        QCOMPARE(f.windowTitle(), QStringLiteral("RUNO   QM25   CONTROL   Ver.1.40"));
        QCOMPARE(f.size(), QSize(633, 582));  // 9495 x 8730 twips
        for (const ControlSpec &c : controlSpecs()) {
            QWidget *w = f.control(QString::fromLatin1(c.name));
            QCOMPARE(w->parentWidget(), c.parent ? f.control(QLatin1String(c.parent)) : &f);
            QVERIFY2(w->parentWidget()->rect().contains(w->geometry()), c.name);
            if (auto *b = qobject_cast<QAbstractButton *>(w))
                QCOMPARE(b->text(), QString::fromUtf8(c.caption));
            QCOMPARE(w->isHidden(), c.hiddenAtCreation);
        }
        QCOMPARE(f.control("Command17")->geometry(), QRect(8, 40, 41, 20));
        QCOMPARE(f.control("Frame9")->geometry(), QRect(3, 328, 421, 86));
        QCOMPARE(f.Image1->geometry(), QRect(544, 8, 80, 26));  // the picture, unscaled
        for (const LineSpec &l : lineSpecs()) {
            auto *line = f.control<LineControl>(QString::fromLatin1(l.name));
            QCOMPARE(line->from(), QPoint(l.x1 / 15, l.y1 / 15));
            QVERIFY(line->testAttribute(Qt::WA_TransparentForMouseEvents));
        }

        // At creation: the speed 19200 chosen, no port, nothing shown, nothing running.
        QVERIFY(f.Option9->isChecked() && !f.Option10->isChecked() && !f.Option1->isChecked() && !f.Option2->isChecked());
        QVERIFY(f.Label11->text().isEmpty() && f.Label12->text().isEmpty() && f.Label22->text().isEmpty());
        const QList<std::pair<IntervalTimer *, int>> timers{{f.exchange().repeatTimer(), 200}, {f.exchange().replyTimer(), 500},
                                                          {f.Timer3, 5000}, {f.exchange().clearTimer(), 1000}};
        for (auto [t, interval] : timers)
            QVERIFY(!t->isEnabled() && t->interval() == interval);
        QVERIFY(!f.MSComm1->isOpen());
        QCOMPARE(f.MSComm1->settings(), QStringLiteral("9600,N,8,1"));
        // The two option groups are apart.
        f.Option10->setChecked(true);
        f.Option2->setChecked(true);
        QVERIFY(f.Option10->isChecked() && f.Option2->isChecked());
    }

    void everyControlSaysWhatItDoesAndItsCaptionFits()
    {
        auto p = makePanel(QString(), false);
        p->f().Command34->setText(QStringLiteral("データを表示しない"));  // the longest it takes
        QSet<QString> spoken;
        int wrapped = 0;
        for (QObject *o : p->f().allControls()) {
            auto *w = qobject_cast<QWidget *>(o);
            if (!qobject_cast<QAbstractButton *>(w) && !qobject_cast<QLineEdit *>(w))
                continue;
            const QString name = QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
            QVERIFY2(name.size() >= 4 && !spoken.contains(name), qPrintable(w->objectName() + ": " + name));
            spoken.insert(name);
            auto *b = qobject_cast<QAbstractButton *>(w);
            auto *button = qobject_cast<CommandButton *>(w);
            if (!b)
                continue;
            const QFontMetrics fm(b->font());
            const QStringList lines = button ? button->displayedCaption().split(u'\n') : QStringList{b->text()};
            for (const QString &line : lines)
                QVERIFY2(fm.horizontalAdvance(line) <= b->width() - (button ? 4 : 20), qPrintable(b->objectName()));
            QVERIFY2(int(lines.size()) * fm.height() <= b->height() + 4, qPrintable(b->objectName()));
            QCOMPARE(lines.join(button && !b->text().contains(u' ') ? "" : " "), b->text());
            wrapped += lines.size() > 1 ? 1 : 0;
        }
        QCOMPARE(spoken.size(), 67 + 4 + 1);
        QCOMPARE(wrapped, 2);  // DISPLAY CLEAR and the show/hide button
        QCOMPARE(QAccessible::queryAccessibleInterface(p->f().Label22)->text(QAccessible::Name),
                 QStringLiteral("Decoded status"));
        // A caption is wrapped afresh when its width changes.
        auto *b = p->f().control<CommandButton>("Command3");
        b->resize(600, b->height());
        QCOMPARE(b->displayedCaption(), QStringLiteral("DISPLAY CLEAR"));
    }

    void keysAndHeights()
    {
        PtyPeer com1;
        auto p = activePanel(com1);
        Form1 &f = p->f();
        QCOMPARE(QApplication::focusWidget(), f.control("Command17"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), f.control("Command1"));
        QCOMPARE(f.heightTwips(), 5350);
        // Only Ctrl+H, from any control; the key goes on to the control.
        f.Text1->setFocus();
        for (Qt::KeyboardModifiers m : {Qt::KeyboardModifiers(), Qt::KeyboardModifiers(Qt::ShiftModifier),
                                        Qt::ControlModifier | Qt::ShiftModifier, Qt::ControlModifier | Qt::AltModifier})
            QTest::keyClick(f.Text1, Qt::Key_H, m);
        QTest::keyClick(f.Text1, Qt::Key_G, Qt::ControlModifier);
        QVERIFY(f.Text1->text().startsWith(u"hh"));  // the keys went on to the box
        QTest::mouseDClick(f.Image1, Qt::LeftButton);  // not yet
        QCOMPARE(f.heightTwips(), 5350);
        QVERIFY(f.Command34->isHidden());
        QTest::keyClick(f.Text1, Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(f.heightTwips(), 7200);
        QCOMPARE(f.frameGeometry().height(), 480);
        QCOMPARE(f.PanelFlag, qint16(1));
        QCOMPARE(f.Command34->text(), QStringLiteral("CLOSE"));
        QVERIFY(f.Command34->isVisible());
        QTest::mouseDClick(f.Image1, Qt::LeftButton);
        QCOMPARE(f.frameGeometry().height(), 607);
        QCOMPARE(f.heightTwips(), 9100);
        f.control("Command17")->setFocus();
        QTest::keyClick(f.control("Command17"), Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(f.heightTwips(), 7200);

        // The show/hide button: tall windows (6000 and up) shrink, short ones grow.
        p->click("Command34");
        QCOMPARE(f.heightTwips(), 5350);
        QCOMPARE(f.Command34->text(), QStringLiteral("データを表示する"));
        QCOMPARE(f.PanelFlag, qint16(0));
        QTest::mouseDClick(f.Image1, Qt::LeftButton);  // off again
        QCOMPARE(f.heightTwips(), 5350);
        f.toggleDataDisplay();
        QCOMPARE(f.heightTwips(), 6645);
        QCOMPARE(f.Command34->text(), QStringLiteral("データを表示しない"));
        for (auto [from, to] : {std::pair{6000, 5350}, {5985, 6645}}) {
            f.setHeightTwips(from);
            f.toggleDataDisplay();
            QCOMPARE(f.heightTwips(), to);
        }

        // ... and it restarts the port panel's count-down.
        f.showPortPanel();
        QTest::qSleep(60);
        QVERIFY(f.Timer3->remainingTime() <= 4950);
        f.toggleDataDisplay();
        QVERIFY(f.Timer3->remainingTime() > 4950);
    }

    void portPanelOnRealPorts()
    {
        PtyPeer com1, com2;
        qputenv("QM25_COM2", com2.path().toLocal8Bit());
        auto p = makePanel(com1.path());
        Form1 &f = p->f();
        QVERIFY2(f.MSComm1->isOpen() && p->warnings.isEmpty(), qPrintable(p->warnings.join(u'\n')));
        QCOMPARE(com1.deviceBaud(), 19200);
        QVERIFY(f.Option1->isChecked() && f.Frame8->isHidden());
        QCOMPARE(f.CommSetting, QStringLiteral("19200,N,8,1"));
        QVERIFY(!f.Timer3->isEnabled());

        f.showPortPanel();
        QVERIFY(!f.Frame8->isHidden() && f.Timer3->isEnabled());
        f.Option10->click();  // the open port changes speed without closing
        QVERIFY(f.MSComm1->isOpen() && f.Frame8->isHidden());
        QCOMPARE(com1.deviceBaud(), 9600);
        QCOMPARE(f.CommSetting, QStringLiteral("9600,N,8,1"));
        f.Option2->click();
        QCOMPARE(f.MSComm1->portNumber(), 2);
        QCOMPARE(com2.deviceBaud(), 9600);

        // A port that is not there: one warning, the port closed and numbered
        // with the other one, the panel and the choice left as they are.
        qputenv("QM25_COM1", "/nonexistent/qm25-com1");
        f.showPortPanel();
        f.Option1->click();
        QCOMPARE(p->warnings.size(), 1);
        QVERIFY2(p->warnings[0].startsWith("Cannot open COM1 (/nonexistent/qm25-com1): No such file or directory"),
                 qPrintable(p->warnings[0]));
        QVERIFY(!f.MSComm1->isOpen() && f.Option1->isChecked() && !f.Frame8->isHidden());
        QCOMPARE(f.MSComm1->portNumber(), 2);
        f.hidePortPanel();  // the count-down's tick
        QVERIFY(f.Frame8->isHidden() && !f.Timer3->isEnabled());
        f.Option2->click();  // a port that is there opens again
        f.Option2->click();  // and the port already marked reopens, still marked
        QVERIFY(f.MSComm1->isOpen() && f.Option2->isChecked() && f.Option10->isChecked());
        QCOMPARE(p->warnings.size(), 1);

        // END closes the port and ends.
        p->click("Command16");
        QVERIFY(!f.MSComm1->isOpen());
        QCOMPARE(p->ends, 1);
        QCOMPARE(p->warnings.size(), 1);
    }

    void deviceServerFaults_data()
    {
        QTest::addColumn<QString>("device");  // FULL, CLOSED: loopback ports of the test's own
        QTest::addColumn<bool>("tried");      // connecting starts; else the name is refused at once
        QTest::addColumn<QString>("says");
        QTest::newRow("refused") << "tcp://127.0.0.1:CLOSED" << true << "connection refused by 127.0.0.1 port CLOSED.";
        QTest::newRow("timed out") << "tcp://127.0.0.1:FULL" << true
                                   << "connecting to 127.0.0.1 port FULL timed out after 3 s.";
        QTest::newRow("name not found") << "tcp://qm25-rack.invalid:4001" << true
                                        << "the host name qm25-rack.invalid was not found";
        QTest::newRow("bad port") << "tcp://127.0.0.1:65536" << false << "the port is a number from 1 to 65535, not \"65536\"";
        QTest::newRow("IPv6 unbracketed") << "tcp://::1:4001" << false << "an IPv6 address goes in brackets: tcp://[::1]:PORT";
    }
    void deviceServerFaults()
    {
        QFETCH(QString, device);
        QFETCH(bool, tried);
        QFETCH(QString, says);
        // A listener whose queue is full: the kernel drops the handshakes that
        // come after, so connecting to it never completes.
        sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        auto *address = reinterpret_cast<sockaddr *>(&at);
        socklen_t size = sizeof at;
        const int full = ::socket(AF_INET, SOCK_STREAM, 0), queued = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(::bind(full, address, size) == 0 && ::listen(full, 0) == 0 && ::getsockname(full, address, &size) == 0
                && ::connect(queued, address, size) == 0);
        const QString closed = QString::number(freeLoopbackPort()), busy = QString::number(ntohs(at.sin_port));
        device.replace("CLOSED", closed).replace("FULL", busy);
        says.replace("CLOSED", closed).replace("FULL", busy);
        PtyPeer com1;
        auto p = makePanel(com1.path());
        Form1 &f = p->f();
        qputenv("QM25_COM1", device.toLocal8Bit());
        f.showPortPanel();
        f.Option1->click();
        // While a connection is tried the window goes on working: a send is
        // refused, with the reason.
        QCOMPARE(f.MSComm1->isConnecting(), tried);
        QCOMPARE(p->warnings.size(), tried ? 0 : 1);
        f.control<QPushButton>("Command44")->click();
        QCOMPARE(f.Label22->text(), " Not sent: " + (tried ? "still connecting to " + device.mid(6).replace(':', " port ")
                                                           : QStringLiteral("port closed")));
        QTRY_COMPARE_WITH_TIMEOUT(p->warnings.size(), 1, 10000);
        QVERIFY2(p->warnings[0].startsWith("Cannot open COM1 (" + device + "): " + says), qPrintable(p->warnings[0]));
        QVERIFY(!f.MSComm1->isOpen() && !f.MSComm1->isConnecting() && !f.Frame8->isHidden());
        ::close(full);
        ::close(queued);
    }

    void aRefusedSpeedLeavesTheSpeedInForce()
    {
        PtyPeer com1;
        auto p = makePanel(com1.path(), true, std::make_unique<No9600Line>());
        Form1 &f = p->f();
        f.showPortPanel();
        f.Option10->click();
        QCOMPARE(p->warnings.size(), 1);
        QVERIFY2(p->warnings[0].contains("Unsupported baud rate"), qPrintable(p->warnings[0]));
        QCOMPARE(f.CommSetting, QStringLiteral("19200,N,8,1"));
        QCOMPARE(f.MSComm1->settings(), QStringLiteral("19200,N,8,1"));
        QVERIFY(f.Option9->isChecked() && !f.Option10->isChecked());
        QCOMPARE(com1.deviceBaud(), 19200);
        QVERIFY(f.MSComm1->isOpen());
    }

    void buttonsDriveTheExchange()
    {
        PtyPeer com1;
        auto p = activePanel(com1);
        Form1 &f = p->f();
        for (const ClickCommand &row : clickCommands()) {
            f.control<QPushButton>(QLatin1String(row.control))->click();
            QCOMPARE(p->ex().state().SendText, QLatin1String(row.code) + u'\r');
        }
        QVERIFY(com1.readExactly(8).startsWith("C00\rC01\r"));
        for (const RepeatCommand &row : repeatCommands()) {
            QTest::mousePress(f.control(QLatin1String(row.control)), Qt::RightButton);  // any mouse button
            QCOMPARE(int(p->ex().state().KeyRepeatNo), row.repeatCode);
            QTest::mouseRelease(f.control(QLatin1String(row.control)), Qt::RightButton);
            QCOMPARE(p->ex().state().KeyRepeatNo, quint8(0));
        }
        const QString before = p->ex().state().SendText;
        f.control("Command1")->setFocus();
        QTest::keyClick(f.control("Command1"), Qt::Key_Space);  // held buttons have no keyboard action
        QCOMPARE(p->ex().state().SendText, before);
        QVERIFY(!p->ex().repeatTimer()->isEnabled());

        // The command line: SEND takes the text and keeps it; CLS empties the box only.
        f.Text1->setFocus();
        QTest::keyClicks(f.Text1, QStringLiteral("CR1"));
        p->click("Command95");
        QCOMPARE(p->ex().state().SendText, QStringLiteral("CR1\r"));
        p->ex().bytesArrived("3\r");
        QCOMPARE(f.Label11->text(), QStringLiteral(" C R 1 CR "));
        QCOMPARE(f.Label12->text(), QStringLiteral(" 3 CR "));
        QCOMPARE(f.Label22->text(), QStringLiteral(" Video"));
        p->click("Command96");
        QVERIFY(f.Text1->text().isEmpty());
        QCOMPARE(f.Label22->text(), QStringLiteral(" Video"));
        QCOMPARE(p->ex().state().SendText, QStringLiteral("CR1\r"));
        QVERIFY(f.Text1->maxLength() > 100000);  // nothing typed is cut
    }

    void longDisplayLinesDrawAsAPlainLabelWould()
    {
        PtyPeer com1;
        auto p = activePanel(com1);
        Form1 &f = p->f();
        QByteArray stream;
        while (stream.size() < 3000)
            stream += "00\r80\r\x06\r1234 ABC xyz\r\n";
        qsizetype from = 0;
        for (const int upTo : {40, 700, 701, 3000}) {  // a buffer that grows, as from a streaming device
            p->ex().bytesArrived(stream.mid(from, upTo - from));
            from = upTo;
            QCOMPARE(f.Label12->text(), renderText(QString::fromLatin1(stream.left(upTo))));
            QCOMPARE(picture(f.Label12), asPlainLabel(f.Label12));
        }
        p->ex().replyTimeOut();  // a new buffer that starts otherwise
        p->ex().bytesArrived(QByteArray(900, 'W'));
        QCOMPARE(picture(f.Label12), asPlainLabel(f.Label12));
        p->ex().sendTypedCommand(QString(2000, u'A'));
        QCOMPARE(picture(f.Label11), asPlainLabel(f.Label11));
    }
};

QTEST_MAIN(WindowTest)
#include "test_window.moc"
