// Start-up, END, the port panel and a lost link, on a fake control and on
// real pseudo-terminals.
#include <QFrame>
#include <QProcess>
#include <QRadioButton>
#include <QtTest>

#include "support/panel.h"
#include "support/pty.h"

using namespace qm25;
using namespace qm25::test;

class PortTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("QM25_COM1"); qunsetenv("QM25_COM2"); }

    void startUpOpensCom1At19200()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        QVERIFY(f.MSComm1->PortOpen());
        QCOMPARE(f.MSComm1->CommPort(), 1);
        QCOMPARE(f.MSComm1->Settings(), QStringLiteral("19200,N,8,1"));
        QCOMPARE(f.CommSetting, QStringLiteral("19200,N,8,1"));
        QVERIFY(f.CmdPrefix.isEmpty());
        QVERIFY(f.Option1->isChecked());
        QVERIFY(f.Option9->isChecked());
        QVERIFY(f.Frame8->isHidden());
        QCOMPARE(f.heightTwips(), 5350);
        for (IntervalTimer *t : {f.Timer1, f.Timer2, f.Timer3, f.Timer4})
            QVERIFY(!t->Enabled());
        // Opened by start-up, then closed and opened again by selecting COM1.
        QCOMPARE(p->fake()->opens, 2);
        QCOMPARE(p->fake()->closes, 1);
        QCOMPARE(p->fake()->openDevicePath, QStringLiteral("/dev/ttyS0"));
        QCOMPARE(p->fake()->openSettings.baud, 19200);
        QVERIFY(p->warnings.isEmpty());
    }

    void startUpOnAPseudoTerminal()
    {
        PtyPeer peer;
        QVERIFY(peer.ok());
        qputenv("QM25_COM1", peer.path().toLocal8Bit());
        auto p = makeRealPanel();
        QVERIFY2(p->form->MSComm1->PortOpen(), qPrintable(p->form->startupError()));
        QCOMPARE(peer.deviceBaud(), 19200);
        QVERIFY(p->form->Option1->isChecked());
        // 9600 changes the speed of the open port without closing it.
        p->form->Command33_Click();
        QVERIFY(p->form->Frame8->isVisible() || !p->form->Frame8->isHidden());
        p->form->Option10->click();
        QVERIFY(p->form->MSComm1->PortOpen());
        QCOMPARE(peer.deviceBaud(), 9600);
        QCOMPARE(p->form->CommSetting, QStringLiteral("9600,N,8,1"));
        QVERIFY(p->form->Frame8->isHidden());
    }

    void missingCom1EndsTheRealProgramBeforeTheWindow()
    {
        QProcess proc;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QM25_COM1", "/nonexistent/qm25-port");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        proc.setProcessEnvironment(env);
        proc.start(QStringLiteral(QM25_CONTROL_BIN), {});
        QVERIFY(proc.waitForFinished(20000));
        QVERIFY(proc.exitCode() != 0);
        const QString err = QString::fromLocal8Bit(proc.readAllStandardError());
        QVERIFY2(err.contains("/nonexistent/qm25-port"), qPrintable(err));
        QVERIFY2(err.contains("Cannot open COM1"), qPrintable(err));
    }

    void missingCom1FailsStartUpOnly()
    {
        auto p = makePanel(false);
        p->fake()->missingDevices.insert("/dev/ttyS0");
        QVERIFY(!p->form->Form_Load());
        QVERIFY(p->form->startupError().contains("No such file"));
        QVERIFY(!p->form->MSComm1->PortOpen());
        QCOMPARE(p->fake()->opens, 0);  // nothing else tried
        QVERIFY(p->warnings.isEmpty());
    }

    void switchToMissingCom2WarnsOnceAndFallsBack()
    {
        auto p = makePanel();
        p->fake()->missingDevices.insert("/dev/ttyS1");
        Form1 &f = *p->form;
        f.Command33_Click();
        QVERIFY(f.Timer3->Enabled());
        f.Option2->click();
        QCOMPARE(p->warnings.size(), 1);
        QVERIFY(p->warnings[0].contains("COM2"));
        QVERIFY(!f.MSComm1->PortOpen());
        QCOMPARE(f.MSComm1->CommPort(), 1);
        QVERIFY(!f.Frame8->isHidden());
        QVERIFY(f.Option2->isChecked());
        QVERIFY(f.Timer3->Enabled());  // the countdown still hides the panel later
        f.Timer3_Timer();
        QVERIFY(f.Frame8->isHidden());
        QVERIFY(!f.Timer3->Enabled());

        // Choosing a port that exists opens it again.
        f.Command33_Click();
        f.Option1->click();
        QVERIFY(f.MSComm1->PortOpen());
        QCOMPARE(f.MSComm1->CommPort(), 1);
        QVERIFY(f.Frame8->isHidden());
        QCOMPARE(p->warnings.size(), 1);
    }

    void switchToCom2OnRealPorts()
    {
        PtyPeer com1, com2;
        qputenv("QM25_COM1", com1.path().toLocal8Bit());
        qputenv("QM25_COM2", com2.path().toLocal8Bit());
        auto p = makeRealPanel();
        QVERIFY(p->form->MSComm1->PortOpen());
        p->form->Command33_Click();
        p->form->Option2->click();
        QVERIFY(p->warnings.isEmpty());
        QVERIFY(p->form->MSComm1->PortOpen());
        QCOMPARE(p->form->MSComm1->CommPort(), 2);
        QVERIFY(p->form->Frame8->isHidden());
        // Still at the speed in force.
        QCOMPARE(com2.deviceBaud(), 19200);
    }

    void panelHidesItselfAfterItsCountdown()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        f.Command33_Click();
        QVERIFY(!f.Frame8->isHidden());
        QCOMPARE(f.Timer3->Interval(), 5000);
        f.Timer3_Timer();
        QVERIFY(f.Frame8->isHidden());
        QVERIFY(!f.Timer3->Enabled());
    }

    void hangUpClosesThePortWithOneReport()
    {
        PtyPeer peer;
        qputenv("QM25_COM1", peer.path().toLocal8Bit());
        auto p = makeRealPanel();
        QVERIFY(p->form->MSComm1->PortOpen());
        peer.hangUp();
        QTRY_COMPARE_WITH_TIMEOUT(p->warnings.size(), 1, 5000);
        QVERIFY(!p->form->MSComm1->PortOpen());
        QVERIFY(p->warnings[0].contains("COM1"));
        // No busy loop after the loss: the process mostly idles.
        const double cpu0 = processCpuMs();
        QElapsedTimer wall;
        wall.start();
        QEventLoop idle;
        QTimer::singleShot(500, &idle, &QEventLoop::quit);
        idle.exec();
        QVERIFY2(processCpuMs() - cpu0 < 0.5 * double(wall.elapsed()), "CPU kept busy after the loss");
        QCOMPARE(p->warnings.size(), 1);

        // The operator gets the line back by choosing the port again, also
        // when COM1 is still the marked option.
        PtyPeer again;
        qputenv("QM25_COM1", again.path().toLocal8Bit());
        p->form->Command33_Click();
        p->form->Option1->click();
        QVERIFY(p->form->MSComm1->PortOpen());
        QCOMPARE(p->warnings.size(), 1);
    }

    void endClosesThePortAndEnds()
    {
        auto p = makePanel();
        p->form->Command16_Click();
        QVERIFY(!p->form->MSComm1->PortOpen());
        QCOMPARE(p->ends, 1);

        // Also when the port is already closed.
        auto q = makePanel();
        q->fake()->hangUp();
        QCoreApplication::processEvents();
        q->form->Command16_Click();
        QCOMPARE(q->ends, 1);
    }

    void settingsTextsAreParsed()
    {
        QString why;
        const auto s = parseCommSettings("9600,n,7,2", &why);
        QVERIFY(s);
        QCOMPARE(s->baud, 9600);
        QCOMPARE(s->parity, 'N');
        QCOMPARE(s->dataBits, 7);
        QCOMPARE(s->stopBits10, 20);
        for (const char *bad : {"", "19200", "19200,N,8", "fast,N,8,1", "19200,X,8,1", "19200,N,9,1", "19200,N,8,3", "-1,N,8,1"}) {
            QVERIFY2(!parseCommSettings(QLatin1String(bad), &why), bad);
            QVERIFY(why.startsWith("Invalid line settings"));
        }
        auto p = makePanel();
        QVERIFY(!p->form->MSComm1->setSettings("19200;N;8;1"));
        QCOMPARE(p->form->MSComm1->Settings(), QStringLiteral("19200,N,8,1"));
    }

    void portNamesFollowTheEnvironment()
    {
        QCOMPARE(portDeviceName(1), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(portDeviceName(2), QStringLiteral("/dev/ttyS1"));
        qputenv("QM25_COM2", "/dev/ttyUSB0");
        QCOMPARE(portDeviceName(2), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(portDeviceName(1), QStringLiteral("/dev/ttyS0"));
    }
};

QTEST_MAIN(PortTest)
#include "test_port.moc"
