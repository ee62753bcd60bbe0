// The display lines with long texts, the wrapped captions and the order of a
// click's send and the button's repaint: what the window shows and sends
// must not depend on how the drawing work is spared.
#include <QLabel>
#include <QScreen>
#include <QtTest>

#include "commands/render.h"
#include "support/panel.h"

using namespace qm25;
using namespace qm25::test;

namespace {

// A label of its own, outside the window, set up like `line`: it shows what
// the plain label makes of a text. (A label inside the window would make the
// window repaint around it.)
std::unique_ptr<QLabel> twinOf(const QLabel *line)
{
    auto twin = std::make_unique<QLabel>();
    twin->setTextFormat(line->textFormat());
    twin->setAlignment(line->alignment());
    twin->setAutoFillBackground(line->autoFillBackground());
    twin->setWordWrap(line->wordWrap());
    twin->setPalette(line->palette());
    twin->setFont(line->font());
    twin->setFrameStyle(line->frameStyle());
    twin->setLineWidth(line->lineWidth());
    twin->setIndent(line->indent());
    twin->setMargin(line->margin());
    twin->resize(line->size());
    return twin;
}

// The plain label's picture of `text`.
QImage drawnAs(QLabel *twin, const QString &text)
{
    twin->setText(text);
    return twin->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QImage asImage(const QPixmap &p) { return p.toImage().convertToFormat(QImage::Format_RGB32); }

// What the window has on the screen where `line` is.
QImage onScreen(Form1 &f, const QLabel *line)
{
    QCoreApplication::processEvents();
    const QPoint at = line->mapTo(&f, QPoint(0, 0));
    return asImage(f.screen()->grabWindow(f.winId(), at.x(), at.y(), line->width(), line->height()));
}

QByteArray streamOf(int n)
{
    static const QByteArray pattern("00\r80\r\x06\r1234 ABC xyz\r\n");
    QByteArray s;
    while (s.size() < n)
        s += pattern;
    s.truncate(n);
    return s;
}

}  // namespace

class LongLinesTest : public QObject {
    Q_OBJECT
private slots:
    void init() { qunsetenv("QM25_COM1"); qunsetenv("QM25_COM2"); }

    void aLongReceiveBufferShowsAsThePlainLabelWould()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        f.Form_KeyDown(Qt::Key_H, 2);  // the display lines come into the window
        QTest::qWait(50);

        // Short, long, and longer still: the buffer grows far beyond what
        // the line can show, piece by piece as from a streaming device.
        const auto twin = twinOf(f.Label12);
        const QByteArray stream = streamOf(3000);
        for (const int upTo : {3, 40, 700, 701, 702, 1500, 3000}) {
            const qsizetype from = f.RecvText.size();
            p->fake()->feed(stream.mid(from, upTo - from));
            QCOMPARE(f.RecvText.size(), qsizetype(upTo));
            QCOMPARE(f.Label12->text(), renderText(f.RecvText));
            QTest::qWait(20);
            QCOMPARE(onScreen(f, f.Label12), drawnAs(twin.get(), f.Label12->text()));
        }

        // A new buffer after the reply time-out, one that starts otherwise.
        f.Timer2_Timer();
        p->fake()->feed(QByteArray(900, 'W'));
        QCOMPARE(f.Label12->text(), renderText(QString(900, u'W')));
        QTest::qWait(20);
        QCOMPARE(onScreen(f, f.Label12), drawnAs(twin.get(), f.Label12->text()));
        p->fake()->feed("0");
        QTest::qWait(20);
        QCOMPARE(onScreen(f, f.Label12), drawnAs(twin.get(), f.Label12->text()));

        // Back to a short reply.
        f.Timer2_Timer();
        p->fake()->feed("00\r");
        QTest::qWait(20);
        QCOMPARE(f.Label12->text(), QStringLiteral(" 0 0 CR "));
        QCOMPARE(onScreen(f, f.Label12), drawnAs(twin.get(), f.Label12->text()));
    }

    void aLongSentFrameShowsAsThePlainLabelWould()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        f.Form_KeyDown(Qt::Key_H, 2);
        f.SendText = QString(2000, u'A') + QLatin1Char('\r');
        f.Hyouji(f.SendText, 1);
        QTest::qWait(20);
        QCOMPARE(f.Label11->text(), renderText(f.SendText));
        QCOMPARE(onScreen(f, f.Label11), drawnAs(twinOf(f.Label11).get(), f.Label11->text()));
    }

    void replyModeShowsExactlyTheTextItIsGiven()
    {
        // The rendering is reused from one call to the next where the text
        // continues the last one; any other text is rendered afresh, also
        // when two windows take turns.
        auto p = makePanel();
        auto q = makePanel();
        const QString big = QString::fromLatin1(streamOf(40000));
        const QString texts[] = {
            QStringLiteral("abc"), QStringLiteral("abcdef"), QStringLiteral("abX"), QString(),
            QStringLiteral("00\r"), big.left(5000), big.left(5001), big.left(4000), big, big.left(32767),
            big.left(32766) + QLatin1Char('{'), QStringLiteral("\x06\r"),
        };
        for (const QString &t : texts) {
            for (Form1 *f : {p->form.get(), q->form.get()}) {
                f->Hyouji(t, 2);
                QCOMPARE(f->Label12->text(), renderText(t));
            }
        }
    }

    void aClickSendsBeforeItsButtonIsRepainted()
    {
        auto p = makePanel();
        Form1 &f = *p->form;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QTest::qWait(20);
        auto *button = f.control<CommandButton>(QStringLiteral("Command17"));

        // Each paint of the button notes whether the frame had gone out and
        // whether the button was drawn pressed.
        struct Watch : QObject {
            FakeComm *comm;
            QAbstractButton *button;
            QList<std::pair<qsizetype, bool>> paints;
            bool eventFilter(QObject *, QEvent *e) override
            {
                if (e->type() == QEvent::Paint)
                    paints.append({comm->written.size(), button->isDown()});
                return false;
            }
        } watch;
        watch.comm = p->fake();
        watch.button = button;
        button->installEventFilter(&watch);

        const qsizetype before = p->fake()->written.size();
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(p->fake()->written.size(), before + 1);
        for (const auto &[written, down] : watch.paints)
            QVERIFY2(written > before, "the button was painted before its frame went out");
        QVERIFY(button->updatesEnabled());

        // The released button is painted all the same.
        QTRY_VERIFY(!watch.paints.isEmpty());
        QCOMPARE(watch.paints.last().second, false);

        // A press alone still shows the button pressed, at the next paint.
        watch.paints.clear();
        QTest::mousePress(button, Qt::LeftButton);
        QVERIFY(button->isDown());
        QTRY_VERIFY(!watch.paints.isEmpty());
        QCOMPARE(watch.paints.last().second, true);
        QTest::mouseRelease(button, Qt::LeftButton);
        QCOMPARE(p->fake()->written.size(), before + 2);
        QTRY_COMPARE(watch.paints.last().second, false);
        button->removeEventFilter(&watch);
    }

    void aWrappedCaptionFollowsTextAndWidth()
    {
        auto p = makePanel(false);
        auto *b = p->form->control<CommandButton>(QStringLiteral("Command3"));  // DISPLAY CLEAR
        QVERIFY(b->displayedCaption().contains(QLatin1Char('\n')));
        const int narrow = b->width();
        b->resize(600, b->height());
        QCOMPARE(b->displayedCaption(), b->text());
        b->resize(narrow, b->height());
        QVERIFY(b->displayedCaption().contains(QLatin1Char('\n')));
        b->setText(QStringLiteral("A B"));
        QCOMPARE(b->displayedCaption(), QStringLiteral("A B"));
        b->setText(QStringLiteral("DISPLAY CLEAR"));
        QCOMPARE(b->displayedCaption(), QStringLiteral("DISPLAY\nCLEAR"));
        // A caption that fits at its size, but not at three times it.
        b->setText(QStringLiteral("A B"));
        QCOMPARE(b->displayedCaption(), QStringLiteral("A B"));
        QFont larger = b->font();
        while (QFontMetrics(larger).horizontalAdvance(QStringLiteral("A B")) <= b->width() - 6)
            larger.setPixelSize(larger.pixelSize() * 2);
        b->setFont(larger);
        QCOMPARE(b->displayedCaption(), QStringLiteral("A\nB"));
    }
};

QTEST_MAIN(LongLinesTest)
#include "test_long_lines.moc"
