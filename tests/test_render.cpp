#include "commands/render.h"

#include <QTest>

using qm25::kMaxRenderedChars;
using qm25::renderText;

namespace {

QString fromCode(char16_t code) { return QString(QChar(code)); }

// Piece of a single character, as rendered after the leading blank.
QString pieceOf(char16_t code) { return renderText(fromCode(code)).sliced(1); }

}  // namespace

class TestRender : public QObject {
    Q_OBJECT

private slots:
    void singleCharacter_data();
    void singleCharacter();
    void layout_data();
    void layout();
    void everyCodeUnit();
    void wholeRangeConcatenatesPieces();
    void longTextIsCut();
    void viewIsNotReadPastItsEnd();
};

void TestRender::singleCharacter_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("rendered");

    // The named control codes.
    QTest::newRow("ACK") << 6 << " ACK ";
    QTest::newRow("code 20") << 20 << " &";
    QTest::newRow("CR") << 13 << " CR ";
    QTest::newRow("LF") << 10 << " LF ";
    // Other control codes (all of them are checked in everyCodeUnit).
    QTest::newRow("NUL") << 0 << " ? ";
    QTest::newRow("code 31") << 31 << " ? ";
    // Blank up to 'z'.
    QTest::newRow("blank") << 32 << "   ";
    QTest::newRow("0") << int('0') << " 0 ";
    QTest::newRow("z") << int('z') << " z ";
    // Above 'z'.
    QTest::newRow("{") << int('{') << " ? ";
    QTest::newRow("|") << int('|') << " ? ";
    QTest::newRow("DEL") << 127 << " ? ";
    // 'A' + 256: must not be cut to 8 bits.
    QTest::newRow("code 321") << 0x141 << " ? ";
    QTest::newRow("lone surrogate") << 0xD800 << " ? ";
    QTest::newRow("code 65535") << 0xFFFF << " ? ";
}

void TestRender::singleCharacter()
{
    QFETCH(int, code);
    QFETCH(QString, rendered);
    QCOMPARE(renderText(fromCode(char16_t(code))), rendered);
}

void TestRender::layout_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("rendered");

    QTest::newRow("empty") << QString() << " ";
    QTest::newRow("command frame") << "C00\r" << " C 0 0 CR ";
    QTest::newRow("reply") << "00\r" << " 0 0 CR ";
    QTest::newRow("first piece of a split reply") << "0" << " 0 ";
    QTest::newRow("ACK alone") << "\x06" << " ACK ";
    QTest::newRow("two ACKs") << "\x06\x06" << " ACK ACK ";
    QTest::newRow("blanks in a command") << "CF LOGO OFF\r" << " C F   L O G O   O F F CR ";
    QTest::newRow("code 20 has no blank") << "\x14" "1\r" << " &1 CR ";
    QTest::newRow("CR LF") << "OK\r\n" << " O K CR LF ";
    QTest::newRow("above z") << "z{|}~\x7f" << " z ? ? ? ? ? ";
    QTest::newRow("mixed") << "a\x06" "b\x14" "c\x01" << " a ACK b &c ? ";
}

void TestRender::layout()
{
    QFETCH(QString, text);
    QFETCH(QString, rendered);
    QCOMPARE(renderText(text), rendered);
}

// Every 16-bit code renders. Apart from the four named control codes
// (checked above), codes from blank to 'z' show as themselves and all
// others as '?'.
void TestRender::everyCodeUnit()
{
    for (int code = 0; code <= 0xFFFF; ++code) {
        const auto c = char16_t(code);
        const QString out = renderText(fromCode(c));
        QVERIFY2(out.size() <= 5 && out.startsWith(u' '), qPrintable(QString::number(code)));
        if (code == 6 || code == 10 || code == 13 || code == 20)
            continue;

        const QChar shown = (code >= 32 && code <= 122) ? QChar(c) : QChar(u'?');
        if (out.size() != 3 || out[1] != shown || out[2] != u' ')
            QFAIL(qPrintable(QStringLiteral("code %1 renders as \"%2\"").arg(code).arg(out)));
    }
}

// Rendering a run of characters gives the pieces of its characters in
// order, whatever stands next to them.
void TestRender::wholeRangeConcatenatesPieces()
{
    QString all(0x10000, Qt::Uninitialized);
    for (int code = 0; code <= 0xFFFF; ++code)
        all[code] = QChar(char16_t(code));

    for (qsizetype from = 0; from < all.size(); from += kMaxRenderedChars) {
        const QStringView chunk = QStringView(all).sliced(from, std::min(kMaxRenderedChars, all.size() - from));
        const QString out = renderText(chunk);
        QVERIFY(out.size() <= 4 * chunk.size() + 1);

        QString expected(u' ');
        for (QChar c : chunk)
            expected += pieceOf(c.unicode());
        QCOMPARE(out, expected);
    }
}

void TestRender::longTextIsCut()
{
    // Exactly at the limit: everything is shown.
    const QString atLimit = QString(kMaxRenderedChars - 1, u'A') + u'B';
    const QString full = renderText(atLimit);
    QCOMPARE(full.size(), 1 + 2 * kMaxRenderedChars);
    QVERIFY(full.endsWith(u"A B "));

    // One more character is dropped.
    const QString beyond = renderText(QString(kMaxRenderedChars, u'A') + u'B');
    QCOMPARE(beyond.size(), 1 + 2 * kMaxRenderedChars);
    QVERIFY(!beyond.contains(u'B'));

    // The widest pieces at the limit.
    const QString acks = renderText(QString(kMaxRenderedChars + 100, QChar(6)));
    QCOMPARE(acks.size(), 1 + 4 * kMaxRenderedChars);
    QVERIFY(acks.endsWith(u"ACK ACK "));
}

void TestRender::viewIsNotReadPastItsEnd()
{
    const QString buffer = QStringLiteral("C00\rXYZ");
    QCOMPARE(renderText(QStringView(buffer).first(4)), QStringLiteral(" C 0 0 CR "));
}

QTEST_APPLESS_MAIN(TestRender)
#include "test_render.moc"
