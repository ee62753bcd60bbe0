// The window as built: every control, its place and its state at creation.
#include <QAccessible>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSet>
#include <QtTest>

#include "app/layout_table.h"
#include "support/panel.h"

using namespace qm25;
using namespace qm25::test;

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qunsetenv("QM25_COM1"); qunsetenv("QM25_COM2"); }

    void everyControlExistsOnceByName()
    {
        auto p = makePanel(false);
        const QList<QObject *> all = p->form->allControls();
        QCOMPARE(all.size(), 127);
        QSet<QString> names;
        QMap<QString, int> kinds;
        for (QObject *o : all) {
            QVERIFY2(!names.contains(o->objectName()), qPrintable(o->objectName()));
            names.insert(o->objectName());
            if (qobject_cast<CommandButton *>(o)) kinds["button"]++;
            else if (qobject_cast<QRadioButton *>(o)) kinds["option"]++;
            else if (qobject_cast<QLineEdit *>(o)) kinds["text"]++;
            else if (qobject_cast<ImageControl *>(o)) kinds["image"]++;
            else if (qobject_cast<QLabel *>(o)) kinds["label"]++;
            else if (qobject_cast<LineControl *>(o)) kinds["line"]++;
            else if (qobject_cast<QFrame *>(o)) kinds["frame"]++;
            else if (qobject_cast<IntervalTimer *>(o)) kinds["timer"]++;
            else if (qobject_cast<MSComm *>(o)) kinds["serial"]++;
        }
        const QMap<QString, int> expected{{"button", 67}, {"label", 23}, {"frame", 14}, {"option", 4},
                                          {"text", 1},    {"image", 1},  {"line", 12},  {"timer", 4},
                                          {"serial", 1}};
        QCOMPARE(kinds, expected);
        for (const char *n : {"Command1", "Command98", "Label27", "Frame16", "Option10", "Line12", "Timer4", "MSComm1"})
            QVERIFY2(names.contains(QLatin1String(n)), n);
        QVERIFY(!names.contains("Label14"));
        QVERIFY(!names.contains("Frame10"));
    }

    void containersAndGeometry()
    {
        auto p = makePanel(false);
        Form1 &f = *p->form;
        QCOMPARE(f.windowTitle(), QStringLiteral("RUNO   QM25   CONTROL   Ver.1.40"));
        QCOMPARE(f.size(), QSize(633, 582));  // 9495 x 8730 twips
        QCOMPARE(f.Option1->parentWidget(), f.Frame8);
        QCOMPARE(f.Option9->parentWidget(), f.control("Frame13"));
        QCOMPARE(f.control("Frame13")->parentWidget(), f.Frame8);
        QCOMPARE(f.control("Command17")->parentWidget(), f.control("Frame1"));
        QCOMPARE(f.Label11->parentWidget(), f.control("Frame9"));
        QCOMPARE(f.control("Command5")->parentWidget(), &f);
        QCOMPARE(f.Image1->geometry(), QRect(544, 8, 80, 26));
        QCOMPARE(f.control("Command17")->geometry(), QRect(8, 40, 41, 20));
        QCOMPARE(f.control("Frame9")->geometry(), QRect(3, 328, 421, 86));
        // Every control lies inside its container.
        for (const ControlSpec &c : controlSpecs()) {
            QWidget *w = f.control(QString::fromLatin1(c.name));
            QVERIFY2(w->parentWidget()->rect().contains(w->geometry()), c.name);
        }
        // The port panel covers the COM button.
        QVERIFY(f.Frame8->geometry().contains(f.control("Command33")->geometry()));
    }

    void captionsAsDesigned()
    {
        auto p = makePanel(false);
        Form1 &f = *p->form;
        auto caption = [&](const char *n) { return f.control<QAbstractButton>(QLatin1String(n))->text(); };
        QCOMPARE(caption("Command5"), QStringLiteral("↑"));
        QCOMPARE(caption("Command7"), QStringLiteral("↓"));
        QCOMPARE(caption("Command9"), QStringLiteral("←"));
        QCOMPARE(caption("Command8"), QStringLiteral("→"));
        QCOMPARE(caption("Command34"), QStringLiteral("データを表示する"));
        QCOMPARE(caption("Command3"), QStringLiteral("DISPLAY CLEAR"));
        QCOMPARE(caption("Option9"), QStringLiteral("19200"));
        QCOMPARE(f.control<QLabel>("Label19")->text(), QStringLiteral("R/C KEY OFF"));
        QCOMPARE(f.control<QLabel>("Label9")->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
        QCOMPARE(f.control<QLabel>("Label1")->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
        QCOMPARE(f.control<QLabel>("Label1")->palette().color(QPalette::WindowText), QColor(0xC0, 0, 0));
        QCOMPARE(f.Label22->palette().color(QPalette::WindowText), QColor(0xFF, 0, 0));
        QCOMPARE(f.control<QPushButton>("Command6")->palette().color(QPalette::Button), QColor(0xFF, 0x80, 0));
        QCOMPARE(f.Label11->font().weight(), QFont::Bold);
        QCOMPARE(f.Label11->font().pixelSize(), 13);  // 9.75 pt
        QCOMPARE(f.control("Label23")->font().pixelSize(), 11);  // 8.25 pt
        QCOMPARE(f.control("Command6")->font().family(), QStringLiteral("IPAGothic"));
        QCOMPARE(f.control("Command17")->font().family(), QStringLiteral("IPAPGothic"));
    }

    void statesAtCreation()
    {
        auto p = makePanel(false);
        Form1 &f = *p->form;
        QVERIFY(f.Frame8->isHidden());
        QVERIFY(f.Command34->isHidden());
        QVERIFY(f.Option9->isChecked());
        QVERIFY(!f.Option10->isChecked());
        QVERIFY(!f.Option1->isChecked());
        QVERIFY(!f.Option2->isChecked());
        QVERIFY(f.Label11->text().isEmpty());
        QVERIFY(f.Label12->text().isEmpty());
        QVERIFY(f.Label22->text().isEmpty());
        QVERIFY(f.Text1->text().isEmpty());
        const QList<std::pair<IntervalTimer *, int>> timers{{f.Timer1, 200}, {f.Timer2, 500}, {f.Timer3, 5000}, {f.Timer4, 1000}};
        for (auto [t, interval] : timers) {
            QVERIFY(!t->Enabled());
            QCOMPARE(t->Interval(), interval);
        }
        QVERIFY(!f.MSComm1->PortOpen());
        QCOMPARE(f.MSComm1->CommPort(), 1);
        QCOMPARE(f.MSComm1->Settings(), QStringLiteral("9600,N,8,1"));
        // Choosing a speed leaves the port group alone, and the reverse.
        f.Option10->setChecked(true);
        QVERIFY(!f.Option1->isChecked() && !f.Option2->isChecked());
        f.Option2->setChecked(true);
        QVERIFY(f.Option10->isChecked());
    }

    void linesOutlineTheCursorPad()
    {
        auto p = makePanel(false);
        int lines = 0;
        for (const LineSpec &l : lineSpecs()) {
            auto *line = p->form->control<LineControl>(QString::fromLatin1(l.name));
            QVERIFY(line);
            QCOMPARE(line->from(), QPoint(l.x1 / 15, l.y1 / 15));
            ++lines;
            // Decoration: never takes a click away from a button.
            QVERIFY(line->testAttribute(Qt::WA_TransparentForMouseEvents));
        }
        QCOMPARE(lines, 12);
    }

    void focusStartsOnPowerOnAndTabsToVolumeUp()
    {
        auto p = makePanel();
        p->form->show();
        QApplication::setActiveWindow(p->form.get());
        QVERIFY(QTest::qWaitForWindowActive(p->form.get()));
        QCOMPARE(QApplication::focusWidget(), p->form->control("Command17"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), p->form->control("Command1"));
    }

    void everyControlSaysWhatItDoesToAScreenReader()
    {
        auto p = makePanel(false);
        const QSet<QString> bare{"+", "-", "↑", "↓", "←", "→", "ON", "OFF", "RGB", "Video"};
        QSet<QString> spoken;
        int buttons = 0;
        for (QObject *o : p->form->allControls()) {
            auto *w = qobject_cast<QWidget *>(o);
            if (!w || !(qobject_cast<QAbstractButton *>(w) || qobject_cast<QLineEdit *>(w)))
                continue;
            QAccessibleInterface *a = QAccessible::queryAccessibleInterface(w);
            QVERIFY(a);
            const QString name = a->text(QAccessible::Name);
            QVERIFY2(name.size() >= 4, qPrintable(w->objectName() + ": " + name));
            QVERIFY2(!bare.contains(name), qPrintable(w->objectName() + ": " + name));
            QVERIFY2(!spoken.contains(name), qPrintable("twice: " + name));
            spoken.insert(name);
            buttons += qobject_cast<CommandButton *>(w) ? 1 : 0;
        }
        QCOMPARE(buttons, 67);
        QCOMPARE(QAccessible::queryAccessibleInterface(p->form->Label22)->text(QAccessible::Name),
                 QStringLiteral("Decoded status"));
    }

    void captionsFitTheirControls()
    {
        // With the installed Gothic faces every caption fits its control,
        // wrapped where the button is tall enough; a wider fallback face
        // would clip "Component" or "DISPLAY CLEAR".
        auto p = makePanel(false);
        p->form->Command34->setText(QStringLiteral("データを表示しない"));  // the longest it takes
        int wrappedButtons = 0;
        for (QObject *o : p->form->allControls()) {
            auto *b = qobject_cast<QAbstractButton *>(o);
            if (!b)
                continue;
            const QFontMetrics fm(b->font());
            auto *button = qobject_cast<CommandButton *>(b);
            const QStringList lines = button ? button->displayedCaption().split('\n') : QStringList{b->text()};
            const int room = b->width() - (button ? 4 : 20);
            for (const QString &line : lines)
                QVERIFY2(fm.horizontalAdvance(line) <= room, qPrintable(b->objectName() + " \"" + line + "\""));
            // Two lines may reach into the bevel by a pixel or two.
            QVERIFY2(int(lines.size()) * fm.height() <= b->height() + 4, qPrintable(b->objectName()));
            QCOMPARE(lines.join(button && !b->text().contains(' ') ? "" : " "), b->text());
            wrappedButtons += lines.size() > 1 ? 1 : 0;
        }
        QCOMPARE(wrappedButtons, 2);  // DISPLAY CLEAR and the show/hide button
    }

    void imageShowsItsPictureUnscaled()
    {
        auto p = makePanel(false);
        const QPixmap pic = p->form->Image1->pixmap();
        QCOMPARE(pic.size(), QSize(80, 26));
        QCOMPARE(p->form->Image1->size(), QSize(80, 26));
    }
};

QTEST_MAIN(WindowTest)
#include "test_window.moc"
