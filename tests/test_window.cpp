// The window: its controls as built, the keyboard and the heights, the port
// panel on real pseudo-terminals and on device servers that fail, the
// binding of the buttons to the exchange, what a screen reader says, and how
// the display lines draw.
#include <QAccessible>
#include <QFrame>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QRadioButton>
#include <QSerialPort>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include "core/layout_table.h"
#include "core/render.h"
#include "line/serial_port_line.h"
#include "support/panel.h"
#include "support/pty.h"
#include "support/sim_process.h"

using namespace qm25;
using namespace qm25::test;

namespace {

std::unique_ptr<Panel> activePanel(const PtyPeer &com1)
{
    auto p = makePanel(com1.path());
    p->window->show();
    QApplication::setActiveWindow(p->window.get());
    if (!QTest::qWaitForWindowActive(p->window.get()))
        qWarning("window not active");
    return p;
}

// A serial port that counts its openings, and may refuse 9600 baud once open.
struct CountedLine : SerialPortLine {
    CountedLine(const QString &device, int *opens, bool refuse9600)
        : SerialPortLine(device), opens_(opens), refuse9600_(refuse9600) {}
    bool open(const LineSettings &s, QString *why) override
    {
        ++*opens_;
        return SerialPortLine::open(s, why);
    }
    bool applySettings(const LineSettings &s, QString *error) override
    {
        if (s.baud != 9600 || !refuse9600_)
            return SerialPortLine::applySettings(s, error);
        *error = QStringLiteral("Unsupported baud rate");
        return false;
    }
    int *opens_;
    bool refuse9600_;
};

PortLine::DeviceFactory countedLines(int *opens, bool refuse9600 = false)
{
    return [=](const QString &device) { return std::make_unique<CountedLine>(device, opens, refuse9600); };
}

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

// Every control as the window has it (container, place, shown, what a
// screen reader says) in the order they are drawn, then the tab order.
QStringList describe(PanelWindow &f)
{
    QStringList d{QString::number(f.heightTwips())};
    for (QWidget *w : f.findChildren<QWidget *>())
        QDebug(&d.emplace_back()) << w->objectName() << w->parentWidget()->objectName() << w->geometry()
                                  << w->isVisible() << w->accessibleName();
    for (QWidget *w = f.nextInFocusChain(); w != &f; w = w->nextInFocusChain())
        d << (w->focusPolicy() == Qt::NoFocus ? QString() : w->objectName());
    return d;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("QM25_COM2"); }

    void controlsAsDesigned()
    {
        auto p = makePanel(QString(), false);
        PanelWindow &f = p->f();
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
                                          {"qm25::PortLine", 1}};
        QCOMPARE(kinds, expected);
        QCOMPARE(f.windowTitle(), QStringLiteral("RUNO   QM25   CONTROL   Ver.1.40"));
        QCOMPARE(f.size(), QSize(633, 582));  // 9495 x 8730 twips
        QHash<QWidget *, qsizetype> drawn;  // each control drawn above those before it in its container
        for (const DesignedControl &c : designedControls()) {
            QWidget *w = f.control(QString::fromLatin1(c.name));
            QCOMPARE(w->parentWidget(), c.parent ? f.control(QLatin1String(c.parent)) : &f);
            QVERIFY2(w->parentWidget()->children().indexOf(w) > drawn.value(w->parentWidget(), -1), c.name);
            drawn[w->parentWidget()] = w->parentWidget()->children().indexOf(w);
            QVERIFY2(w->parentWidget()->rect().contains(w->geometry()), c.name);
            if (c.kind != Kind::Image)  // the picture takes its own size
                QCOMPARE(w->geometry(), QRect(qRound(c.left / 15.0), qRound(c.top / 15.0), qRound(c.width / 15.0),
                                              qRound(c.height / 15.0)));
            const auto role = c.kind == Kind::Button ? QPalette::Button : c.kind == Kind::TextBox ? QPalette::Base : QPalette::Window;
            if (c.colour <= 0xFFFFFF)
                QCOMPARE(w->palette().color(role), QColor::fromRgb(c.colour));
            if (auto *b = qobject_cast<QAbstractButton *>(w))
                QCOMPARE(b->text(), QString::fromUtf8(c.caption));
            QCOMPARE(w->isHidden(), c.hiddenAtCreation);
        }
        QCOMPARE(f.control("Command17")->geometry(), QRect(8, 40, 41, 20));
        QCOMPARE(f.control("Frame9")->geometry(), QRect(3, 328, 421, 86));
        QCOMPARE(f.picture()->geometry(), QRect(544, 8, 80, 26));  // the picture, unscaled
        for (const DesignedLine &l : designedLines()) {
            auto *line = f.control<LineControl>(QString::fromLatin1(l.name));
            QCOMPARE(line->from(), QPoint(l.x1 / 15, l.y1 / 15));
            QVERIFY(line->testAttribute(Qt::WA_TransparentForMouseEvents));
        }

        // At creation: the speed 19200 chosen, no port, nothing shown, nothing running.
        QVERIFY(f.option19200()->isChecked() && !f.option9600()->isChecked() && !f.portOption(1)->isChecked()
                && !f.portOption(2)->isChecked());
        QVERIFY(f.txdLine()->text().isEmpty() && f.rxdLine()->text().isEmpty() && f.statusLine()->text().isEmpty());
        const QList<std::pair<const char *, int>> timers{{"Timer1", 200}, {"Timer2", 500}, {"Timer3", 5000}, {"Timer4", 1000}};
        for (auto [name, interval] : timers) {
            const auto all = f.allControls();
            const auto t = std::find_if(all.begin(), all.end(), [&](QObject *o) { return o->objectName() == name; });
            QVERIFY(t != all.end() && !static_cast<IntervalTimer *>(*t)->isEnabled()
                    && static_cast<IntervalTimer *>(*t)->interval() == interval);
        }
        QVERIFY(!f.line().isOpen());
        QCOMPARE(f.line().settings(), QStringLiteral("9600,N,8,1"));
        // The two option groups are apart.
        f.option9600()->setChecked(true);
        f.portOption(2)->setChecked(true);
        QVERIFY(f.option9600()->isChecked() && f.portOption(2)->isChecked());
    }

    void everyControlSaysWhatItDoesAndItsCaptionFits()
    {
        auto p = makePanel(QString(), false);
        p->f().dataButton()->setText(QStringLiteral("データを表示しない"));  // the longest it takes
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
        QCOMPARE(QAccessible::queryAccessibleInterface(p->f().statusLine())->text(QAccessible::Name),
                 QStringLiteral("Decoded status"));
        // A caption is wrapped afresh when its width changes.
        auto *b = p->f().control<CommandButton>("Command3");
        b->resize(600, b->height());
        QCOMPARE(b->displayedCaption(), QStringLiteral("DISPLAY CLEAR"));
    }

    void keysAndHeights()
    {
        // Tab from Brightness "-" (STATUS, below, comes next), Ctrl+H and the
        // double-click on the picture at once, before even the first frame,
        // find the lower parts (built after it) as a window built whole has them.
        const std::unique_ptr<Panel> whole = makePanel(QString(), false), early = makePanel(QString(), false);
        whole->f().allControls();
        for (PanelWindow *w : {&whole->f(), &early->f()}) {
            w->show();
            QApplication::setActiveWindow(w);
            QVERIFY(w == &whole->f() || !w->findChild<QLineEdit *>());
            w->findChild<QWidget *>(QStringLiteral("Command35"))->setFocus();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Command44"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_H, Qt::ControlModifier);
            QTest::mouseDClick(w->picture(), Qt::LeftButton);
        }
        QCOMPARE(describe(early->f()), describe(whole->f()));

        PtyPeer com1;
        auto p = activePanel(com1);
        PanelWindow &f = p->f();
        QTRY_VERIFY(f.findChild<QLineEdit *>());  // and they come by themselves
        QCOMPARE(QApplication::focusWidget(), f.control("Command17"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), f.control("Command1"));
        QCOMPARE(f.heightTwips(), 5350);
        // Offscreen, no frame comes: the window is not moved by a later one.
        QTRY_VERIFY_WITH_TIMEOUT(!f.centresOnItsFrame(), 2 * PanelWindow::kFrameWaitMs);
        // Only Ctrl+H, from any control; the key goes on to the control.
        f.commandBox()->setFocus();
        for (Qt::KeyboardModifiers m : {Qt::KeyboardModifiers(), Qt::KeyboardModifiers(Qt::ShiftModifier),
                                        Qt::ControlModifier | Qt::ShiftModifier, Qt::ControlModifier | Qt::AltModifier})
            QTest::keyClick(f.commandBox(), Qt::Key_H, m);
        QTest::keyClick(f.commandBox(), Qt::Key_G, Qt::ControlModifier);
        QVERIFY(f.commandBox()->text().startsWith(u"hh"));  // the keys went on to the box
        QTest::mouseDClick(f.picture(), Qt::LeftButton);  // not yet
        QCOMPARE(f.heightTwips(), 5350);
        QVERIFY(f.dataButton()->isHidden());
        QTest::keyClick(f.commandBox(), Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(f.heightTwips(), 7200);
        QCOMPARE(f.frameGeometry().height(), 480);
        QCOMPARE(f.doubleClickOpensFullHeight(), true);
        QCOMPARE(f.dataButton()->text(), QStringLiteral("CLOSE"));
        QVERIFY(f.dataButton()->isVisible());
        QTest::mouseDClick(f.picture(), Qt::LeftButton);
        QCOMPARE(f.frameGeometry().height(), 607);
        QCOMPARE(f.heightTwips(), 9100);
        // Every control's place in the window and the order Tab takes, for
        // the browser test of the same layout.
        QJsonObject rects;
        for (const DesignedControl &c : designedControls()) {
            const QWidget *w = f.control(QLatin1String(c.name));
            const QPoint at = w->mapTo(&f, QPoint());
            rects[QLatin1String(c.name)] = QJsonArray{at.x(), at.y(), w->width(), w->height()};
        }
        QJsonArray tab;
        f.control("Command17")->setFocus();
        do {
            tab.append(QApplication::focusWidget()->objectName());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        } while (QApplication::focusWidget() != f.control("Command17") && tab.size() < 200);
        QFile dump(QStringLiteral(QM25_WINDOW_DUMP));
        QVERIFY(dump.open(QIODevice::WriteOnly) && dump.write(QJsonDocument(QJsonObject{{"rects", rects}, {"tab", tab}}).toJson()) > 0);
        f.control("Command17")->setFocus();
        QTest::keyClick(f.control("Command17"), Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(f.heightTwips(), 7200);

        // The show/hide button: tall windows (6000 and up) shrink, short ones grow.
        p->click("Command34");
        QCOMPARE(f.heightTwips(), 5350);
        QCOMPARE(f.dataButton()->text(), QStringLiteral("データを表示する"));
        QCOMPARE(f.doubleClickOpensFullHeight(), false);
        QTest::mouseDClick(f.picture(), Qt::LeftButton);  // off again
        QCOMPARE(f.heightTwips(), 5350);
        f.toggleDataDisplay();
        QCOMPARE(f.heightTwips(), 6645);
        QCOMPARE(f.dataButton()->text(), QStringLiteral("データを表示しない"));
        for (auto [from, to] : {std::pair{6000, 5350}, {5985, 6645}}) {
            f.setHeightTwips(from);
            f.toggleDataDisplay();
            QCOMPARE(f.heightTwips(), to);
        }

        // ... and it restarts the port panel's count-down.
        f.showPortPanel();
        QTest::qSleep(60);
        QVERIFY(f.portPanelTimer()->remainingTime() <= 4950);
        f.toggleDataDisplay();
        QVERIFY(f.portPanelTimer()->remainingTime() > 4950);
    }

    void portPanelOnRealPorts()
    {
        PtyPeer com1, com2;
        qputenv("QM25_COM2", com2.path().toLocal8Bit());
        int opens = 0;
        auto p = makePanel(com1.path(), true, countedLines(&opens));
        PanelWindow &f = p->f();
        QVERIFY2(f.line().isOpen() && p->warnings.isEmpty(), qPrintable(p->warnings.join(u'\n')));
        QCOMPARE(opens, 2);  // marking COM1 at start-up closes and reopens it
        QCOMPARE(com1.deviceBaud(), 19200);
        QVERIFY(f.portOption(1)->isChecked() && f.portPanel()->isHidden());
        QCOMPARE(f.line().settings(), QStringLiteral("19200,N,8,1"));
        QVERIFY(!f.portPanelTimer()->isEnabled());

        f.showPortPanel();
        QVERIFY(!f.portPanel()->isHidden() && f.portPanelTimer()->isEnabled());
        f.option9600()->click();  // the open port changes speed without closing
        QVERIFY(f.line().isOpen() && f.portPanel()->isHidden());
        QCOMPARE(com1.deviceBaud(), 9600);
        QCOMPARE(f.line().settings(), QStringLiteral("9600,N,8,1"));
        f.portOption(2)->click();
        QCOMPARE(f.portNumber(), 2);
        QCOMPARE(com2.deviceBaud(), 9600);

        // A port that is not there: one warning, the port closed and numbered
        // with the other one, the panel and the choice left as they are.
        qputenv("QM25_COM1", "/nonexistent/qm25-com1");
        f.showPortPanel();
        int numberAtTheBox = 0;
        f.warningBox = [&](const QString &text) { p->warnings << text, numberAtTheBox = f.portNumber(); };
        f.portOption(1)->click();
        QCOMPARE(p->warnings.size(), 1);
        QCOMPARE(numberAtTheBox, 1);  // the number changes after the box
        QVERIFY2(p->warnings[0].startsWith("Cannot open COM1 (/nonexistent/qm25-com1): No such file or directory"),
                 qPrintable(p->warnings[0]));
        QVERIFY(!f.line().isOpen() && f.portOption(1)->isChecked() && !f.portPanel()->isHidden());
        QCOMPARE(f.portNumber(), 2);
        f.hidePortPanel();  // the count-down's tick
        QVERIFY(f.portPanel()->isHidden() && !f.portPanelTimer()->isEnabled());
        f.portOption(2)->click();  // a port that is there opens again
        f.portOption(2)->click();  // and the port already marked reopens, still marked
        QVERIFY(f.line().isOpen() && f.portOption(2)->isChecked() && f.option9600()->isChecked());
        QCOMPARE(p->warnings.size(), 1);

        // END closes the port and ends.
        p->click("Command16");
        QVERIFY(!f.line().isOpen());
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
        QTest::newRow("a name in brackets") << "tcp://[rack]:4001" << false << "\"rack\" in brackets is no IPv6 address";
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
        PanelWindow &f = p->f();
        qputenv("QM25_COM1", device.toLocal8Bit());
        f.showPortPanel();
        f.portOption(1)->click();
        // While a connection is tried the window goes on working: a send is
        // refused, with the reason.
        QCOMPARE(f.line().isConnecting(), tried);
        QCOMPARE(p->warnings.size(), tried ? 0 : 1);
        QCOMPARE(f.line().setDevice(com1.path()), !tried);  // not while connecting
        f.control<QPushButton>("Command44")->click();
        QCOMPARE(f.statusLine()->text(), " Not sent: " + (tried ? "still connecting to " + device.mid(6).replace(':', " port ")
                                                           : QStringLiteral("port closed")));
        QTRY_COMPARE_WITH_TIMEOUT(p->warnings.size(), 1, 10000);
        QVERIFY2(p->warnings[0].startsWith("Cannot open COM1 (" + device + "): " + says), qPrintable(p->warnings[0]));
        QCOMPARE(f.portNumber(), 2);
        QVERIFY(!f.line().isOpen() && !f.line().isConnecting() && !f.portPanel()->isHidden());
        ::close(full);
        ::close(queued);
    }

    // A device server that stops answering without closing (its cable
    // pulled): here a peer that never reads, so that its window fills and
    // nothing the panel sends is taken any more. The loss is noticed within
    // seconds, not minutes, and is a lost line like any other.
    void aDeviceServerThatVanishesIsNoticed()
    {
        sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        auto *address = reinterpret_cast<sockaddr *>(&at);
        socklen_t size = sizeof at;
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0), small = 1024;
        QVERIFY(::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small) == 0 && ::bind(listener, address, size) == 0
                && ::listen(listener, 1) == 0 && ::getsockname(listener, address, &size) == 0);
        PtyPeer com1;
        auto p = makePanel(QString("tcp://127.0.0.1:%1").arg(ntohs(at.sin_port)));
        PanelWindow &f = p->f();
        QVERIFY2(f.line().isOpen(), qPrintable(p->warnings.join(u' ')));
        const int peer = ::accept(listener, nullptr, nullptr);
        QVERIFY(peer >= 0);
        // Start-up made this one connection and no second.
        QVERIFY(::fcntl(listener, F_SETFL, O_NONBLOCK) == 0 && ::accept(listener, nullptr, nullptr) < 0 && errno == EAGAIN);
        QElapsedTimer waited;
        waited.start();
        const QByteArray frames = QByteArray("CR0\r").repeated(4096);
        while (f.line().isOpen() && waited.elapsed() < 60000) {
            QString why;
            f.line().write(frames, &why);
            QTest::qWait(100);
        }
        QTRY_COMPARE_WITH_TIMEOUT(p->warnings.size(), 1, 1000);
        QVERIFY2(p->warnings[0].contains(" was lost: ") && waited.elapsed() < 30000, qPrintable(p->warnings[0]));
        QVERIFY(!f.line().isOpen());
        ::close(peer);
        ::close(listener);
    }

    // Which reports of a serial port are a lost line, the port closed.
    void serialPortReportsThatAreALoss()
    {
        using E = QSerialPort::SerialPortError;
        // The report, whether the port is opening, open, and whether it is a loss.
        for (const auto &[what, error, opening, open, loss] : {std::tuple{"no error", E::NoError, false, true, false},
                 {"a read time-out", E::TimeoutError, false, true, false}, {"a resource error", E::ResourceError, false, true, true},
                 {"a read error", E::ReadError, false, true, true}, {"while opening", E::PermissionError, true, false, false},
                 {"after closing, again", E::ResourceError, false, false, false}})
            QVERIFY2(SerialPortLine::isLoss(error, opening, open) == loss, what);
    }

    void aRefusedSpeedLeavesTheSpeedInForce()
    {
        PtyPeer com1;
        int opens = 0;
        auto p = makePanel(com1.path(), true, countedLines(&opens, true));
        PanelWindow &f = p->f();
        f.showPortPanel();
        f.option9600()->click();
        QCOMPARE(p->warnings.size(), 1);
        QVERIFY2(p->warnings[0].contains("Unsupported baud rate"), qPrintable(p->warnings[0]));
        QCOMPARE(f.line().settings(), QStringLiteral("19200,N,8,1"));
        QVERIFY(f.option19200()->isChecked() && !f.option9600()->isChecked());
        QCOMPARE(com1.deviceBaud(), 19200);
        QVERIFY(f.line().isOpen());
    }

    void buttonsDriveTheEngine()
    {
        PtyPeer com1;
        auto p = activePanel(com1);
        PanelWindow &f = p->f();
        // Every command button has its row, and the design's buttons all one.
        int bound = 0;
        for (const DesignedControl &c : designedControls())
            bound += c.command ? 1 : 0;
        QCOMPARE(bound, 62);
        p->click("Command17");  // ON under POWER
        QCOMPARE(com1.readExactly(4), QByteArray("C00\r"));
        QTest::mousePress(f.control("Command1"), Qt::RightButton);  // VOL "+", with any mouse button
        QCOMPARE(p->ex().state().held, &command("volume up"));
        QTest::mouseRelease(f.control("Command1"), Qt::RightButton);
        QVERIFY(!p->ex().state().held);
        QCOMPARE(com1.readExactly(4), QByteArray("C09\r"));
        const QString before = p->ex().state().SendText;
        f.control("Command1")->setFocus();
        QTest::keyClick(f.control("Command1"), Qt::Key_Space);  // held buttons have no keyboard action
        QCOMPARE(p->ex().state().SendText, before);
        QVERIFY(!p->ex().repeatTimer()->isEnabled());

        // The command line: SEND takes the text and keeps it; CLS empties the box only.
        f.commandBox()->setFocus();
        QTest::keyClicks(f.commandBox(), QStringLiteral("CR1"));
        p->click("Command95");
        QCOMPARE(p->ex().state().SendText, QStringLiteral("CR1\r"));
        p->ex().bytesArrived("3\r");
        QCOMPARE(f.txdLine()->text(), QStringLiteral(" C R 1 CR "));
        QCOMPARE(f.rxdLine()->text(), QStringLiteral(" 3 CR "));
        QCOMPARE(f.statusLine()->text(), QStringLiteral(" Video"));
        p->click("Command96");
        QVERIFY(f.commandBox()->text().isEmpty());
        QCOMPARE(f.statusLine()->text(), QStringLiteral(" Video"));
        QCOMPARE(p->ex().state().SendText, QStringLiteral("CR1\r"));
        QVERIFY(f.commandBox()->maxLength() > 100000);  // nothing typed is cut
    }

    void longDisplayLinesDrawAsAPlainLabelWould()
    {
        PtyPeer com1;
        auto p = activePanel(com1);
        PanelWindow &f = p->f();
        QByteArray stream;
        while (stream.size() < 3000)
            stream += "00\r80\r\x06\r1234 ABC xyz\r\n";
        qsizetype from = 0;
        for (const int upTo : {40, 700, 701, 3000}) {  // a buffer that grows, as from a streaming device
            p->ex().bytesArrived(stream.mid(from, upTo - from));
            from = upTo;
            QCOMPARE(f.rxdLine()->text(), renderText(QString::fromLatin1(stream.left(upTo))));
            QCOMPARE(picture(f.rxdLine()), asPlainLabel(f.rxdLine()));
        }
        p->ex().replyTimeOut();  // a new buffer that starts otherwise
        p->ex().bytesArrived(QByteArray(900, 'W'));
        QCOMPARE(picture(f.rxdLine()), asPlainLabel(f.rxdLine()));
        p->ex().sendTypedCommand(QString(2000, u'A'));
        QCOMPARE(picture(f.txdLine()), asPlainLabel(f.txdLine()));
    }
};

QTEST_MAIN(WindowTest)
#include "test_window.moc"
