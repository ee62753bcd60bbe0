#include "app/form1.h"

#include <QApplication>
#include <QButtonGroup>
#include <QFontDatabase>
#include <QFrame>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QRadioButton>
#include <QScreen>
#include <algorithm>
#include <limits>
#include <utility>

#include "app/accessible_names.h"
#include "app/layout_table.h"

namespace qm25 {
namespace {

int px(int twips) { return qRound(twips / double(kTwipsPerPixel)); }

// The first installed of the design's face and its nearest stand-ins,
// looked up once: naming faces that are not installed would send every
// font lookup through the system's fallback search.
QString installedFamily(Face face)
{
    static const auto pick = [](QStringList candidates) {
        const QStringList installed = QFontDatabase::families();
        for (const QString &c : candidates)
            if (installed.contains(c))
                return c;
        return candidates.last();
    };
    static const QString gothic =
        pick({QStringLiteral("ＭＳ ゴシック"), QStringLiteral("MS Gothic"), QStringLiteral("IPAGothic")});
    static const QString pgothic =
        pick({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"), QStringLiteral("IPAPGothic")});
    return face == Face::PGothic ? pgothic : gothic;
}

QFont makeFont(Face face, int pointSize100, bool bold)
{
    QFont f(installedFamily(face));
    // Points at the fixed 96 dots an inch of the twips grid.
    f.setPixelSize(qRound(pointSize100 / 100.0 * 96.0 / 72.0));
    f.setWeight(bold ? QFont::Bold : QFont::Normal);
    f.setItalic(false);
    f.setUnderline(false);
    return f;
}

void paint(QWidget *w, QPalette::ColorRole role, std::uint32_t colour)
{
    if (colour == kNoColour)
        return;
    QPalette pal = w->palette();
    if (colour == kSystemButtonFace)
        pal.setColor(role, QApplication::palette().color(QPalette::Button));
    else if (colour == kSystemWindow)
        pal.setColor(role, QApplication::palette().color(QPalette::Base));
    else
        pal.setColor(role, QColor::fromRgb(colour));
    w->setPalette(pal);
}

Qt::Alignment alignmentOf(Align a)
{
    switch (a) {
    case Align::Center: return Qt::AlignHCenter | Qt::AlignTop;
    case Align::Right: return Qt::AlignRight | Qt::AlignTop;
    case Align::Left: break;
    }
    return Qt::AlignLeft | Qt::AlignTop;
}

}  // namespace

QString Form1::title() { return QStringLiteral("RUNO   QM25   CONTROL   Ver.1.40"); }

Form1::Form1(std::unique_ptr<SerialLine> port, QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(title());
    setAutoFillBackground(true);
    paint(this, QPalette::Window, kWindowColour);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);
    setFont(makeFont(Face::Gothic, 900, true));
    setFixedSize(px(kDesignClientWidth), px(kDesignClientHeight));

    MSComm1 = port.release();
    MSComm1->setParent(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    Timer3 = new IntervalTimer(QStringLiteral("Timer3"), 5000, this);

    warningBox = [this](const QString &text) {
        QMessageBox box(QMessageBox::Warning, title(), text, QMessageBox::Ok, this);
        box.exec();
    };
    endProgram = [] { QCoreApplication::exit(0); };
    askDevice = [this](int number, const QString &startUpFailure) {
        return askForDevice(number, startUpFailure, isVisible() ? this : nullptr);
    };

    buildControls();
    bindControls();
    qApp->installEventFilter(this);
}

Form1::~Form1()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

QList<QObject *> Form1::allControls() const
{
    QList<QObject *> all;
    for (auto *w : controls_)
        all.append(w);
    all << exchange_.repeatTimer() << exchange_.replyTimer() << Timer3 << exchange_.clearTimer() << MSComm1;
    return all;
}

void Form1::buildControls()
{
    // The lines lie on the window's own surface, below every control.
    for (const LineSpec &l : lineSpecs()) {
        auto *line = new LineControl(QPoint(px(l.x1), px(l.y1)), QPoint(px(l.x2), px(l.y2)),
                                     QColor::fromRgb(kLineColour), kLineWidthPixels, this);
        line->setObjectName(QString::fromLatin1(l.name));
        controls_.insert(line->objectName(), line);
    }

    QList<std::pair<int, QWidget *>> tabOrder;
    for (const ControlSpec &c : controlSpecs()) {
        QWidget *parentWidget = c.parent ? controls_.value(QString::fromLatin1(c.parent)) : this;
        Q_ASSERT(parentWidget);
        const QString caption = QString::fromUtf8(c.caption);
        QWidget *w = nullptr;
        switch (c.kind) {
        case Kind::Button: {
            auto *b = new CommandButton(caption, parentWidget);
            b->setAutoDefault(false);
            paint(b, QPalette::Button, c.colour);
            w = b;
            break;
        }
        case Kind::Label: {
            auto *l = new QLabel(caption, parentWidget);
            l->setTextFormat(Qt::PlainText);
            l->setAlignment(alignmentOf(c.align));
            l->setAutoFillBackground(true);
            l->setWordWrap(false);
            paint(l, QPalette::Window, c.colour);
            paint(l, QPalette::WindowText, c.textColour);
            if (c.border) {
                l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                l->setLineWidth(1);
                l->setIndent(2);
            }
            w = l;
            break;
        }
        case Kind::Frame: {
            auto *f = new QFrame(parentWidget);
            f->setFrameStyle(QFrame::Box | QFrame::Sunken);
            f->setAutoFillBackground(true);
            paint(f, QPalette::Window, c.colour);
            w = f;
            break;
        }
        case Kind::Option: {
            auto *o = new QRadioButton(caption, parentWidget);
            o->setAutoFillBackground(true);
            o->setChecked(c.selectedAtCreation);
            paint(o, QPalette::Window, c.colour);
            w = o;
            break;
        }
        case Kind::TextBox: {
            auto *t = new QLineEdit(parentWidget);
            // Whatever is typed or pasted goes out whole; the box does not
            // cut it at Qt's default of 32767 characters.
            t->setMaxLength(std::numeric_limits<int>::max());
            paint(t, QPalette::Base, c.colour);
            w = t;
            break;
        }
        case Kind::Image: {
            auto *img = new ImageControl(parentWidget);
            const QPixmap pic(QStringLiteral(":/image1.bmp"));
            img->setPixmap(pic);
            img->setScaledContents(false);
            w = img;
            break;
        }
        }
        w->setObjectName(QString::fromLatin1(c.name));
        const QString spoken = accessibleNameFor(w->objectName());
        if (!spoken.isEmpty())
            w->setAccessibleName(spoken);
        if (c.face != Face::None)
            w->setFont(makeFont(c.face, c.pointSize100, c.bold));
        if (c.kind == Kind::Image)
            w->setGeometry(px(c.left), px(c.top), w->sizeHint().width(), w->sizeHint().height());
        else
            w->setGeometry(px(c.left), px(c.top), px(c.width), px(c.height));
        if (c.hiddenAtCreation)
            w->hide();
        const bool takesFocus = c.kind == Kind::Button || c.kind == Kind::Option || c.kind == Kind::TextBox;
        w->setFocusPolicy(takesFocus ? Qt::StrongFocus : Qt::NoFocus);
        if (takesFocus)
            tabOrder.append({c.tab, w});
        controls_.insert(w->objectName(), w);
    }

    std::stable_sort(tabOrder.begin(), tabOrder.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1].second, tabOrder[i].second);
    if (!tabOrder.isEmpty())
        tabOrder.first().second->setFocus();

    Label11 = control<QLabel>(QStringLiteral("Label11"));
    Label12 = control<QLabel>(QStringLiteral("Label12"));
    Label22 = control<QLabel>(QStringLiteral("Label22"));
    Frame8 = control<QFrame>(QStringLiteral("Frame8"));
    Command34 = control<CommandButton>(QStringLiteral("Command34"));
    Option1 = control<QRadioButton>(QStringLiteral("Option1"));
    Option2 = control<QRadioButton>(QStringLiteral("Option2"));
    Option9 = control<QRadioButton>(QStringLiteral("Option9"));
    Option10 = control<QRadioButton>(QStringLiteral("Option10"));
    // Each pair is a group of its own. Left to the widgets, the speed options
    // (in a frame inside the port panel) would count as the ports'
    // neighbours too, and a click on the port already marked would unmark it.
    for (auto [first, second] : {std::pair{Option1, Option2}, std::pair{Option9, Option10}}) {
        auto *group = new QButtonGroup(first->parentWidget());
        group->addButton(first);
        group->addButton(second);
    }
    Text1 = control<QLineEdit>(QStringLiteral("Text1"));
    Image1 = control<ImageControl>(QStringLiteral("Image1"));
}

void Form1::bindControls()
{
    auto button = [this](const char *name) { return control<CommandButton>(QString::fromLatin1(name)); };

    for (const ClickCommand &row : clickCommands())
        connect(button(row.control), &QPushButton::clicked, this, [this, &row] { exchange_.sendClickCommand(row); });
    for (const RepeatCommand &row : repeatCommands()) {
        CommandButton *b = button(row.control);
        connect(b, &CommandButton::mousePressed, this, [this, &row] { exchange_.pressRepeatButton(row); });
        connect(b, &CommandButton::mouseReleased, this, [this, &row] { exchange_.releaseRepeatButton(row); });
    }
    connect(button("Command16"), &QPushButton::clicked, this, &Form1::end);
    connect(button("Command33"), &QPushButton::clicked, this, &Form1::showPortPanel);
    connect(button("Command34"), &QPushButton::clicked, this, &Form1::toggleDataDisplay);
    connect(button("Command95"), &QPushButton::clicked, this, &Form1::sendCommandLine);
    connect(button("Command96"), &QPushButton::clicked, this, &Form1::clearCommandLine);

    // An option's handler runs on every click, also on the option already
    // selected: that is how a port is opened again after it was lost.
    connect(Option1, &QRadioButton::clicked, this, [this] { choosePort(1); });
    connect(Option2, &QRadioButton::clicked, this, [this] { choosePort(2); });
    connect(Option9, &QRadioButton::clicked, this, [this] { chooseSpeed(QStringLiteral("19200,N,8,1")); });
    connect(Option10, &QRadioButton::clicked, this, [this] { chooseSpeed(QStringLiteral("9600,N,8,1")); });
    // A right-click on a port offers another device for it.
    for (auto [option, port] : {std::pair{Option1, 1}, std::pair{Option2, 2}}) {
        option->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(option, &QWidget::customContextMenuRequested, this, [this, option, port](const QPoint &at) {
            QMenu menu(this);
            const QAction *device = menu.addAction(QStringLiteral("Device for COM%1…").arg(port));
            if (menu.exec(option->mapToGlobal(at)) == device)
                chooseDevice(port);
        });
    }
    updatePortToolTips();

    connect(Image1, &ImageControl::doubleClicked, this, &Form1::openFullHeight);
    connect(Timer3, &IntervalTimer::tick, this, &Form1::hidePortPanel);

    connect(MSComm1, &SerialLine::opened, this, &Form1::portOpened);
    connect(MSComm1, &SerialLine::openFailed, this, &Form1::portFailed);
    exchange_.setLine(MSComm1);
    connect(&exchange_, &Exchange::displayChanged, this, &Form1::showLine);
    connect(&exchange_, &Exchange::linkLost, this, &Form1::warnLinkLost);
}

void Form1::showLine(DisplayLine line, const QString &text)
{
    switch (line) {
    case DisplayLine::Txd: setDisplayText(Label11, text); break;
    case DisplayLine::Rxd: setDisplayText(Label12, text); break;
    case DisplayLine::Status: Label22->setText(text); break;
    }
}

// --- window height -----------------------------------------------------------

int Form1::heightTwips() const
{
    // The last height set reads back exactly while the window still has it;
    // a height changed some other way is read from the pixels.
    if (height() == heightPixels_)
        return heightTwips_;
    return (height() + frameExtent().height()) * kTwipsPerPixel;
}

void Form1::setHeightTwips(int twips)
{
    frameSeen_ = frameExtent();
    const int client = std::max(1, px(twips) - frameSeen_.height());
    setFixedHeight(client);
    heightTwips_ = twips;
    heightPixels_ = client;
}

// How much wider and taller the window is with its frame (title bar and
// borders) than its client area; nothing until the frame is known.
QSize Form1::frameExtent() const { return frameGeometry().size() - size(); }

bool Form1::event(QEvent *event)
{
    const bool handled = QWidget::event(event);
    // Qt takes in the frame's margins with a move or a resize of the window.
    if (event->type() == QEvent::Move || event->type() == QEvent::Resize)
        followFrame();
    return handled;
}

// The window manager frames the window after it is shown, some time after
// the next turn of the event loop, and may frame it anew later. The window
// follows each change of the frame once: the height last set in twips is
// set again as an outer height, and the first frame after start-up centres
// the window again with its real outer size. Neither changes the frame, so
// the moves and resizes they bring find nothing more to do.
void Form1::followFrame()
{
    const QSize frame = frameExtent();
    if (frame == frameSeen_)
        return;
    frameSeen_ = frame;
    if (std::exchange(centreOnFrame_, false))
        centre();
    if (height() == heightPixels_)
        setHeightTwips(heightTwips_);
}

// --- start-up and end ------------------------------------------------------------

bool Form1::startUp()
{
    startupError_.clear();
    CommSetting = QStringLiteral("19200,N,8,1");

    centre();
    centreOnFrame_ = true;
    setHeightTwips(5350);

    MSComm1->setPortNumber(1);
    // Nothing of the window runs yet: the wait for a device server has only
    // the line's own events to handle.
    startingUp_ = true;
    const bool ok = MSComm1->setSettings(CommSetting) && MSComm1->open() && MSComm1->finishOpening();
    startingUp_ = false;
    if (!ok) {
        startupError_ = MSComm1->errorText();
        return false;
    }
    // The port is open on COM1: its option is marked without its handler,
    // which would close the port and open it again (on a device server, a
    // second connection right after the first).
    Option1->setChecked(true);
    return true;
}

// Centres the window with the designed size and the frame as far as it is
// known; the top edge stays where a window of the designed height would be
// centred, and may be negative on a small screen.
void Form1::centre()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QRect scr = screen ? screen->geometry() : QRect(0, 0, 800, 600);
    const QSize frame = frameExtent();
    const int widthTw = kDesignClientWidth + frame.width() * kTwipsPerPixel;
    const int heightTw = kDesignClientHeight + frame.height() * kTwipsPerPixel;
    const int left = (scr.width() * kTwipsPerPixel - widthTw) / 2;
    const int top = (scr.height() * kTwipsPerPixel - heightTw) / 2;
    move(scr.left() + left / kTwipsPerPixel, scr.top() + top / kTwipsPerPixel);
}

void Form1::end()
{
    MSComm1->close();
    ended_ = true;
    exchange_.stop();
    Timer3->setEnabled(false);
    close();
    endProgram();
}

// --- data panel and keyboard -----------------------------------------------------

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    // Key preview: the window sees each key press before the control that
    // has the focus, and passes it on.
    if (event->type() == QEvent::KeyPress && !ended_) {
        QWidget *target = QApplication::focusWidget();
        if (!target)
            target = this;
        if (watched == target && target->window() == this) {
            const auto *key = static_cast<QKeyEvent *>(event);
            const Qt::KeyboardModifiers m = key->modifiers();
            const int shift = (m & Qt::ShiftModifier ? 1 : 0) | (m & Qt::ControlModifier ? 2 : 0)
                              | (m & Qt::AltModifier ? 4 : 0);
            keyDown(key->key(), shift);
        }
    }
    // A tool tip names the device as it is now: a stable name may lead elsewhere.
    if (event->type() == QEvent::ToolTip && (watched == Option1 || watched == Option2))
        updatePortToolTips();
    return QWidget::eventFilter(watched, event);
}

void Form1::keyDown(int keyCode, int shift)
{
    if ((shift & 7) == 2 && keyCode == Qt::Key_H) {
        setHeightTwips(7200);
        PanelFlag = 1;
        Command34->setText(QStringLiteral("CLOSE"));
        Command34->setVisible(true);
    }
}

void Form1::openFullHeight()
{
    if (PanelFlag != 1)
        return;
    setHeightTwips(9100);
    Command34->setText(QStringLiteral("CLOSE"));
    Command34->setVisible(true);
}

void Form1::toggleDataDisplay()
{
    Timer3->setEnabled(false);
    PanelFlag = 0;
    if (heightTwips() >= 6000) {
        setHeightTwips(5350);
        Command34->setText(QStringLiteral("データを表示する"));
    } else {
        setHeightTwips(6645);
        Command34->setText(QStringLiteral("データを表示しない"));
    }
    Timer3->setEnabled(true);
}

}  // namespace qm25
