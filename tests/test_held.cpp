// Buttons that repeat while held, with the mouse as the operator uses it.
// Repeat ticks are fired by hand.
#include <QLabel>
#include <QtTest>

#include "support/panel.h"

using namespace qm25;
using namespace qm25::test;

namespace {

struct Shown {
    std::unique_ptr<Panel> p;
    Form1 &f() { return *p->form; }
    FakeComm &comm() { return *p->fake(); }
    QWidget *w(const char *name) { return p->form->control(QLatin1String(name)); }
    void press(const char *name, Qt::MouseButton b = Qt::LeftButton) { QTest::mousePress(w(name), b); }
    void release(const char *name, Qt::MouseButton b = Qt::LeftButton) { QTest::mouseRelease(w(name), b); }
};

Shown shownPanel()
{
    Shown s{makePanel()};
    s.p->form->show();
    return s;
}

}  // namespace

class HeldTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("QM25_COM1"); qunsetenv("QM25_COM2"); }

    void pressRepeatsUntilRelease_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("period");
        QTest::addColumn<int>("replyTimeout");
        QTest::addColumn<int>("displayClear");
        for (const RepeatCommand &row : repeatCommands()) {
            if (row.cursor)
                continue;
            QTest::newRow(row.control) << QString::fromLatin1(row.control) << QByteArray(row.code) + '\r'
                                       << row.repeatPeriod << row.replyTimeout << row.displayClear;
        }
    }
    void pressRepeatsUntilRelease()
    {
        QFETCH(QString, button);
        QFETCH(QByteArray, frame);
        auto s = shownPanel();
        const QByteArray name = button.toLatin1();
        s.press(name);
        QCOMPARE(s.comm().written, QList<QByteArray>{frame});
        QVERIFY(s.f().Timer1->Enabled());
        QFETCH(int, period);
        QFETCH(int, replyTimeout);
        QFETCH(int, displayClear);
        QCOMPARE(s.f().Timer1->Interval(), period);
        QCOMPARE(s.f().Timer2->Interval(), replyTimeout);
        QCOMPARE(s.f().Timer4->Interval(), displayClear);
        s.f().Timer1_Timer();
        s.f().Timer1_Timer();
        QCOMPARE(s.comm().written, (QList<QByteArray>{frame, frame, frame}));
        s.comm().feed("\x06\r");
        QVERIFY(!s.f().Label12->text().isEmpty());
        s.f().Label22->setText("kept");

        s.release(name);
        QCOMPARE(s.f().KeyRepeatNo, quint8(0));
        QVERIFY(!s.f().Timer1->Enabled());
        QVERIFY(!s.f().Timer2->Enabled());
        QVERIFY(s.f().Timer4->Enabled());
        QVERIFY(s.f().Label11->text().isEmpty());
        QVERIFY(s.f().Label12->text().isEmpty());
        QCOMPARE(s.f().Label22->text(), QStringLiteral("kept"));
        QVERIFY(s.f().RecvText.isEmpty());
        QCOMPARE(s.f().Timer2->Interval(), 500);
        QCOMPARE(s.f().Timer4->Interval(), 1000);
        s.f().Timer1_Timer();  // a stray tick after the release sends nothing
        QCOMPARE(s.comm().written.size(), 3);
        const bool zoom = name == "Command48" || name == "Command49";
        QCOMPARE(s.f().CursorMode, quint8(zoom ? 3 : 0));
        QCOMPARE(s.f().Timer1->Interval(), zoom ? 5 : period);
    }

    void quickPressSendsOnceAndAnyMouseButtonCounts()
    {
        auto s = shownPanel();
        s.press("Command1");
        s.release("Command1");
        QCOMPARE(s.comm().written, QList<QByteArray>{"C09\r"});
        QVERIFY(!s.f().Timer1->Enabled());

        s.press("Command2", Qt::RightButton);
        QCOMPARE(s.comm().written.last(), QByteArray("C0A\r"));
        QVERIFY(s.f().Timer1->Enabled());
        s.f().Timer1_Timer();
        QCOMPARE(s.comm().written.size(), 3);
        s.release("Command2", Qt::RightButton);
        QVERIFY(!s.f().Timer1->Enabled());
        QCOMPARE(s.f().KeyRepeatNo, quint8(0));
    }

    void keyboardActivationSendsNothing()
    {
        auto s = shownPanel();
        QApplication::setActiveWindow(&s.f());
        QVERIFY(QTest::qWaitForWindowActive(&s.f()));
        s.w("Command1")->setFocus();
        QTest::keyClick(s.w("Command1"), Qt::Key_Space);
        QTest::keyClick(s.w("Command5"), Qt::Key_Space);
        QVERIFY(s.comm().written.isEmpty());
        QVERIFY(!s.f().Timer1->Enabled());
    }

    void cursorTimingFollowsTheLastMode()
    {
        auto s = shownPanel();
        // Right after start: nothing changes, the repeat runs at 200.
        s.press("Command5");
        QCOMPARE(s.comm().written.last(), QByteArray("C3C\r"));
        QCOMPARE(s.f().Timer2->Interval(), 500);
        QCOMPARE(s.f().Timer4->Interval(), 1000);
        QCOMPARE(s.f().Timer1->Interval(), 200);
        s.release("Command5");

        // After MENU ON: menu speed.
        s.f().control<QPushButton>("Command23")->click();
        s.press("Command7");
        QCOMPARE(s.comm().written.last(), QByteArray("C3D\r"));
        QCOMPARE(s.f().Timer2->Interval(), 150);
        QCOMPARE(s.f().Timer4->Interval(), 190);
        QCOMPARE(s.f().Timer1->Interval(), 200);
        s.release("Command7");

        // After a D.Zoom release: 5 ms, even after MENU OFF.
        s.press("Command49");
        s.release("Command49");
        s.f().control<QPushButton>("Command24")->click();
        s.press("Command9");
        QCOMPARE(s.comm().written.last(), QByteArray("C3B\r"));
        QCOMPARE(s.f().Timer2->Interval(), 5);
        QCOMPARE(s.f().Timer4->Interval(), 5);
        QCOMPARE(s.f().Timer1->Interval(), 5);
        s.release("Command9");

        // Brightness leaves its 50 ms for a later cursor press.
        s.press("Command15");
        s.release("Command15");
        s.press("Command8");
        QCOMPARE(s.f().Timer1->Interval(), 50);
        QCOMPARE(s.f().Timer2->Interval(), 5);  // mode 3 still sets 5/5
        s.f().Timer1_Timer();
        QCOMPARE(s.comm().written.last(), QByteArray("C3A\r"));
        s.release("Command8");
    }

    void lostLinkStopsTheRepeat()
    {
        auto s = shownPanel();
        s.press("Command50");
        QVERIFY(s.f().Timer1->Enabled());
        s.comm().hangUp();
        QCoreApplication::processEvents();
        QCOMPARE(s.p->warnings.size(), 1);
        QVERIFY(!s.f().Timer1->Enabled());
        QCOMPARE(s.f().KeyRepeatNo, quint8(0));
        const qsizetype sent = s.comm().written.size();
        s.f().Timer1_Timer();
        QCOMPARE(s.comm().written.size(), sent);
        s.release("Command50");  // the release still tidies up
        QVERIFY(s.f().Label11->text().isEmpty());
    }
};

QTEST_MAIN(HeldTest)
#include "test_held.moc"
