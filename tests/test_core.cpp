// The core on its own: the catalogue, rendering, status values and the
// STATUS line, line settings and the interval timer.
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>
#include <cmath>

#include "core/interval_timer.h"
#include "core/line_settings.h"
#include "core/render.h"
#include "core/status.h"

using namespace qm25;

namespace {

// The STATUS line for a raw reply to the status read with this code, as the
// engine makes it: nothing where the line keeps its text.
std::optional<QString> lineFor(const QString &code, const QString &reply)
{
    const CommandRow *read = statusReadOfFrame(code + u'\r');
    return read ? statusLine(read->reading, reply, renderText(reply)) : std::nullopt;
}

QJsonObject valueFor(const QString &code, const QString &reply)
{
    const auto value = readStatus(statusReadOfFrame(code + u'\r')->reading, reply);
    return value ? toJson(*value) : QJsonObject();
}

}  // namespace

class CoreTest : public QObject {
    Q_OBJECT
private slots:
    // --- rendering ------------------------------------------------------------
    void rendering_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("rendered");
        QTest::newRow("empty") << QString() << " ";
        QTest::newRow("command frame") << "C00\r" << " C 0 0 CR ";
        QTest::newRow("ACK alone") << "\x06" << " ACK ";
        QTest::newRow("blanks in a command") << "CF LOGO OFF\r" << " C F   L O G O   O F F CR ";
        QTest::newRow("code 20 has no blank") << "\x14" "1\r" << " &1 CR ";
        QTest::newRow("CR LF") << "OK\r\n" << " O K CR LF ";
        QTest::newRow("edges of the shown range") << QStringLiteral("\x1f z{|}~\x7f") << " ?   z ? ? ? ? ? ";
        QTest::newRow("NUL and beyond 8 bits") << QStringLiteral("%1A\u0141\uffff").arg(QChar(0)) << " ? A ? ? ";
    }
    void rendering()
    {
        QFETCH(QString, text);
        QFETCH(QString, rendered);
        QCOMPARE(renderText(text), rendered);
        // A view ends where it ends, whatever follows it in memory.
        const QString longer = text + QStringLiteral("XYZ");
        QCOMPARE(renderText(QStringView(longer).first(text.size())), rendered);
    }

    // --- the catalogue -----------------------------------------------------------
    void catalogueRowsAreWholeAndUnique()
    {
        QSet<QString> names, codes;
        for (const CommandRow &row : commands()) {
            const QString name = latin1(row.name);
            const QString code = latin1(row.code);
            QVERIFY2(!names.contains(name) && !codes.contains(code), qPrintable(name));
            names.insert(name);
            codes.insert(code);
            QCOMPARE(commandNamed(name), &row);
            // A status read is read as one; the rest are acknowledged.
            QCOMPARE(row.reading == Reading::Acknowledgement, !row.isStatusRead());
            QCOMPARE(statusReadOfFrame(code + u'\r'), row.isStatusRead() ? &row : nullptr);
        }
        QVERIFY(!commandNamed(u"power of") && !statusReadOfFrame(u"CR0") && !statusReadOfFrame(u"cr0\r"));
        QCOMPARE(command("power on").leadsTo, PowerPhase::On);
        QCOMPARE(command("power off").leadsTo, PowerPhase::Standby);
    }

    // --- status: the STATUS line and the typed values -------------------------------
    void statusLine_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("status");  // null: the line keeps its text
        const auto row = [](const char *code, const char *reply, const char *status) {
            QTest::addRow("%s %s", code, QByteArray(reply).replace('\r', "").constData())
                << QString::fromLatin1(code) << QString::fromLatin1(reply)
                << (status ? QString::fromLatin1(status) : QString());
        };
        // A row of each table (each table whole is the fuzz target's
        // oracle), and replies that match none.
        row("CR0", "24\r", "Cooling down  PWR Management");
        row("CR0", "99\r", nullptr);
        row("CR0", "09\r", nullptr);  // a power state, but no row of the table
        row("CR0", "0", nullptr);      // one character is no key yet
        row("CR0", "X00\r", nullptr);  // a stale character in front
        row("CR1", "12\r", " Computer 1");  // only the first character counts
        row("CR1", "5\r", nullptr);
        row("CR4", "00\r", " Top/Bottom , Left/Right reversal");
        row("CRA", "FF\r", " Stand by");
        row("CRA", "ff\r", nullptr);
        row("CR7", "03\r", " No1,2 ON  : 2 Lamp mode");
        row("CR3", "12345\r", " 1 2 3 4 5 CR  Hour Use");
        row("CR3", "0123456789012345678901\r", " 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 Hour Use");
        row("CR6", "0123456789ABCDEFGH\r", "  S1= 0 1 2 3 4 C  ,   S2=  7 8 9 A C , S3= C D E F G C");
        row("CR6", "123\r", "  S1= 1 2 3 CR  C  ,   S2=  C , S3= C");
        row("CR9", "0123\r", " 0 1 2 3 CR ");
    }
    void statusLine()
    {
        QFETCH(QString, code);
        QFETCH(QString, reply);
        QFETCH(QString, status);
        const auto line = lineFor(code, reply);
        QCOMPARE(line.has_value(), !status.isNull());
        if (line)
            QCOMPARE(*line, status);
    }

    void statusValues_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("json");  // empty: no value
        QTest::addColumn<QString>("plain");
        const auto row = [](const char *code, const char *reply, const char *json, const char *plain) {
            QTest::addRow("%s %s", code, QByteArray(reply).replace('\r', "").constData())
                << QString::fromLatin1(code) << QString::fromLatin1(reply) << QString::fromLatin1(json)
                << QString::fromUtf8(plain);
        };
        row("CR0", "80\r", R"({"state":"standby","code":"80","temperature_warning":false,"power_management":false,"no_key_input":false,"all_lamps_failed":false})", "Stand by");
        row("CR0", "28\r", R"({"state":"cooling","code":"28","temperature_warning":true,"power_management":false,"no_key_input":false,"all_lamps_failed":false})", "Temperature Warning & cooling down");
        row("CR0", "09\r", R"({"state":"on","code":"09","temperature_warning":true,"power_management":false,"no_key_input":false,"all_lamps_failed":true})", "on");
        row("CR0", "x0\r", "", "");
        row("CR1", "3\r", R"({"input":3,"name":"Video"})", "Video");
        row("CR3", "00042\r", R"({"hours":42})", "42 h");
        row("CR3", "4 2\r", "", "");
        row("CR4", "10\r", R"({"orientation":"top-bottom-reversed"})", "Top/Bottom reversal");
        row("CR6", "065.0  42.5 027.0\r", R"({"celsius":[65,42.5,27]})", "65.0 / 42.5 / 27.0 °C");
        row("CR6", "065.0  4x.5 027.0\r", "", "");
        row("CR6", "065.0\r", "", "");
        row("CRA", "02\r", R"({"state":"audio-mute","video_mute":false,"audio_mute":true,"signal":true})", "Audio mute ON");
        row("CRA", "80\r", R"({"state":"no-signal","video_mute":null,"audio_mute":null,"signal":false})", "No signal");
        row("CR7", "22\r", R"({"mode":"lamp-2","lit":[false,true]})", "No2 ON  : 1 Lamp mode(No2 USE)");
        row("CR9", "QM25 1.40\r", R"({"text":"QM25 1.40"})", "QM25 1.40");
        row("CR9", "\r", "", "");
        row("CR PRESSURE", "0853\r", R"({"hpa":1013})", "1013 hPa");
        row("CR PRESSURE", "6554\r", "", "");
    }
    void statusValues()
    {
        QFETCH(QString, code);
        QFETCH(QString, reply);
        QFETCH(QString, json);
        QFETCH(QString, plain);
        const auto value = readStatus(statusReadOfFrame(code + u'\r')->reading, reply);
        QCOMPARE(value.has_value(), !json.isEmpty());
        if (!value)
            return;
        QCOMPARE(toJson(*value), QJsonDocument::fromJson(json.toUtf8()).object());
        QCOMPARE(plainText(*value), plain);
    }

    void pressure_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<int>("hPa");  // INT_MIN: out of range
        QTest::newRow("512") << "0512\r" << 650;
        QTest::newRow("0") << "0\r" << 106;
        QTest::newRow("no number") << "\x06" << 106;
        QTest::newRow("negative") << "-1000\r" << -958;
        QTest::newRow("2.5 to even") << "2.5\r" << 108;
        QTest::newRow("3.5 to even") << "3.5\r" << 110;
        QTest::newRow("6553") << "6553\r" << 7077;
        QTest::newRow("-6553") << "-6553\r" << -6865;
        QTest::newRow("6554") << "6554\r" << INT_MIN;
        QTest::newRow("-6554") << "-6554\r" << INT_MIN;
        QTest::newRow("above 16 bits") << "40000\r" << INT_MIN;
        QTest::newRow("rounds past 32767") << "32767.5\r" << INT_MIN;
        QTest::newRow("beyond double") << "1E99999\r" << INT_MIN;
    }
    void pressure()
    {
        QFETCH(QString, reply);
        QFETCH(int, hPa);
        const auto line = lineFor(QStringLiteral("CR PRESSURE"), reply);
        QCOMPARE(line.value_or(QString()), hPa == INT_MIN ? kPressureOutOfRange : QString::number(hPa) + QStringLiteral(" hPa"));
        QCOMPARE(valueFor(QStringLiteral("CR PRESSURE"), reply), (hPa == INT_MIN ? QJsonObject() : QJsonObject{{"hpa", hPa}}));
    }

    void readLeadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("rendered reply") << " 0 5 1 2 CR " << 512.0;
        QTest::newRow("sign, point, exponent") << "  -1.5E2" << -150.0;
        QTest::newRow("lower-case d, negative exponent") << "25d-2" << 0.25;
        QTest::newRow("tabs and line feeds") << "\t\n 4 2" << 42.0;
        QTest::newRow("blanks inside exponent") << "1 E + 2" << 100.0;
        QTest::newRow("CR is not skipped") << "\r5" << 0.0;
        QTest::newRow("leading zeros do not count") << QString(400, u'0') + "1E300" << 1e300;
    }
    void readLeadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(qm25::readLeadingNumber(text), value);
        QVERIFY(std::isinf(qm25::readLeadingNumber(QStringLiteral("1") + QString(400, u'0'))));
        QVERIFY(qm25::readLeadingNumber(u"-1E99999") < -1e308);
    }

    // --- line settings -------------------------------------------------------------
    void lineSettingsAreParsed()
    {
        QString why;
        const auto s = parseCommSettings(QStringLiteral("9600,n,7,2"), &why);
        QVERIFY(s);
        QCOMPARE(s->baud, 9600);
        QCOMPARE(s->parity, 'N');
        QCOMPARE(s->dataBits, 7);
        QCOMPARE(s->stopBits10, 20);
        QCOMPARE(parseCommSettings(QStringLiteral("19200,E,8,1.5"))->stopBits10, 15);
        QCOMPARE(parseCommSettings(QStringLiteral("19200,N,8,1"))->stopBits10, 10);
        for (const char *bad : {"", "19200", "19200,N,8", "fast,N,8,1", "19200,X,8,1", "19200,N,9,1",
                                "19200,N,4,1", "19200,N,8,3", "49,N,8,1", "4000001,N,8,1"}) {
            QVERIFY2(!parseCommSettings(QLatin1String(bad), &why), bad);
            QVERIFY(why.startsWith(QLatin1String("Invalid line settings")));
        }
    }

    // --- the interval timer ------------------------------------------------------------
    void timerTicksUntilDisabledAndMakesNoLateTicksUp()
    {
        IntervalTimer t(20, nullptr);
        QSignalSpy ticks(&t, &IntervalTimer::tick);
        QTest::qWait(30);
        QCOMPARE(ticks.count(), 0);  // stopped until enabled
        t.setEnabled(true);
        QTest::qSleep(110);  // five periods without the event loop: one tick
        QCoreApplication::processEvents();
        QCOMPARE(ticks.count(), 1);
        QTRY_VERIFY(ticks.count() >= 3);
        const qsizetype seen = ticks.count();
        QTest::qSleep(30);  // a tick falls due while the loop is busy, then the stop
        t.setEnabled(false);
        QTest::qWait(50);
        QCOMPARE(ticks.count(), seen);
        QCOMPARE(t.remainingTime(), -1);
    }

    void enablingOrANewIntervalRestartsTheCount()
    {
        IntervalTimer t(10000, nullptr);
        QSignalSpy ticks(&t, &IntervalTimer::tick);
        t.setInterval(5);
        t.setEnabled(true);
        QTest::qSleep(20);
        t.setInterval(60000);  // a tick already due is dropped with the restart
        QCoreApplication::processEvents();
        QCOMPARE(ticks.count(), 0);
        QVERIFY(t.remainingTime() > 59000);
    }
};

QTEST_MAIN(CoreTest)
#include "test_core.moc"
