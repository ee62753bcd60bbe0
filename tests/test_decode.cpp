#include "commands/render.h"
#include "replies/status_decode.h"

#include <QTest>

#include <cmath>

using qm25::decodeStatus;
using qm25::kPressureOutOfRange;
using qm25::renderText;
using qm25::StatusDecode;

namespace {

// Decodes a raw reply the way reply mode does: rendered first, with the
// query sent as a frame without prefix.
StatusDecode decodeReply(const QString &query, const QString &reply)
{
    return decodeStatus(renderText(reply), query + u'\r', QString());
}

}  // namespace

class TestDecode : public QObject {
    Q_OBJECT

private slots:
    void tables_data();
    void tables();
    void lampHours_data();
    void lampHours();
    void temperatures_data();
    void temperatures();
    void copy_data();
    void copy();
    void pressure_data();
    void pressure();
    void pressureOutOfRange_data();
    void pressureOutOfRange();
    void queryRecognition_data();
    void queryRecognition();
    void readLeadingNumber_data();
    void readLeadingNumber();
    void readLeadingNumberBeyondDouble();
    void roundHalfEven_data();
    void roundHalfEven();
};

void TestDecode::tables_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("decoded");
    QTest::addColumn<QString>("status");

    const auto row = [](const char *name, const char *query, const char *reply, const char *status) {
        QTest::newRow(name) << QString::fromLatin1(query) << QString::fromLatin1(reply) << true
                            << QString::fromLatin1(status);
    };
    const auto none = [](const char *name, const char *query, const char *reply) {
        QTest::newRow(name) << QString::fromLatin1(query) << QString::fromLatin1(reply) << false
                            << QString();
    };

    row("power first", "CR0", "00\r", " Power ON");
    row("power no key input", "CR0", "02\r", " NO Key input ");
    row("power 24", "CR0", "24\r", "Cooling down  PWR Management");
    row("power 88", "CR0", "88\r", " Temperature Warning and recoverd");
    row("power last", "CR0", "81\r", " Cooling down & sutandby (All Lamp FAIL)");
    none("power unknown", "CR0", "99\r");
    none("power one character so far", "CR0", "0");
    none("power empty buffer", "CR0", "");
    none("power stale character in front", "CR0", "X00\r");

    row("input first", "CR1", "1\r", " Computer 1");
    row("input second character ignored", "CR1", "12\r", " Computer 1");
    row("input last", "CR1", "4\r", " Input mode 4");
    none("input unknown", "CR1", "5\r");
    none("input empty buffer", "CR1", "");

    row("orientation first", "CR4", "11\r", " Normally");
    row("orientation last", "CR4", "00\r", " Top/Bottom , Left/Right reversal");
    none("orientation unknown", "CR4", "22\r");

    row("mute first", "CRA", "00\r", " Video & Audio mute OFF");
    row("mute no signal", "CRA", "80\r", " No signal");
    row("mute last", "CRA", "FF\r", " Stand by");
    none("mute lower-case hex", "CRA", "ff\r");

    row("lamp first", "CR7", "00\r", " All OFF : 2 Lamp mode");
    row("lamp both on", "CR7", "03\r", " No1,2 ON  : 2 Lamp mode");
    row("lamp last", "CR7", "22\r", " No2 ON  : 1 Lamp mode(No2 USE)");
    none("lamp unknown", "CR7", "12\r");
}

void TestDecode::tables()
{
    QFETCH(QString, query);
    QFETCH(QString, reply);
    QFETCH(bool, decoded);
    QFETCH(QString, status);

    const StatusDecode result = decodeReply(query, reply);
    QCOMPARE(result.status.has_value(), decoded);
    if (decoded)
        QCOMPARE(*result.status, status);
    QVERIFY(!result.pressureValue);
}

void TestDecode::lampHours_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("status");

    QTest::newRow("short") << "12345\r" << " 1 2 3 4 5 CR  Hour Use";
    QTest::newRow("empty buffer") << "" << "  Hour Use";
    // 38 rendered characters reach the 19th reply character.
    QTest::newRow("cut after 38") << "0123456789012345678901\r"
                                  << " 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 Hour Use";
}

void TestDecode::lampHours()
{
    QFETCH(QString, reply);
    QFETCH(QString, status);
    const StatusDecode result = decodeReply(QStringLiteral("CR3"), reply);
    QVERIFY(result.status);
    QCOMPARE(*result.status, status);
}

void TestDecode::temperatures_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("status");

    QTest::newRow("full") << "0123456789ABCDEFGH\r"
                          << "  S1= 0 1 2 3 4 C  ,   S2=  7 8 9 A C , S3= C D E F G C";
    QTest::newRow("short") << "123\r" << "  S1= 1 2 3 CR  C  ,   S2=  C , S3= C";
    QTest::newRow("empty buffer") << "" << "  S1=  C  ,   S2=  C , S3= C";
    // Rendered text of 24 characters: S2 cut short, S3 empty.
    QTest::newRow("ends inside S2") << "0123456789\r"
                                    << "  S1= 0 1 2 3 4 C  ,   S2=  7 8 9 C C , S3= C";
    // Rendered text of 25 characters: S3 is its last character.
    QTest::newRow("one character of S3") << "0123456789AB"
                                          << "  S1= 0 1 2 3 4 C  ,   S2=  7 8 9 A C , S3=  C";
}

void TestDecode::temperatures()
{
    QFETCH(QString, reply);
    QFETCH(QString, status);
    const StatusDecode result = decodeReply(QStringLiteral("CR6"), reply);
    QVERIFY(result.status);
    QCOMPARE(*result.status, status);
}

void TestDecode::copy_data()
{
    QTest::addColumn<QString>("reply");
    QTest::newRow("reply") << "0123\r";
    QTest::newRow("ACK") << "\x06";
    QTest::newRow("longer than any stretch") << "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
}

void TestDecode::copy()
{
    QFETCH(QString, reply);
    const QString rendered = renderText(reply);
    const StatusDecode result = decodeStatus(rendered, QStringLiteral("CR9\r"), QString());
    QVERIFY(result.status);
    QCOMPARE(*result.status, rendered);
}

void TestDecode::pressure_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<int>("hPa");

    QTest::newRow("512") << "0512\r" << 650;
    QTest::newRow("0") << "0\r" << 106;
    QTest::newRow("1023") << "1023\r" << 1194;
    QTest::newRow("no number") << "\x06" << 106;
    QTest::newRow("empty buffer") << "" << 106;
    QTest::newRow("negative") << "-1000\r" << -958;
    QTest::newRow("exponent") << "1E3\r" << 1169;
    // 2.5 goes to 2 (108), not 3 (109); 3.5 to 4 (110), not 3 (109).
    QTest::newRow("2.5 to even") << "2.5\r" << 108;
    QTest::newRow("3.5 to even") << "3.5\r" << 110;
    QTest::newRow("-2.5 to even") << "-2.5\r" << 103;
    // Largest counts whose fivefold fits 16 bits.
    QTest::newRow("6553") << "6553\r" << 7077;
    QTest::newRow("-6553") << "-6553\r" << -6865;
}

void TestDecode::pressure()
{
    QFETCH(QString, reply);
    QFETCH(int, hPa);

    const StatusDecode result = decodeReply(QStringLiteral("CR PRESSURE"), reply);
    QVERIFY(result.status);
    QCOMPARE(*result.status, QString::number(hPa) + QStringLiteral(" hPa"));
    QVERIFY(result.pressureValue);
    QCOMPARE(int(*result.pressureValue), hPa);
}

void TestDecode::pressureOutOfRange_data()
{
    QTest::addColumn<QString>("reply");

    QTest::newRow("above 16 bits") << "40000\r";
    QTest::newRow("rounds up past 32767") << "32767.5\r";
    QTest::newRow("fivefold overflows") << "7000\r";
    QTest::newRow("first fivefold overflow") << "6554\r";
    QTest::newRow("first negative fivefold overflow") << "-6554\r";
    QTest::newRow("negative fivefold") << "-7000\r";
    QTest::newRow("smallest 16-bit value") << "-32768\r";
    QTest::newRow("large exponent") << "1E30\r";
    QTest::newRow("beyond double") << "1E99999\r";
    QTest::newRow("negative beyond double") << "-1D99999\r";
}

void TestDecode::pressureOutOfRange()
{
    QFETCH(QString, reply);
    const StatusDecode result = decodeReply(QStringLiteral("CR PRESSURE"), reply);
    QVERIFY(result.status);
    QCOMPARE(*result.status, kPressureOutOfRange);
    QVERIFY(!result.pressureValue);
}

// Only sendText == prefix & query & CR selects a query.
void TestDecode::queryRecognition_data()
{
    QTest::addColumn<QString>("sendText");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("status");  // null: nothing decoded

    QTest::newRow("status query") << "CR0\r" << QString() << " Power ON";
    QTest::newRow("lower case") << "cr0\r" << QString() << QString();
    QTest::newRow("trailing blank") << "CR0 \r" << QString() << QString();
    QTest::newRow("leading blank") << " CR0\r" << QString() << QString();
    QTest::newRow("no CR") << "CR0" << QString() << QString();
    QTest::newRow("LF instead of CR") << "CR0\n" << QString() << QString();
    QTest::newRow("CR LF") << "CR0\r\n" << QString() << QString();
    QTest::newRow("longer code") << "CR00\r" << QString() << QString();
    QTest::newRow("other command") << "C00\r" << QString() << QString();
    QTest::newRow("empty") << "" << QString() << QString();
    QTest::newRow("with prefix") << "@CR0\r" << "@" << " Power ON";
    QTest::newRow("prefix missing") << "CR0\r" << "@" << QString();
    QTest::newRow("other prefix") << "#CR0\r" << "@" << QString();
    QTest::newRow("prefix not expected") << "@CR0\r" << QString() << QString();
    QTest::newRow("pressure") << "CR PRESSURE\r" << QString() << "106 hPa";
    QTest::newRow("pressure lower case") << "CR pressure\r" << QString() << QString();
    QTest::newRow("pressure two blanks") << "CR  PRESSURE\r" << QString() << QString();
}

void TestDecode::queryRecognition()
{
    QFETCH(QString, sendText);
    QFETCH(QString, prefix);
    QFETCH(QString, status);

    const StatusDecode result = decodeStatus(renderText(QStringLiteral("00\r")), sendText, prefix);
    if (status.isNull()) {
        QVERIFY(!result.status);
        QVERIFY(!result.pressureValue);
    } else {
        QVERIFY(result.status);
        QCOMPARE(*result.status, status);
    }
}

void TestDecode::readLeadingNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");

    QTest::newRow("rendered reply") << " 0 5 1 2 CR " << 512.0;
    QTest::newRow("sign, point, exponent") << "  -1.5E2" << -150.0;
    QTest::newRow("D exponent") << "1D2" << 100.0;
    QTest::newRow("lower-case exponent") << "1e2" << 100.0;
    QTest::newRow("lower-case d, negative exponent") << "25d-2" << 0.25;
    QTest::newRow("tabs and line feeds") << "\t\n 4 2" << 42.0;
    QTest::newRow("blanks inside exponent") << "1 E + 2" << 100.0;
    QTest::newRow("plus, no integer part") << "+.5" << 0.5;
    QTest::newRow("trailing point") << "7." << 7.0;
    QTest::newRow("second point ends") << "1.2.3" << 1.2;
    QTest::newRow("letters") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("point only") << " . " << 0.0;
    QTest::newRow("sign only") << "-" << 0.0;
    QTest::newRow("two signs") << "+-5" << 0.0;
    QTest::newRow("CR is not skipped") << "\r5" << 0.0;
    QTest::newRow("ACK rendered") << " ACK " << 0.0;
    QTest::newRow("exponent letter alone") << "1E" << 1.0;
    QTest::newRow("exponent sign alone") << "1E+" << 1.0;
    QTest::newRow("exponent letter then text") << "3DX" << 3.0;
    QTest::newRow("long exponent") << "1E0000000000000000000000002" << 100.0;
    QTest::newRow("below double") << "1E-99999" << 0.0;
    QTest::newRow("many zeros below double") << "0.0000001E-400" << 0.0;
}

void TestDecode::readLeadingNumber()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(qm25::readLeadingNumber(text), value);
}

void TestDecode::readLeadingNumberBeyondDouble()
{
    const double huge = qm25::readLeadingNumber(u"1E99999");
    QVERIFY(std::isinf(huge) && huge > 0);

    const double negative = qm25::readLeadingNumber(u"-1E99999");
    QVERIFY(std::isinf(negative) && negative < 0);

    // 1 followed by 400 zeros: the digits alone exceed a double.
    const double digits = qm25::readLeadingNumber(QStringLiteral("1") + QString(400, u'0'));
    QVERIFY(std::isinf(digits));

    // Leading zeros do not count towards the size.
    QCOMPARE(qm25::readLeadingNumber(QString(400, u'0') + QStringLiteral("1E300")), 1e300);
}

void TestDecode::roundHalfEven_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("rounded");

    QTest::newRow("0.5") << 0.5 << 0.0;
    QTest::newRow("1.5") << 1.5 << 2.0;
    QTest::newRow("2.5") << 2.5 << 2.0;
    QTest::newRow("3.5") << 3.5 << 4.0;
    QTest::newRow("-0.5") << -0.5 << 0.0;
    QTest::newRow("-1.5") << -1.5 << -2.0;
    QTest::newRow("-2.5") << -2.5 << -2.0;
    QTest::newRow("just below half") << 2.4999999 << 2.0;
    QTest::newRow("just above half") << 2.5000001 << 3.0;
    QTest::newRow("negative above half") << -2.6 << -3.0;
    QTest::newRow("whole") << 7.0 << 7.0;
    QTest::newRow("beyond 2^52") << 4503599627370497.0 << 4503599627370497.0;
}

void TestDecode::roundHalfEven()
{
    QFETCH(double, value);
    QFETCH(double, rounded);
    QCOMPARE(qm25::roundHalfEven(value), rounded);
}

QTEST_APPLESS_MAIN(TestDecode)
#include "test_decode.moc"
