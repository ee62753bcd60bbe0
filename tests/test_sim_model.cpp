// The simulator's projector model and frame assembler, with time passed in.
#include "commands/command_table.h"
#include "commands/render.h"
#include "projector_model.h"
#include "replies/status_decode.h"

#include <QTest>

using namespace qm25::sim;

namespace {

constexpr qint64 kCountDown = 3000;
constexpr qint64 kCooling = 5000;

const QByteArray kAckReply("\x06\r", 2);
const QByteArray kNakReply("\x15\r", 2);
const QByteArray kErrReply("ERR\r");

ModelConfig quickConfig()
{
    ModelConfig config;
    config.countDownMs = kCountDown;
    config.coolingMs = kCooling;
    return config;
}

// A model that has been switched on and has finished its count-down at 10 s.
struct OnModel {
    explicit OnModel(ModelConfig config = quickConfig()) : model(config, 0)
    {
        model.handle("C00", 0);
        model.advance(kCountDown);
        Q_ASSERT(model.state().power == Power::On);
    }
    QByteArray send(QByteArrayView frame) { return model.handle(frame, now).bytes; }
    ProjectorModel model;
    qint64 now = kCountDown;
};

}  // namespace

class TestSimModel : public QObject {
    Q_OBJECT

private slots:
    void powerCycle();
    void powerRefusals();
    void lampThatFailsToStrike();
    void refusedInStandby_data();
    void refusedInStandby();
    void inputAndMutesShowInStatusReads();
    void lampHoursGrowOnlyWhileLit();
    void temperaturesFollowPowerAndFan();
    void overheatWarningThroughThePowerCycle();
    void settingsAreRemembered();
    void configuredReads();
    void everyPanelCodeIsKnown();
    void unknownCodes_data();
    void unknownCodes();
    void panelDecodesReplies_data();
    void panelDecodesReplies();
    void assemblerSplitsAndJoins();
    void assemblerBoundsGarbage();
};

void TestSimModel::powerCycle()
{
    ProjectorModel m(quickConfig(), 1000);
    QCOMPARE(m.handle("CR0", 1000).bytes, QByteArray("80\r"));
    QCOMPARE(m.handle("CRA", 1000).bytes, QByteArray("FF\r"));
    QVERIFY(!m.nextTransitionMs());

    QCOMPARE(m.handle("C00", 2000).bytes, kAckReply);
    QCOMPARE(m.handle("CR0", 2000).bytes, QByteArray("40\r"));
    QCOMPARE(m.nextTransitionMs().value_or(-1), 2000 + kCountDown);
    // A second power on during the count-down does not start it again.
    QCOMPARE(m.handle("C00", 3000).bytes, kAckReply);
    QCOMPARE(m.handle("CR0", 2000 + kCountDown - 1).bytes, QByteArray("40\r"));
    QCOMPARE(m.advance(2000 + kCountDown), QStringList{QStringLiteral("power on")});
    QCOMPARE(m.handle("CR0", 2000 + kCountDown).bytes, QByteArray("00\r"));
    QCOMPARE(m.handle("CRA", 2000 + kCountDown).bytes, QByteArray("00\r"));
    QCOMPARE(m.handle("CR7", 2000 + kCountDown).bytes, QByteArray("03\r"));

    const qint64 off = 20'000;
    QCOMPARE(m.handle("C01", off).bytes, kAckReply);
    QCOMPARE(m.handle("CR0", off).bytes, QByteArray("20\r"));
    QCOMPARE(m.handle("CR7", off).bytes, QByteArray("00\r"));
    QCOMPARE(m.handle("CR0", off + kCooling - 1).bytes, QByteArray("20\r"));
    // Reading late runs the pending change first.
    QCOMPARE(m.handle("CR0", off + kCooling + 50'000).bytes, QByteArray("80\r"));
    // Time running backwards counts as none passing.
    QVERIFY(m.advance(0).isEmpty());
    QCOMPARE(m.state().power, Power::Standby);

    ProjectorModel instant({.countDownMs = 0, .coolingMs = 0}, 0);
    instant.handle("C00", 5);
    QCOMPARE(instant.handle("CR0", 5).bytes, QByteArray("00\r"));
}

void TestSimModel::powerRefusals()
{
    ProjectorModel m(quickConfig(), 0);
    QCOMPARE(m.handle("C01", 0).bytes, kAckReply);  // already off: nothing to do
    QCOMPARE(m.state().power, Power::Standby);
    m.handle("C00", 0);
    m.handle("C01", 1000);  // off during the count-down goes to cooling
    QCOMPARE(m.handle("CR0", 1000).bytes, QByteArray("20\r"));
    const Reply onWhileCooling = m.handle("C00", 2000);
    QCOMPARE(onWhileCooling.kind, Reply::Kind::Refused);
    QCOMPARE(onWhileCooling.bytes, kNakReply);
    QCOMPARE(m.handle("CR0", 2000).bytes, QByteArray("20\r"));
    QCOMPARE(m.handle("C01", 2000).bytes, kAckReply);
    // The refused power on left the cooling end where it was.
    QCOMPARE(m.handle("CR0", 1000 + kCooling).bytes, QByteArray("80\r"));
}

void TestSimModel::lampThatFailsToStrike()
{
    ModelConfig config = quickConfig();
    config.lampFails = true;
    ProjectorModel m(config, 0);
    m.handle("C00", 0);
    QCOMPARE(m.handle("CR0", kCountDown).bytes, QByteArray("10\r"));
    QCOMPARE(m.handle("C00", kCountDown).bytes, kNakReply);
    QCOMPARE(m.handle("C05", kCountDown).bytes, kNakReply);
    QCOMPARE(m.handle("C01", kCountDown).bytes, kAckReply);
    QCOMPARE(m.handle("CR0", kCountDown).bytes, QByteArray("20\r"));
    QCOMPARE(m.handle("CR0", kCountDown + kCooling).bytes, QByteArray("80\r"));
}

void TestSimModel::refusedInStandby_data()
{
    QTest::addColumn<QByteArray>("code");
    for (const char *code : {"C05", "C07", "C0B", "C0D", "C0F", "C11", "C1C", "C1E", "C43", "C50",
                             "C27", "C89", "C8A", "C09", "C20", "C30", "C3C", "C3F", "C8E",
                             "CF LOGOCAPTURE START"})
        QTest::newRow(code) << QByteArray(code);
}

void TestSimModel::refusedInStandby()
{
    QFETCH(QByteArray, code);
    ProjectorModel m(quickConfig(), 0);
    const State before = m.state();
    const Reply reply = m.handle(code, 0);
    QCOMPARE(reply.kind, Reply::Kind::Refused);
    QCOMPARE(reply.bytes, kNakReply);
    QVERIFY(m.state() == before);
    // During the count-down the picture is not there yet either.
    m.handle("C00", 0);
    QCOMPARE(m.handle(code, 1).bytes, kNakReply);
}

void TestSimModel::inputAndMutesShowInStatusReads()
{
    OnModel p;
    QCOMPARE(p.send("CR1"), QByteArray("1\r"));
    const std::pair<const char *, const char *> inputs[] = {{"C06", "2\r"}, {"C07", "3\r"}, {"C05", "1\r"}};
    for (const auto &[code, read] : inputs) {
        QCOMPARE(p.send(code), kAckReply);
        QCOMPARE(p.send("CR1"), QByteArray(read));
    }
    const std::pair<const char *, const char *> mutes[] = {
        {"C0B", "02\r"}, {"C0D", "03\r"}, {"C0C", "01\r"}, {"C0E", "00\r"}};
    for (const auto &[code, read] : mutes) {
        QCOMPARE(p.send(code), kAckReply);
        QCOMPARE(p.send("CRA"), QByteArray(read));
    }

    ModelConfig fourth = quickConfig();
    fourth.input = 4;  // no signal on it by default
    OnModel q(fourth);
    QCOMPARE(q.send("CR1"), QByteArray("4\r"));
    QCOMPARE(q.send("CRA"), QByteArray("80\r"));
    q.send("C05");
    QCOMPARE(q.send("CRA"), QByteArray("00\r"));
}

void TestSimModel::lampHoursGrowOnlyWhileLit()
{
    ModelConfig config = quickConfig();
    config.lampHours = 7;
    config.lampHourMs = 1000;
    ProjectorModel m(config, 0);
    QCOMPARE(m.handle("CR3", 0).bytes, QByteArray("00007\r"));
    QCOMPARE(m.handle("CR3", 60'000).bytes, QByteArray("00007\r"));  // stand-by ages nothing
    m.handle("C00", 60'000);
    QCOMPARE(m.handle("CR3", 60'000 + 1999).bytes, QByteArray("00008\r"));  // the count-down counts
    QCOMPARE(m.handle("CR3", 60'000 + 5000).bytes, QByteArray("00012\r"));
    m.handle("C01", 60'000 + 5000);
    QCOMPARE(m.handle("CR3", 200'000).bytes, QByteArray("00012\r"));

    config.lampHours = 99999;
    ProjectorModel worn(config, 0);
    worn.handle("C00", 0);
    QCOMPARE(worn.handle("CR3", 100'000).bytes, QByteArray("99999\r"));
}

void TestSimModel::temperaturesFollowPowerAndFan()
{
    ProjectorModel m(quickConfig(), 0);
    QCOMPARE(m.handle("CR6", 0).bytes, QByteArray("025.0  25.0 025.0\r"));
    m.handle("C00", 0);
    const QByteArray warm = m.handle("CR6", 5000).bytes;
    QVERIFY2(warm.first(5).toDouble() > 25.0, warm.constData());
    QCOMPARE(m.handle("CR6", 600'000).bytes, QByteArray("065.0  42.0 027.0\r"));
    m.handle("CF FANSPEED MAX", 600'000);
    QCOMPARE(m.handle("CR6", 1'200'000).bytes, QByteArray("058.0  38.0 026.0\r"));
    m.handle("C01", 1'200'000);
    QCOMPARE(m.handle("CR6", 2'400'000).bytes, QByteArray("025.0  25.0 025.0\r"));
}

void TestSimModel::overheatWarningThroughThePowerCycle()
{
    ModelConfig config = quickConfig();
    config.overheat = true;
    ProjectorModel m(config, 0);
    m.handle("C00", 0);
    QCOMPARE(m.handle("CR0", 10'000).bytes, QByteArray("00\r"));  // not hot yet
    QCOMPARE(m.handle("CR0", 600'000).bytes, QByteArray("08\r"));
    m.handle("C01", 600'000);
    QCOMPARE(m.handle("CR0", 600'000).bytes, QByteArray("28\r"));
    QCOMPARE(m.handle("CR0", 600'000 + kCooling).bytes, QByteArray("88\r"));
    m.handle("C00", 700'000);  // a new start clears the warning
    QCOMPARE(m.handle("CR0", 700'000).bytes, QByteArray("40\r"));
    QCOMPARE(m.handle("CR0", 700'000 + kCountDown).bytes, QByteArray("00\r"));
}

void TestSimModel::settingsAreRemembered()
{
    OnModel p;
    QCOMPARE(p.send("CF LOGO USER"), kNakReply);  // nothing captured yet
    for (const char *code : {"C43", "C1C", "C3D", "C3D", "C10", "C13", "C26", "C34",
                             "CF FANSPEED MAX", "CF LOGOCAPTURE START", "CF LOGO USER",
                             "CF KEYDIS RC", "C09", "C21", "C30", "C8F", "C8A"})
        QCOMPARE(p.send(code), kAckReply);
    const State &s = p.model.state();
    QVERIFY(s.freeze);
    QCOMPARE(s.menu, Menu::Main);
    QCOMPARE(s.menuRow, 2);
    QCOMPARE(s.avSize, AvSize::Wide);
    QCOMPARE(s.imageMode, 3);
    QCOMPARE(s.signalType[1], SignalType::Scart);
    QCOMPARE(s.signalType[2], SignalType::SVideo);
    QCOMPARE(s.fan, FanSpeed::Max);
    QCOMPARE(s.logo, Logo::User);
    QCOMPARE(s.keyLock, KeyLock::RemoteControl);
    QCOMPARE(s.volume, 17);
    QCOMPARE(s.brightness, 31);
    QCOMPARE(s.zoom, 1);
    QCOMPARE(s.keystone, -1);
    QVERIFY(s.presentationTimer);

    p.send("C19");
    p.send("C27");  // the IMAGE key steps on and wraps round
    QCOMPARE(p.model.state().imageMode, 1);

    p.send("C01");  // what lives on screen goes with the picture; settings stay
    QVERIFY(!p.model.state().freeze);
    QCOMPARE(p.model.state().menu, Menu::Closed);
    QCOMPARE(p.model.state().fan, FanSpeed::Max);
    QCOMPARE(p.model.state().keyLock, KeyLock::RemoteControl);
}

void TestSimModel::configuredReads()
{
    ModelConfig config = quickConfig();
    config.pressureCount = 512;
    config.orientation = Orientation::LeftRight;
    config.lampMode = LampMode::SingleNo2;
    ProjectorModel m(config, 0);
    QCOMPARE(m.handle("CR PRESSURE", 0).bytes, QByteArray("0512\r"));
    QCOMPARE(m.handle("CR4", 0).bytes, QByteArray("01\r"));
    QCOMPARE(m.handle("CR7", 0).bytes, QByteArray("20\r"));
    m.handle("C00", 0);
    QCOMPARE(m.handle("CR7", 0).bytes, QByteArray("22\r"));
    QCOMPARE(m.handle("CR9", 0).bytes, ProjectorModel::identification() + '\r');

    ProjectorModel defaults(ModelConfig{}, 0);
    QCOMPARE(defaults.handle("CR4", 0).bytes, QByteArray("11\r"));
    QCOMPARE(defaults.handle("CR PRESSURE", 0).bytes, QByteArray("0853\r"));
}

void TestSimModel::everyPanelCodeIsKnown()
{
    QList<QByteArray> codes;
    for (const auto &row : qm25::clickCommands())
        codes << QByteArray(row.code);
    for (const auto &row : qm25::repeatCommands())
        codes << QByteArray(row.code);
    for (const char *query : qm25::statusQueries())
        codes << QByteArray(query);
    QVERIFY(codes.size() > 60);

    for (const QByteArray &code : codes) {
        ProjectorModel off(quickConfig(), 0);
        const Reply inStandby = off.handle(code, 0);
        OnModel on;
        const Reply whenOn = on.model.handle(code, on.now);
        for (const Reply &reply : {inStandby, whenOn}) {
            QVERIFY2(reply.kind != Reply::Kind::Unknown, code.constData());
            if (reply.kind == Reply::Kind::Ack)
                QCOMPARE(reply.bytes, kAckReply);
            else if (reply.kind == Reply::Kind::Refused)
                QCOMPARE(reply.bytes, kNakReply);
            else
                QVERIFY2(code.startsWith("CR") && reply.bytes.endsWith('\r')
                             && !reply.bytes.contains('\x06') && !reply.bytes.contains('\x15'),
                         code.constData());
        }
        // Only a user logo that was never captured is refused while on.
        if (code != "CF LOGO USER")
            QVERIFY2(whenOn.kind != Reply::Kind::Refused, code.constData());
    }
}

void TestSimModel::unknownCodes_data()
{
    QTest::addColumn<QByteArray>("frame");
    for (const char *frame : {"", "C02", "C0b", "c00", "C000", "C0", "CR2", "CR8", "cr0", "CR0 ",
                              "CR PRESS", "CF LOGO", "CF FANSPEED  MAX", "CF FANSPEED MIN", "XYZ"})
        QTest::newRow(frame[0] ? frame : "empty") << QByteArray(frame);
}

void TestSimModel::unknownCodes()
{
    QFETCH(QByteArray, frame);
    for (bool switchOff : {false, true}) {
        OnModel p;
        if (switchOff)
            p.send("C01");
        const State before = p.model.state();
        const Reply reply = p.model.handle(frame, p.now);
        QCOMPARE(reply.kind, Reply::Kind::Unknown);
        QCOMPARE(reply.bytes, kErrReply);
        QVERIFY(p.model.state() == before);
    }
}

void TestSimModel::panelDecodesReplies_data()
{
    QTest::addColumn<QByteArrayList>("setup");
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QString>("shown");
    const QByteArrayList none;
    QTest::newRow("stand-by") << none << QByteArray("CR0") << " Stand by";
    QTest::newRow("count-down") << QByteArrayList{"C00"} << QByteArray("CR0") << " Count down";
    QTest::newRow("video input") << QByteArrayList{"C00", "wait", "C07"} << QByteArray("CR1") << " Video";
    QTest::newRow("audio mute") << QByteArrayList{"C00", "wait", "C0B"} << QByteArray("CRA")
                                << " Audio mute ON";
    QTest::newRow("mute stand-by") << none << QByteArray("CRA") << " Stand by";
    QTest::newRow("orientation") << none << QByteArray("CR4") << " Normally";
    QTest::newRow("lamp mode") << QByteArrayList{"C00"} << QByteArray("CR7") << " No1,2 ON  : 2 Lamp mode";
    QTest::newRow("lamp hours") << none << QByteArray("CR3") << " 0 0 0 0 0 CR  Hour Use";
    QTest::newRow("temperatures") << none << QByteArray("CR6")
                                  << "  S1= 0 2 5 . 0 C  ,   S2=  2 5 . 0 C , S3= 0 2 5 . 0 C";
    QTest::newRow("pressure") << none << QByteArray("CR PRESSURE") << "1013 hPa";
}

// The replies read back through the panel's own rendering and decoding.
void TestSimModel::panelDecodesReplies()
{
    QFETCH(QByteArrayList, setup);
    QFETCH(QByteArray, query);
    QFETCH(QString, shown);
    ProjectorModel m(quickConfig(), 0);
    qint64 now = 0;
    for (const QByteArray &step : setup) {
        if (step == "wait")
            now += kCountDown;
        else
            m.handle(step, now);
    }
    const QString rendered = qm25::renderText(QString::fromLatin1(m.handle(query, now).bytes));
    const QString sent = QString::fromLatin1(query) + QLatin1Char('\r');
    const auto decoded = qm25::decodeStatus(rendered, sent, QString()).status;
    QCOMPARE(decoded.value_or(QStringLiteral("<nothing decoded>")), shown);
}

void TestSimModel::assemblerSplitsAndJoins()
{
    FrameAssembler a;
    QVERIFY(a.feed("C").frames.isEmpty());
    QVERIFY(a.feed("R0").frames.isEmpty());
    QCOMPARE(a.pending(), 3);
    auto out = a.feed("\rC0");
    QCOMPARE(out.frames, QByteArrayList{"CR0"});
    QCOMPARE(a.pending(), 2);
    out = a.feed("0\r\nCR1\r\rCF LOGO\n OFF\r");
    QCOMPARE(out.frames, (QByteArrayList{"C00", "CR1", "", "CF LOGO OFF"}));
    QCOMPARE(out.discarded, 0);
    QCOMPARE(a.pending(), 0);
}

void TestSimModel::assemblerBoundsGarbage()
{
    FrameAssembler a(8);
    auto out = a.feed(QByteArray(20, 'x'));
    QVERIFY(out.frames.isEmpty());
    QCOMPARE(out.discarded, 20);
    QCOMPARE(a.pending(), 0);
    // The overlong line is dropped up to its CR; the next line is a frame again.
    out = a.feed("yy\rCR0\r");
    QCOMPARE(out.discarded, 2);
    QCOMPARE(out.frames, QByteArrayList{"CR0"});
    // A frame of exactly the limit still passes.
    QCOMPARE(a.feed("12345678\r").frames, QByteArrayList{"12345678"});

    FrameAssembler big;
    qsizetype discarded = 0;
    for (int i = 0; i < 100; ++i) {
        discarded += big.feed(QByteArray(1000, '\x7f')).discarded;
        QVERIFY(big.pending() <= FrameAssembler::kDefaultLimit);
    }
    QCOMPARE(discarded, 100'000);
    QCOMPARE(big.feed("\rCR0\r").frames, QByteArrayList{"CR0"});
}

QTEST_APPLESS_MAIN(TestSimModel)
#include "test_sim_model.moc"
