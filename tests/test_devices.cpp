// Which device a port means: the order of its sources, stable names, the
// remembered devices and their file; the device chooser at start-up and
// from the port panel; the program's command line.
#include <QtTest>
#include <QtWidgets>

#include <sys/stat.h>

#include "app/start_up.h"
#include "line/port_devices.h"
#include "line/remembered_devices.h"
#include "support/panel.h"
#include "support/pty.h"

using namespace qm25;
using namespace qm25::test;

class DevicesTest : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> tmp;
    QString settings, byId;  // the settings file and stable-names folder in force

private slots:
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        settings = tmp->filePath("qm25-control.conf");
        setStableNamesFolder(byId = tmp->filePath("by-id"));
        QVERIFY(QDir().mkpath(byId));
        for (const char *variable : {"QM25_COM1", "QM25_COM2"})
            qunsetenv(variable);
    }

    void sourcesInOrder_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QStringList>("optionEnvRemembered");
        QTest::addColumn<QString>("expected");  // "@x": x in the stable-names folder; "@pty": the adapter
        QTest::newRow("COM1 default") << 1 << QStringList{"", "", ""} << "/dev/ttyS0";
        QTest::newRow("remembered") << 2 << QStringList{"", "", "/dev/ttyUSB3"} << "/dev/ttyUSB3";
        QTest::newRow("environment first") << 1 << QStringList{"", "/dev/ttyUSB1", "/dev/ttyUSB3"} << "/dev/ttyUSB1";
        QTest::newRow("option first") << 1 << QStringList{"/dev/ttyACM0", "/dev/ttyUSB1", "/dev/ttyUSB3"} << "/dev/ttyACM0";
        QTest::newRow("remembered adapter") << 1 << QStringList{"", "", "@pty"} << "@pty";
        QTest::newRow("stable name gone") << 1 << QStringList{"", "", "@usb-Gone"} << "@usb-Gone";
        QTest::newRow("stable option") << 2 << QStringList{"@usb-Adapter", "", "/dev/ttyUSB3"} << "@pty";
    }
    void sourcesInOrder()
    {
        QFETCH(int, port);
        QFETCH(QStringList, optionEnvRemembered);
        QFETCH(QString, expected);
        PtyPeer socket1, socket2;
        const QString link = byId + "/usb-Adapter";
        QVERIFY(QFile::link(socket1.path(), link) && QFile::link("/nonexistent", byId + "/usb-Gone"));
        const auto named = [&](QString s) { return s == "@pty" ? socket1.path() : s.replace("@", byId + "/"); };
        qputenv(port == 1 ? "QM25_COM1" : "QM25_COM2", named(optionEnvRemembered[1]).toLocal8Bit());
        QString why;
        QVERIFY(optionEnvRemembered[2].isEmpty()
                || RememberedDevices(settings).remember(port, named(optionEnvRemembered[2]), &why));
        RememberedDevices remembered(settings);  // read back from the file
        PortDevices devices(&remembered);
        devices.nameForRun(port, named(optionEnvRemembered[0]));
        QCOMPARE(devices.deviceFor(port), named(expected));
        QCOMPARE(devices.deviceFor(3 - port), defaultPortDevice(3 - port));
        // The adapter plugged into another socket is found by its stable name.
        QVERIFY(QFile::remove(link) && QFile::link(socket2.path(), link));
        QCOMPARE(devices.deviceFor(port), expected == "@pty" ? socket2.path() : named(expected));
    }

    // A settings file that cannot be used gives the defaults, with one
    // warning, and is never lost: a damaged one is kept aside when a device
    // is remembered, one that cannot be read is left alone.
    void aBadSettingsFileGivesTheDefaults_data()
    {
        QTest::addColumn<QByteArray>("content");  // FOLDER, FIFO, ZERO (a link to /dev/zero): no plain file
        QTest::addColumn<bool>("kept");           // moved aside to .bak, and a new file written
        QTest::newRow("binary") << QByteArray("\x7f" "ELF\x02\x01\x00\xff[\x01\n=\xfe\x00\n[devices\nCOM1", 24) << true;
        QTest::newRow("unknown key") << QByteArray("[devices]\nCOM1=/dev/ttyUSB0\nspeed=fast\n") << true;
        QTest::newRow("list") << QByteArray("[devices]\nCOM1=/dev/ttyUSB0, /dev/ttyUSB1\n") << true;
        QTest::newRow("larger than 64 KiB") << "[devices]\nCOM1=/dev/ttyUSB0\n" + QByteArray(70000, '#') << false;
        QTest::newRow("folder") << QByteArray("FOLDER") << false;
        QTest::newRow("named pipe") << QByteArray("FIFO") << false;
        QTest::newRow("link to /dev/zero") << QByteArray("ZERO") << false;
    }
    void aBadSettingsFileGivesTheDefaults()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, kept);
        QFile file(settings);
        if (content == "FOLDER")
            QVERIFY(QDir().mkdir(settings));
        else if (content == "FIFO")
            QVERIFY(::mkfifo(QFile::encodeName(settings).constData(), 0600) == 0);
        else if (content == "ZERO")
            QVERIFY(QFile::link("/dev/zero", settings));
        else
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) > 0);
        file.close();
        const auto state = [&] {
            const QFileInfo i(settings);
            return QStringList{i.symLinkTarget(), QString::number(i.size()), i.lastModified().toString(Qt::ISODateWithMs)};
        };
        const QStringList before = state();
        RememberedDevices remembered(settings);
        const PortDevices devices(&remembered);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignoring the settings in .*qm25-control.conf \\(.+\\)"));
        QTest::failOnWarning(QRegularExpression("."));
        for (int port : {1, 2, 1})
            QCOMPARE(devices.deviceFor(port), defaultPortDevice(port));
        QString why;
        QCOMPARE(remembered.remember(1, "/dev/ttyUSB5", &why), kept);
        QCOMPARE(QFileInfo(remembered.backupPath()).exists(), kept);
        if (!kept) {
            QVERIFY2(why.contains("cannot be read") && why.contains("left alone"), qPrintable(why));
            QCOMPARE(state(), before);
            return;
        }
        QFile aside(remembered.backupPath());
        QVERIFY(aside.open(QIODevice::ReadOnly));
        QCOMPARE(aside.readAll(), content);
        QCOMPARE(RememberedDevices(settings).device(1), "/dev/ttyUSB5");
    }

    void otherGroupsAreKept()
    {
        QFile file(settings);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[devices]\nCOM1=/dev/ttyUSB0\n[window]\nx=1\n") > 0);
        file.close();
        QString why;
        QVERIFY(RememberedDevices(settings).remember(2, "/dev/ttyUSB1", &why));
        QSettings written(settings, QSettings::IniFormat);
        QCOMPARE(written.allKeys(), (QStringList{"devices/COM1", "devices/COM2", "window/x"}));
    }

    void theChooserFollowsWhatIsPluggedIn()
    {
        DeviceChooser chooser(2, PortDevices().lookUp(2));
        QList<SerialDevice> plugged;
        chooser.setPortSource([&] { return plugged; });
        auto *list = chooser.findChild<QTreeWidget *>("devices");
        QCOMPARE(list->topLevelItemCount(), 0);
        plugged.append({"/dev/ttyUSB0", byId + "/usb-FTDI-if00-port0", "FT232R USB UART", "FTDI", "A50285BI", ""});
        QTRY_COMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(list->topLevelItem(0)->text(1), "usb-FTDI-if00-port0");
        list->setCurrentItem(list->topLevelItem(0));
        QCOMPARE(chooser.choice().device, byId + "/usb-FTDI-if00-port0");  // the adapter by its stable name
    }

    void startUpChooser_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("other device, remembered") << "open";
        QTest::newRow("quit") << "quit";
    }
    void startUpChooser()
    {
        QFETCH(QString, answer);
        PtyPeer adapter;
        const QString missing = tmp->filePath("adapter");
        QStringList failures;  // as each chooser said
        QTimer operatorAnswers;
        connect(&operatorAnswers, &QTimer::timeout, this, [&] {
            auto *chooser = qobject_cast<DeviceChooser *>(QApplication::activeModalWidget());
            if (!chooser || !chooser->isVisible())
                return;
            failures << chooser->findChild<QLabel *>("failure")->text();
            if (answer == "open") {
                chooser->findChild<QLineEdit *>("otherDevice")->setText(adapter.path());
                chooser->findChild<QCheckBox *>("remember")->setChecked(true);
            }
            chooser->findChild<QPushButton *>(failures.size() > 1 ? "quit" : answer)->click();
        });
        operatorAnswers.start(10);
        auto p = makePanel(missing, false, {}, settings);
        const bool opens = answer != "quit";
        QCOMPARE(startPanel(p->f(), true), opens);
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures[0].startsWith("Cannot open COM1 (" + missing + "): No such file"), qPrintable(failures[0]));
        QCOMPARE(p->f().startupError(), opens ? QString() : failures[0]);
        QCOMPARE(adapter.deviceBaud() == 19200, opens);  // opened on it
        QCOMPARE(QFile::exists(settings), answer == "open");  // nothing written unless asked
        if (answer != "open")
            return;
        p.reset();
        auto next = makePanel(QString(), false, {}, settings);  // the next start opens on it straight away
        QVERIFY(startPanel(next->f(), true));
        QCOMPARE(failures.size(), 1);
        QCOMPARE(next->f().line().device(), adapter.path());
    }

    void devicesChosenFromThePortPanel()
    {
        PtyPeer lost, replacement, other;
        auto p = makePanel(lost.path(), true, {}, settings);
        PanelWindow &f = p->f();
        lost.hangUp();
        QTRY_COMPARE(p->warnings.size(), 1);  // the line was lost; the port is closed
        // A right-click on COM1 asks for its device; the port in use opens on it.
        int asked = 0;
        f.askDevice = [&](int port, const QString &startUpFailure) {
            asked = startUpFailure.isEmpty() ? port : -1;
            return std::optional(DeviceChoice{replacement.path(), false});
        };
        f.showPortPanel();
        QTimer::singleShot(0, this, [] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            QVERIFY(menu && menu->actions().size() == 1 && menu->actions()[0]->text() == "Device for COM1…");
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(menu->actions()[0]).center());
        });
        QContextMenuEvent rightClick(QContextMenuEvent::Mouse, QPoint(4, 4), f.portOption(1)->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(f.portOption(1), &rightClick);
        QCOMPARE(asked, 1);
        QVERIFY(f.line().isOpen() && f.portPanel()->isHidden());
        QCOMPARE(f.line().device(), replacement.path());
        // One that fails is said and not remembered; the other port's device
        // is remembered and its port left alone.
        f.useDevice(1, {"/nonexistent/qm25", true});
        QCOMPARE(p->warnings.size(), 2);
        QVERIFY2(p->warnings[1].startsWith("Cannot open COM1 (/nonexistent/qm25)"), qPrintable(p->warnings[1]));
        f.useDevice(2, {other.path(), true});
        QVERIFY(f.portOption(1)->isChecked() && !f.line().isOpen() && other.deviceBaud() != 19200);
        QVERIFY(f.portOption(2)->toolTip().startsWith("COM2: " + other.path()));
        QCOMPARE(QSettings(settings, QSettings::IniFormat).allKeys(), QStringList{"devices/COM2"});
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");  // 0: no window system may be asked for
        QTest::addColumn<QString>("says");
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--com1 <DEVICE>";
        QTest::newRow("--com1 before QM25_COM1") << QStringList{"--com1", "/nonexistent/qm25-option"} << 1
                                                 << "qm25-control: Cannot open COM1 (/nonexistent/qm25-option)";
        QTest::newRow("unknown") << QStringList{"--colour"} << 1 << "Unknown option 'colour'";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, says);
        QProcess panel;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", status == 0 ? "none" : "offscreen");
        env.insert("QM25_COM1", "/nonexistent/qm25-environment");
        panel.setProcessEnvironment(env);
        panel.start(QM25_CONTROL_BIN, arguments);
        QVERIFY(panel.waitForFinished(30000));
        const QString out = QString::fromLocal8Bit(panel.readAllStandardOutput() + panel.readAllStandardError());
        QCOMPARE(panel.exitStatus() == QProcess::NormalExit ? panel.exitCode() : -1, status);
        QVERIFY2(out.contains(says), qPrintable(out));
    }
};

QTEST_MAIN(DevicesTest)
#include "test_devices.moc"
