// Fault drills on the line itself, with the real window on a pseudo-terminal:
// a device that stays silent, answers half a reply or streams random bytes,
// and typed commands that are very long or hold characters beyond Latin-1.
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "commands/render.h"
#include "support/panel.h"
#include "support/pty.h"

using namespace qm25;
using namespace qm25::test;

namespace {

void click(Form1 &f, const char *name) { f.control<QPushButton>(QLatin1String(name))->click(); }

// A pseudo-terminal whose master end the test drives without blocking, so
// that the panel in this same process keeps running while bytes flow both
// ways.
class Line {
public:
    Line()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            path_ = QString::fromLocal8Bit(::ptsname(master_));
    }
    ~Line()
    {
        if (master_ >= 0)
            ::close(master_);
    }
    QString path() const { return path_; }

    // Writes as much of `bytes` from `offset` on as the line takes now.
    qsizetype writeSome(const QByteArray &bytes, qsizetype offset)
    {
        const ssize_t n = ::write(master_, bytes.constData() + offset, size_t(bytes.size() - offset));
        return n > 0 ? n : 0;
    }
    // Whatever the panel has put on the line so far.
    QByteArray readSome()
    {
        QByteArray got;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, n);
        }
        return got;
    }

private:
    int master_ = -1;
    QString path_;
};

// Runs the panel's event loop and collects what it sends until `done` holds
// or `timeoutMs` passed.
template <class Pred>
QByteArray collect(Line &line, Pred done, int timeoutMs)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (!done(got) && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        got += line.readSome();
        QTest::qSleep(1);
    }
    return got;
}

QByteArray collectUntilCr(Line &line, int timeoutMs = 10000)
{
    return collect(line, [](const QByteArray &g) { return g.contains('\r'); }, timeoutMs);
}

// 1 MiB in which every byte value occurs, the first 256 bytes holding each
// value once.
QByteArray randomStream()
{
    QByteArray bytes(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        bytes[i] = char(255 - i);
    QRandomGenerator gen(20250607);
    for (qsizetype i = 256; i < bytes.size(); ++i)
        bytes[i] = char(gen.bounded(256));
    return bytes;
}

std::unique_ptr<Panel> panelOn(const Line &line)
{
    qputenv("QM25_COM1", line.path().toLocal8Bit());
    auto p = makeRealPanel();
    p->form->show();
    return p;
}

}  // namespace

class LineFaultTest : public QObject {
    Q_OBJECT
private slots:
    void silentDevice()
    {
        Line line;
        auto p = panelOn(line);
        Form1 &f = *p->form;
        QVERIFY(f.MSComm1->PortOpen());

        click(f, "Command44");  // STATUS
        QCOMPARE(collectUntilCr(line), QByteArray("CR0\r"));
        QVERIFY(QTest::qWaitFor([&] { return f.Label12->text() == QLatin1String(" X X X X"); }, 5000));
        QVERIFY(f.RecvText.isEmpty());
        QVERIFY(f.Label22->text().isEmpty());
        QCOMPARE(f.ReplyWait, quint8(0));

        // The panel goes on sending.
        click(f, "Command17");
        QCOMPARE(collectUntilCr(line), QByteArray("C00\r"));
        QVERIFY(p->warnings.isEmpty());
    }

    void halfAReply()
    {
        Line line;
        auto p = panelOn(line);
        Form1 &f = *p->form;

        click(f, "Command44");
        QCOMPARE(collectUntilCr(line), QByteArray("CR0\r"));
        QVERIFY(line.writeSome("0", 0) == 1);
        QVERIFY(QTest::qWaitFor([&] { return f.Label12->text() == QLatin1String(" 0 "); }, 5000));
        QVERIFY(f.Label22->text().isEmpty());  // half a key decodes nothing

        // The reply time-out ends the wait; what came stays shown, and the
        // half reply does not stand in front of the next one.
        QVERIFY(QTest::qWaitFor([&] { return !f.Timer2->Enabled(); }, 5000));
        QVERIFY(f.RecvText.isEmpty());
        QCOMPARE(f.Label12->text(), QStringLiteral(" 0 "));

        click(f, "Command44");
        QCOMPARE(collectUntilCr(line), QByteArray("CR0\r"));
        QVERIFY(line.writeSome("80\r", 0) == 3);
        QVERIFY(QTest::qWaitFor([&] { return f.Label22->text() == QLatin1String(" Stand by"); }, 5000));
        QCOMPARE(f.Label12->text(), QStringLiteral(" 8 0 CR "));
    }

    void deviceStreamsRandomBytes()
    {
        Line line;
        auto p = panelOn(line);
        Form1 &f = *p->form;
        QVERIFY(f.MSComm1->PortOpen());
        const QByteArray stream = randomStream();

        qsizetype largest = 0;
        QObject::connect(f.MSComm1, &MSComm::OnComm, &f,
                         [&] { largest = std::max(largest, f.RecvText.size()); });

        // The first half with nothing sent: the buffer fills to its cap and
        // keeps the start of the stream.
        qsizetype sent = 0;
        const QByteArray firstHalf = stream.left(stream.size() / 2);
        const qsizetype half = firstHalf.size();
        QElapsedTimer clock;
        clock.start();
        while (sent < half && clock.elapsed() < 60000) {
            sent += line.writeSome(firstHalf, sent);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        QCOMPARE(sent, half);
        QVERIFY(QTest::qWaitFor([&] { return f.RecvText.size() == Form1::kRecvTextCap; }, 10000));
        QCOMPARE(largest, Form1::kRecvTextCap);
        const QString kept = f.RecvText;
        for (qsizetype i = 0; i < kept.size(); ++i) {
            if (kept.at(i).unicode() != char16_t(quint8(stream.at(i))))
                QFAIL(qPrintable(QString("character %1 is %2, byte was %3")
                                     .arg(i).arg(kept.at(i).unicode()).arg(quint8(stream.at(i)))));
        }
        QCOMPARE(f.Label12->text(), renderText(kept));
        QVERIFY(f.Label12->text().size() <= 4 * Form1::kRecvTextCap + 1);

        // The second half: a click in the middle of it still gets its frame
        // out, and the buffer never grows beyond its cap.
        click(f, "Command17");
        QByteArray out;
        clock.restart();
        while ((sent < stream.size() || !out.contains('\r')) && clock.elapsed() < 60000) {
            sent += line.writeSome(stream, sent);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            out += line.readSome();
        }
        QCOMPARE(sent, stream.size());
        QCOMPARE(out, QByteArray("C00\r"));
        QCOMPARE(largest, Form1::kRecvTextCap);
        QVERIFY(f.RecvText.size() <= Form1::kRecvTextCap);
        QVERIFY(p->warnings.isEmpty());
        QVERIFY(f.MSComm1->PortOpen());
    }

    void veryLongTypedCommand()
    {
        Line line;
        auto p = panelOn(line);
        Form1 &f = *p->form;

        QString typed;
        typed.reserve(100000);
        for (int i = 0; i < 100000; ++i)
            typed.append(QChar(u"0123456789ABCDEFGHIJ"[i % 20]));
        f.Text1->setText(typed);
        QCOMPARE(f.Text1->text(), typed);  // the box keeps it all: nothing is cut silently

        click(f, "Command95");  // SEND
        const QByteArray expected = f.Text1->text().toLatin1() + '\r';
        const QByteArray got = collect(line, [&](const QByteArray &g) { return g.size() >= expected.size(); }, 30000);
        QCOMPARE(got.size(), expected.size());
        QVERIFY(got == expected);
        QCOMPARE(f.CmdText, f.Text1->text());
        // The TXD line shows the start of it.
        QVERIFY(f.Label11->text().startsWith(QStringLiteral(" 0 1 2 3 4 5 6 7 8 9 A B")));
        QVERIFY(f.Label11->text().size() <= 2 * kMaxRenderedChars + 1);
        QCOMPARE(collect(line, [](const QByteArray &) { return false; }, 100), QByteArray());
    }

    void typedCharactersBeyondLatin1()
    {
        Line line;
        auto p = panelOn(line);
        Form1 &f = *p->form;
        f.Text1->setFocus();

        // Typed through an input method: Japanese, an emoji (two 16-bit
        // characters), a Latin-1 letter and a blank.
        QInputMethodEvent typing;
        typing.setCommitString(QStringLiteral("CR0 日本語😀é"));
        QCoreApplication::sendEvent(f.Text1, &typing);
        QCOMPARE(f.Text1->text(), QStringLiteral("CR0 日本語😀é"));

        click(f, "Command95");
        // One byte per 16-bit character; those above 255 go out as "?".
        QCOMPARE(collectUntilCr(line), QByteArray("CR0 ?????\xe9\r"));
        QCOMPARE(f.Label11->text(), QStringLiteral(" C R 0   ? ? ? ? ? ? CR "));

        // Not the STATUS frame, so a reply is shown but not decoded.
        QVERIFY(line.writeSome("00\r", 0) == 3);
        QVERIFY(QTest::qWaitFor([&] { return f.Label12->text() == QLatin1String(" 0 0 CR "); }, 5000));
        QVERIFY(f.Label22->text().isEmpty());
    }
};

QTEST_MAIN(LineFaultTest)
#include "test_faults_line.moc"
