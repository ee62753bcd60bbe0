// qm25d on an MQTT broker: the topics and payloads as row tables, then the
// real program on the simulator and Debian's mosquitto broker, which the
// test starts on loopback (a plain listener with a password file, a TLS
// listener with a certificate made here), with mosquitto_sub and
// mosquitto_pub on the other side.
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "mqtt/topics.h"
#include "support/gateway_process.h"
#include "support/sim_process.h"

using namespace qm25::mqtt;
using qm25::test::Gatewayd;
using qm25::test::SimProcess;

namespace {

const QString kPassword = QStringLiteral("broker-pw");

QString program(const QString &name) { return QStandardPaths::findExecutable(name, {"/usr/sbin", "/usr/bin"}); }

int run(const QString &name, const QStringList &args, const QByteArray &input = {})
{
    QProcess p;
    p.start(program(name), args);
    p.write(input);
    p.closeWriteChannel();
    return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace

class MqttTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QProcess broker_, sub_;
    quint16 port_ = 0, tlsPort_ = 0;
    QString seen_;  // what mosquitto_sub printed: "RETAINED TOPIC|PAYLOAD" lines
    std::unique_ptr<SimProcess> sim1_, sim2_;
    std::unique_ptr<Gatewayd> a_, b_;

    QString path(const QString &name) const { return dir_.filePath(name); }
    QStringList login(quint16 port) const
    {
        return {"-h", "127.0.0.1", "-p", QString::number(port), "-u", "qm25", "-P", kPassword, "-V", "5"};
    }
    bool startBroker()
    {
        broker_.start(program("mosquitto"), {"-c", path("mosquitto.conf")});
        return QTest::qWaitFor([&] {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port_);
            return s.waitForConnected(200);
        }, 10000);
    }
    void subscribe()
    {
        sub_.kill();
        sub_.waitForFinished();
        sub_.start(program("mosquitto_sub"), login(port_) << "-t" << "#" << "-F" << "%r %t|%p");
        QVERIFY(sub_.waitForStarted());
    }
    // Waits for a line of the subscriber's that matches, after `from`.
    bool saw(const QString &pattern, qsizetype from = 0, int times = 1)
    {
        const QRegularExpression re(pattern);
        return QTest::qWaitFor([&] {
            seen_ += QString::fromUtf8(sub_.readAllStandardOutput());
            return seen_.mid(from).count(re) >= times;
        }, 15000);
    }
    // What the broker keeps under a filter, as a new subscriber finds it.
    QString retained(const QString &filter)
    {
        QProcess p;
        p.start(program("mosquitto_sub"), login(port_) << "-t" << filter << "-F" << "%t|%p" << "--retained-only" << "-W" << "2");
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    std::unique_ptr<Gatewayd> gateway(const QString &line, const QString &name, const QStringList &more)
    {
        return std::make_unique<Gatewayd>(QStringList{"--port", line, "--name", name, "--mqtt-user", "qm25",
                                                      "--mqtt-password-file", path("password")} + more);
    }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(port_); }

private slots:
    void initTestCase()
    {
        for (const char *name : {"mosquitto", "mosquitto_sub", "mosquitto_pub", "mosquitto_passwd", "openssl"})
            if (program(name).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed (scripts/setup.sh installs it)").arg(name)));
        const QStringList ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"};
        QCOMPARE(run("openssl", QStringList{"req", "-x509"} + ec + QStringList{ "-keyout", path("ca.key"), "-out", path("ca.crt"),
                                                                   "-subj", "/CN=qm25 test CA"}), 0);
        QCOMPARE(run("openssl", QStringList{"req"} + ec + QStringList{"-keyout", path("broker.key"), "-out", path("broker.csr"),
                                                         "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"}), 0);
        QCOMPARE(run("openssl", {"x509", "-req", "-in", path("broker.csr"), "-CA", path("ca.crt"), "-CAkey", path("ca.key"),
                                 "-CAcreateserial", "-out", path("broker.crt"), "-days", "2", "-copy_extensions", "copy"}), 0);
        QCOMPARE(run("mosquitto_passwd", {"-b", "-c", path("passwd"), "qm25", kPassword}), 0);
        port_ = qm25::test::freeLoopbackPort();
        tlsPort_ = qm25::test::freeLoopbackPort();
        QFile conf(path("mosquitto.conf")), password(path("password")), wrong(path("wrong"));
        QVERIFY(conf.open(QIODevice::WriteOnly) && password.open(QIODevice::WriteOnly) && wrong.open(QIODevice::WriteOnly));
        conf.write(QStringLiteral("user root\npersistence false\nallow_anonymous false\npassword_file %1\n"
                                  "listener %2 127.0.0.1\nlistener %3 127.0.0.1\ncafile %4\ncertfile %5\nkeyfile %6\n")
                       .arg(path("passwd")).arg(port_).arg(tlsPort_).arg(path("ca.crt"), path("broker.crt"), path("broker.key"))
                       .toUtf8());
        password.write(kPassword.toUtf8() + '\n');
        wrong.write("wrong\n");
        conf.close(), password.close(), wrong.close();
        QVERIFY2(startBroker(), broker_.readAllStandardError().constData());
        subscribe();
        sim1_ = std::make_unique<SimProcess>(QStringList{"--warmup-ms", "300", "--cooldown-ms", "300"});
        sim2_ = std::make_unique<SimProcess>(QStringList{"--warmup-ms", "300", "--cooldown-ms", "300"});
        QVERIFY(sim1_->ok() && sim2_->ok());
        a_ = gateway(sim1_->devicePath(), "Room 101", {"--mqtt", url(), "--mqtt-group", "floor-1", "--http", "127.0.0.1:0"});
        b_ = gateway(sim2_->devicePath(), "Room-102", {"--mqtt", url(), "--mqtt-group", "floor-1", "--no-discovery"});
        QVERIFY(a_->waitForLog("MQTT: connected") && b_->waitForLog("MQTT: connected"));
    }

    void commandTopics_data()
    {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("name");   // the command run; empty: refused
        QTest::addColumn<QString>("error");
        QTest::newRow("its own") << "qm25/room_101/set/lamp time" << QByteArray() << "lamp time" << "";
        QTest::newRow("group all") << "qm25/group/all/set/power off" << QByteArray() << "power off" << "";
        QTest::newRow("its group, junk payload") << "qm25/group/floor-1/set/input pc2" << QByteArray("\xff\0x", 3) << "input pc2" << "";
        QTest::newRow("a switch's payload") << "qm25/room_101/set/power" << QByteArray(" ON\n") << "power on" << "";
        QTest::newRow("a button's press") << "qm25/room_101/set/image cinema" << QByteArray("press") << "image cinema" << "";
        QTest::newRow("unknown name") << "qm25/room_101/set/launch" << QByteArray() << "" << "unknown command \"launch\"";
        QTest::newRow("a level too many") << "qm25/room_101/set/power on/now" << QByteArray() << "" << "no command in the topic";
        QTest::newRow("no name") << "qm25/room_101/set" << QByteArray() << "" << "no command in the topic";
        QTest::newRow("another group") << "qm25/group/floor-2/set/power off" << QByteArray() << "" << "no command";
        QTest::newRow("another gateway") << "qm25/room-102/set/power off" << QByteArray() << "" << "no command";
    }
    void commandTopics()
    {
        QFETCH(QString, topic);
        QFETCH(QByteArray, payload);
        QFETCH(QString, name);
        QFETCH(QString, error);
        const CommandRequest r = commandOf({"qm25", "room_101", {"all", "floor-1"}}, topic, payload);
        QCOMPARE(r.row ? r.name : QString(), name);
        QVERIFY2(name.isEmpty() ? r.error.contains(error) : r.error.isEmpty(), qPrintable(r.error));
    }

    void brokerUrls_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("understood");  // empty: refused with `error`
        QTest::addColumn<QString>("error");
        QTest::newRow("plain") << "mqtt://broker" << "mqtt://broker:1883" << "";
        QTest::newRow("TLS") << "mqtts://broker.example" << "mqtts://broker.example:8883" << "";
        QTest::newRow("a port, a slash") << "mqtt://192.0.2.7:1884/" << "mqtt://192.0.2.7:1884" << "";
        QTest::newRow("IPv6") << "mqtts://[::1]:8884" << "mqtts://[::1]:8884" << "";
        QTest::newRow("another scheme") << "tcp://broker" << "" << "is no broker";
        QTest::newRow("a login inside") << "mqtt://qm25:pw@broker" << "" << "--mqtt-user";
        QTest::newRow("port 65536") << "mqtt://broker:65536" << "" << "no port";
        QTest::newRow("empty port") << "mqtt://broker:" << "" << "no port";
        QTest::newRow("no host") << "mqtt://" << "" << "names no host";
        QTest::newRow("open bracket") << "mqtt://[::1:1883" << "" << "brackets";
        QTest::newRow("a character after the bracket") << "mqtt://[::1]x" << "" << "brackets";
    }
    void brokerUrls()
    {
        QFETCH(QString, url);
        QFETCH(QString, understood);
        QFETCH(QString, error);
        QString why;
        const auto a = parseBrokerUrl(url, &why);
        QCOMPARE(a ? a->text() : QString(), understood);
        QVERIFY2(why.contains(error), qPrintable(why));
    }

    void values_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<int>("freeze");  // -1: not known
        QTest::addColumn<QString>("values");
        QTest::newRow("all known") << QByteArray(R"({"line":"up","status":{"power":{"state":"on"},"input":{"input":2},
            "lamp time":{"hours":12345},"temperatures":{"celsius":[65,42.5,27]},
            "mute":{"state":"audio-mute","signal":true}}})") << 1
            << "power=on input=pc2 lamp_hours=12345 temperature/1=65.0 temperature/2=42.5 temperature/3=27.0 "
               "mute=audio-mute signal=on freeze=on line=up";
        QTest::newRow("before a reading, the line down") << QByteArray(R"({"line":"down","status":{"power":null,
            "input":null,"lamp time":null,"temperatures":null,"mute":{"state":"standby","signal":null}}})") << -1
            << "power=unknown input=unknown lamp_hours=unknown temperature/1=unknown temperature/2=unknown "
               "temperature/3=unknown mute=standby signal=unknown freeze=unknown line=down";
        QTest::newRow("empty texts") << QByteArray(R"({"line":"","status":{"power":{"state":""},
            "mute":{"state":""}}})") << 0
            << "power=unknown input=unknown lamp_hours=unknown temperature/1=unknown temperature/2=unknown "
               "temperature/3=unknown mute=unknown signal=unknown freeze=off line=unknown";
    }
    void values()
    {
        QFETCH(QByteArray, status);
        QFETCH(int, freeze);
        QStringList got;
        for (const auto &[leaf, payload] : valueMessages(QJsonDocument::fromJson(status).object(),
                                                         freeze < 0 ? std::nullopt : std::optional<bool>(freeze)))
            got << leaf + '=' + QString::fromUtf8(payload);
        QTEST(got.join(' '), "values");
    }

    // What a dashboard or Home Assistant finds on the broker.
    void discoveryAndState()
    {
        QVERIFY(saw("qm25/room_101/power\\|standby") && saw("qm25/room-102/power\\|standby"));
        const QString kept = retained("#");
        QCOMPARE(kept.count("homeassistant/"), 21);  // room_101 only: 11 entities and 10 buttons
        for (const char *line : {"qm25/room_101/availability|online", "qm25/room-102/availability|online",
                                 "qm25/room_101/line|up", "qm25/room_101/input|pc1", "homeassistant/button/qm25_room_101/image_cinema/config|"})
            QVERIFY2(kept.contains(line), line);
        const QJsonObject power = QJsonDocument::fromJson(
            kept.section("homeassistant/switch/qm25_room_101/power/config|", 1).section('\n', 0, 0).toUtf8()).object();
        QCOMPARE(power["command_topic"].toString(), "qm25/room_101/set/power");
        QCOMPARE(power["availability_topic"].toString(), "qm25/room_101/availability");
        QCOMPARE(power["device"]["name"].toString(), "Room 101");
        QCOMPARE(power["device"]["configuration_url"].toString(), QStringLiteral("http://127.0.0.1:%1/").arg(a_->http));
        const QJsonObject state = QJsonDocument::fromJson(kept.section("qm25/room_101/state|", 1).section('\n', 0, 0).toUtf8()).object();
        QCOMPARE(state["line"].toString(), "up");
        QCOMPARE(state["status"]["power"]["state"].toString(), "standby");
    }

    void commands_data()
    {
        QTest::addColumn<QStringList>("publish");  // mosquitto_pub's arguments
        QTest::addColumn<QStringList>("expected");  // lines the subscriber sees after it
        const QString ok = "\\|\\{.*\"name\":\"%1\",\"outcome\":\"ok\"";
        QTest::newRow("one gateway") << QStringList{"-t", "qm25/room_101/set/lamp time", "-n"}
                                     << QStringList{"room_101/result" + ok.arg("lamp time")};
        QTest::newRow("a group, two gateways") << QStringList{"-t", "qm25/group/floor-1/set/power on", "-n"}
            << QStringList{"room_101/result" + ok.arg("power on"), "room-102/result" + ok.arg("power on"),
                           "qm25/room-102/power\\|on", "qm25/room-102/state\\|.*\"last\":\\{[^}]*\"power on\""};
        QTest::newRow("MQTT 5 response topic") << QStringList{"-t", "qm25/room-102/set/input", "-n", "-D", "publish",
                                                              "response-topic", "reply/x", "-D", "publish", "correlation-data", "c1"}
                                               << QStringList{"reply/x" + ok.arg("input")};
        QTest::newRow("unknown command") << QStringList{"-t", "qm25/room_101/set/launch", "-m", "now"}
            << QStringList{"room_101/result\\|\\{.*unknown command.*\"outcome\":\"refused\""};
        QTest::newRow("bad topic") << QStringList{"-t", "qm25/room_101/set/power on/now", "-n"}
                                   << QStringList{"room_101/result\\|\\{.*no command in the topic"};
    }
    void commands()
    {
        QFETCH(QStringList, publish);
        QFETCH(QStringList, expected);
        const qsizetype from = seen_.size();
        QCOMPARE(run("mosquitto_pub", login(port_) << "-q" << "1" << publish), 0);
        for (const QString &line : expected)
            QVERIFY2(saw(line, from), qPrintable(line + " not in:\n" + seen_.mid(from)));
    }

    // Far more commands than the queue takes from one client: each is run
    // or counted as dropped, and another client of the line is served meanwhile.
    void flood()
    {
        const int n = 400;
        const qsizetype from = seen_.size();
        QProcess pub;
        pub.start(program("mosquitto_pub"), login(port_) << "-q" << "1" << "-t" << "qm25/room_101/set/lamp time" << "-l");
        pub.write(QByteArray("x\n").repeated(n));
        pub.closeWriteChannel();
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, a_->raw);
        raw.write("CR0\r");
        QVERIFY(QTest::qWaitFor([&] { return raw.bytesAvailable() > 0; }, 10000));
        QVERIFY(pub.waitForFinished(20000));
        QVERIFY(a_->waitForLog("commands dropped"));
        const QRegularExpression result("room_101/result\\|[^\n]*\"name\":\"lamp time\""), total("\\((\\d+) since the start");
        QVERIFY2(QTest::qWaitFor([&] {
            seen_ += QString::fromUtf8(sub_.readAllStandardOutput());
            qsizetype dropped = 0;
            for (auto m = total.globalMatch(a_->log()); m.hasNext();)
                dropped = m.next().captured(1).toLongLong();
            return seen_.mid(from).count(result) + dropped == n;
        }, 20000), qPrintable(a_->log().right(300)));
    }

    // The broker killed and restarted: the gateways come back and publish
    // everything again (the broker kept nothing).
    void brokerRestart()
    {
        broker_.kill();
        broker_.waitForFinished();
        QVERIFY(a_->waitForLog("lost the connection") && b_->waitForLog("lost the connection"));
        QVERIFY(startBroker());
        QVERIFY(a_->waitForLog("MQTT: connected", 2) && b_->waitForLog("MQTT: connected", 2));
        subscribe();
        const QString kept = retained("qm25/#");
        QVERIFY2(kept.contains("qm25/room_101/availability|online") && kept.contains("qm25/room-102/state|{"), qPrintable(kept));
        QCOMPARE(retained("homeassistant/#").count("homeassistant/"), 21);
    }

    void lastWill()
    {
        b_->kill();
        QVERIFY(saw("qm25/room-102/availability\\|offline"));
        QVERIFY(a_->stop());
        QVERIFY(saw("qm25/room_101/availability\\|offline"));
        // Retired: nothing of it is left on the broker.
        QCOMPARE(run(QM25_GATEWAY_BIN, {"--name", "Room 101", "--mqtt", url(), "--mqtt-user", "qm25", "--mqtt-password-file",
                                        path("password"), "--mqtt-forget"}), 0);
        QCOMPARE(retained("homeassistant/#") + retained("qm25/room_101/#"), QString());
    }

    // A gateway that is refused says why, once, while it goes on trying.
    void refusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("log");
        QTest::newRow("wrong password") << QStringList{"--mqtt", url(), "--mqtt-password-file", path("wrong")}
                                        << "the login was refused";
        QTest::newRow("unknown CA") << QStringList{"--mqtt", QStringLiteral("mqtts://127.0.0.1:%1").arg(tlsPort_)}
                                    << "certificate is not trusted";
        QTest::newRow("its CA; no line") << QStringList{"--mqtt", QStringLiteral("mqtts://127.0.0.1:%1").arg(tlsPort_),
                                                        "--mqtt-ca", path("ca.crt")} << "MQTT: connected";
    }
    void refusals()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, log);
        const qsizetype from = seen_.size();
        auto d = gateway("/nonexistent/tty", QTest::currentDataTag(), args);
        QVERIFY2(d->waitForLog(log), qPrintable(d->log()));
        QTest::qWait(3500);  // two attempts more
        QCOMPARE(d->log().count(log), 1);
        if (log.startsWith("MQTT"))
            QVERIFY(saw(topicSafe(QString::fromUtf8(QTest::currentDataTag())) + "/line\\|down", from));
    }

    void cleanupTestCase()
    {
        for (QProcess *p : {&sub_, &broker_})
            p->kill(), p->waitForFinished();
    }
};

QTEST_MAIN(MqttTest)
#include "test_mqtt.moc"
