// The data panel (Ctrl+H, the picture's double-click, the show/hide button)
// and the command line with SEND and CLS.
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QtTest>

#include "support/panel.h"

using namespace qm25;
using namespace qm25::test;

namespace {

// Counts presses of the H key that reach a widget.
class KeySpy : public QObject {
public:
    int presses = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(e)->key() == Qt::Key_H)
            ++presses;
        return false;
    }
};

std::unique_ptr<Panel> activePanel()
{
    auto p = makePanel();
    p->form->show();
    QApplication::setActiveWindow(p->form.get());
    if (!QTest::qWaitForWindowActive(p->form.get()))
        qWarning("window not active");
    return p;
}

}  // namespace

class PanelKeysTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("QM25_COM1"); qunsetenv("QM25_COM2"); }

    void ctrlHOpensTheDisplayAndReachesTheFocusedControl()
    {
        auto p = activePanel();
        Form1 &f = *p->form;
        QWidget *focused = QApplication::focusWidget();
        QVERIFY(focused);
        KeySpy spy;
        focused->installEventFilter(&spy);
        QTest::keyClick(focused, Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(f.heightTwips(), 7200);
        QCOMPARE(f.frameGeometry().height(), 480);  // outer height in pixels
        QCOMPARE(f.PanelFlag, qint16(1));
        QCOMPARE(f.Command34->text(), QStringLiteral("CLOSE"));
        QVERIFY(!f.Command34->isHidden());
        QCOMPARE(spy.presses, 1);
        // Twice: still 7200; and from the full height back to 7200.
        QTest::keyClick(focused, Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(f.heightTwips(), 7200);
        f.Image1_DblClick();
        QCOMPARE(f.heightTwips(), 9100);
        QTest::keyClick(focused, Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(f.heightTwips(), 7200);
    }

    void otherCombinationsChangeNothing_data()
    {
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Ctrl+Shift+H") << int(Qt::ControlModifier | Qt::ShiftModifier);
        QTest::newRow("Ctrl+Alt+H") << int(Qt::ControlModifier | Qt::AltModifier);
        QTest::newRow("H") << int(Qt::NoModifier);
        QTest::newRow("Shift+H") << int(Qt::ShiftModifier);
    }
    void otherCombinationsChangeNothing()
    {
        QFETCH(int, modifiers);
        auto p = activePanel();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_H, Qt::KeyboardModifiers(modifiers));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_G, Qt::ControlModifier);
        QCOMPARE(p->form->heightTwips(), 5350);
        QCOMPARE(p->form->PanelFlag, qint16(0));
        QVERIFY(p->form->Command34->isHidden());
    }

    void keyPreviewWorksFromTheCommandLine()
    {
        auto p = activePanel();
        p->form->Text1->setFocus();
        QTest::keyClicks(p->form->Text1, "cr0");
        QCOMPARE(p->form->Text1->text(), QStringLiteral("cr0"));
        QTest::keyClick(p->form->Text1, Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(p->form->heightTwips(), 7200);
    }

    void doubleClickOnlyAfterCtrlH()
    {
        auto p = activePanel();
        Form1 &f = *p->form;
        QTest::mouseDClick(f.Image1, Qt::LeftButton);
        QCOMPARE(f.heightTwips(), 5350);
        QVERIFY(f.Command34->isHidden());
        f.Form_KeyDown(Qt::Key_H, 2);
        QTest::mouseDClick(f.Image1, Qt::LeftButton);
        QCOMPARE(f.heightTwips(), 9100);
        QCOMPARE(f.frameGeometry().height(), 607);
        QCOMPARE(f.Command34->text(), QStringLiteral("CLOSE"));
        // After the show/hide button the double-click is off again.
        f.Command34->click();
        QCOMPARE(f.heightTwips(), 5350);
        QTest::mouseDClick(f.Image1, Qt::LeftButton);
        QCOMPARE(f.heightTwips(), 5350);
    }

    void showHideButtonToggles()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        f.Form_KeyDown(Qt::Key_H, 2);
        f.Command34_Click();
        QCOMPARE(f.heightTwips(), 5350);
        QCOMPARE(f.Command34->text(), QStringLiteral("データを表示する"));
        QCOMPARE(f.PanelFlag, qint16(0));
        f.Command34_Click();
        QCOMPARE(f.heightTwips(), 6645);
        QCOMPARE(f.Command34->text(), QStringLiteral("データを表示しない"));
        f.Command34_Click();
        QCOMPARE(f.heightTwips(), 5350);
        // Exactly 6000 counts as tall; just below does not.
        f.setHeightTwips(6000);
        QCOMPARE(f.heightTwips(), 6000);
        f.Command34_Click();
        QCOMPARE(f.heightTwips(), 5350);
        f.setHeightTwips(5985);
        f.Command34_Click();
        QCOMPARE(f.heightTwips(), 6645);
        // A height set some other way is read from the window itself.
        f.setFixedHeight(420);
        QCOMPARE(f.heightTwips(), 6300);
        f.Command34_Click();
        QCOMPARE(f.heightTwips(), 5350);
    }

    void showHideButtonPostponesThePortPanelsHiding()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        f.Command33_Click();
        QTest::qSleep(60);
        QVERIFY(f.Timer3->remainingTime() <= 4950);
        f.Command34_Click();
        QVERIFY(f.Timer3->Enabled());
        QVERIFY(f.Timer3->remainingTime() > 4950);
        QVERIFY(!f.Frame8->isHidden());
        f.Timer3_Timer();
        QVERIFY(f.Frame8->isHidden());
    }

    void sendTakesTheTextAsTyped_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("status");
        QTest::newRow("empty") << "" << QByteArray("\r") << QByteArray("00\r") << "";
        QTest::newRow("lower case") << "c00" << QByteArray("c00\r") << QByteArray("\x06\r") << "";
        QTest::newRow("CR0") << "CR0" << QByteArray("CR0\r") << QByteArray("80\r") << " Stand by";
        QTest::newRow("CR0 with a blank") << "CR0 " << QByteArray("CR0 \r") << QByteArray("80\r") << "";
        QTest::newRow("lower-case query") << "cr0" << QByteArray("cr0\r") << QByteArray("80\r") << "";
        QTest::newRow("leading blank") << " CRA" << QByteArray(" CRA\r") << QByteArray("02\r") << "";
        QTest::newRow("CRA") << "CRA" << QByteArray("CRA\r") << QByteArray("02\r") << " Audio mute ON";
        QTest::newRow("pressure") << "CR PRESSURE" << QByteArray("CR PRESSURE\r") << QByteArray("0512\r") << "650 hPa";
        QTest::newRow("lamp") << "CR7" << QByteArray("CR7\r") << QByteArray("03\r") << " No1,2 ON  : 2 Lamp mode";
    }
    void sendTakesTheTextAsTyped()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, reply);
        QFETCH(QString, status);
        auto p = makePanel();
        Form1 &f = *p->form;
        f.Text1->setText(typed);
        f.control<QPushButton>("Command95")->click();
        QCOMPARE(p->fake()->written.last(), frame);
        QCOMPARE(f.CmdText, typed);
        QCOMPARE(f.Text1->text(), typed);  // kept for another SEND
        QCOMPARE(f.Timer2->Interval(), 2000);
        QCOMPARE(f.Timer4->Interval(), 2500);
        p->fake()->feed(reply);
        QCOMPARE(f.Label22->text(), status);
        if (status.endsWith("hPa")) {
            QCOMPARE(f.PressureValue, qint16(650));
        }
        // The intervals stay for the next plain click.
        f.control<QPushButton>("Command17")->click();
        QCOMPARE(f.Timer2->Interval(), 2000);
        QCOMPARE(f.Timer4->Interval(), 2500);
    }

    void clsEmptiesOnlyTheBox()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        f.Text1->setText("CR1");
        f.control<QPushButton>("Command95")->click();
        p->fake()->feed("3\r");
        const QString txd = f.Label11->text(), rxd = f.Label12->text(), status = f.Label22->text();
        const qsizetype sent = p->fake()->written.size();
        f.control<QPushButton>("Command96")->click();
        QVERIFY(f.Text1->text().isEmpty());
        QCOMPARE(p->fake()->written.size(), sent);
        QCOMPARE(f.Label11->text(), txd);
        QCOMPARE(f.Label12->text(), rxd);
        QCOMPARE(f.Label22->text(), status);
        QCOMPARE(f.SendText, QStringLiteral("CR1\r"));
    }

    void longAndForeignTextGoesOutDefined()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        // Nothing typed is cut: 100000 characters go out, and TXD shows the
        // first 32767 of them.
        f.Text1->setText(QString(100000, QLatin1Char('A')));
        f.control<QPushButton>("Command95")->click();
        QCOMPARE(p->fake()->written.last().size(), 100001);
        QCOMPARE(f.Label11->text().size(), 1 + 2 * 32767);
        QVERIFY(p->fake()->written.last().endsWith("A\r"));
        f.Text1->setText(QStringLiteral("日本\U0001F600"));
        f.control<QPushButton>("Command95")->click();
        QCOMPARE(p->fake()->written.last(), QByteArray("????\r"));
        QCOMPARE(f.Label11->text(), QStringLiteral(" ? ? ? ? CR "));
    }
};

QTEST_MAIN(PanelKeysTest)
#include "test_panel_keys.moc"
