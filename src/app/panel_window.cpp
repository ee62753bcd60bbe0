#include "app/panel_window.h"

#include <QApplication>
#include <QButtonGroup>
#include <QFontDatabase>
#include <QFrame>
#include <QImageReader>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <limits>
#include <utility>


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

// One font for each face, size and weight, made once and shared by the
// controls that use it.
QFont makeFont(QHash<int, QFont> &made, Face face, int pointSize100, bool bold)
{
    const int key = (pointSize100 * 4 + int(face)) * 2 + (bold ? 1 : 0);
    if (const auto found = made.constFind(key); found != made.cend())
        return *found;
    QFont f(installedFamily(face));
    // Points at the fixed 96 dots an inch of the twips grid.
    f.setPixelSize(fontPixels(pointSize100));
    f.setWeight(bold ? QFont::Bold : QFont::Normal);
    f.setItalic(false);
    f.setUnderline(false);
    return made.insert(key, f).value();
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

QString PanelWindow::title() { return QLatin1String(kWindowTitle); }

PanelWindow::PanelWindow(PortDevices &devices, QWidget *parent)
    : QWidget(parent), devices_(devices), line_(new PortLine(this))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(title());
    setAutoFillBackground(true);
    paint(this, QPalette::Window, kWindowColour);
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);
    setFont(makeFont(fonts_, Face::Gothic, 900, true));
    setFixedSize(px(kDesignClientWidth), px(kDesignClientHeight));

    // The design's names for the line and the timers.
    line_->setObjectName(QStringLiteral("MSComm1"));
    portPanelTimer_ = new IntervalTimer(5000, this);
    portPanelTimer_->setObjectName(QStringLiteral("Timer3"));
    engine_.repeatTimer()->setObjectName(QStringLiteral("Timer1"));
    engine_.replyTimer()->setObjectName(QStringLiteral("Timer2"));
    engine_.clearTimer()->setObjectName(QStringLiteral("Timer4"));

    warningBox = [this](const QString &text) {
        QMessageBox box(QMessageBox::Warning, title(), text, QMessageBox::Ok, this);
        box.exec();
    };
    endProgram = [] { QCoreApplication::exit(0); };
    askDevice = [this](int number, const QString &startUpFailure) {
        return askForDevice(number, devices_.lookUp(number), startUpFailure, isVisible() ? this : nullptr);
    };

    // What the window shows at start-up now; the lower parts once it has
    // been painted (completeWindow()).
    buildControls(false);
    bindControls();
    qApp->installEventFilter(this);
}

PanelWindow::~PanelWindow()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

QWidget *PanelWindow::control(const QString &name) const
{
    completeWindow();
    return controls_.value(name);
}

QList<QObject *> PanelWindow::allControls() const
{
    completeWindow();
    QList<QObject *> all;
    for (auto *w : controls_)
        all.append(w);
    all << engine_.repeatTimer() << engine_.replyTimer() << portPanelTimer_ << engine_.clearTimer() << line_;
    return all;
}

QLabel *PanelWindow::rxdLine() const
{
    completeWindow();
    return rxd_;
}

QLabel *PanelWindow::statusLine() const
{
    completeWindow();
    return status_;
}

QLineEdit *PanelWindow::commandBox() const
{
    completeWindow();
    return commandBox_;
}

namespace {

// Which controls lie in the lower parts: the display band's lines below TXD,
// the status buttons, the signal types, fan, logo and command line. Each has
// its top edge at or below the client area's start-up height without a
// frame, the most a window of the start-up height can show; what lies inside
// such a control lies there too. In the order of the layout table.
const std::vector<bool> &lowerParts()
{
    static const std::vector<bool> lower = [] {
        std::vector<bool> parts;
        QHash<QByteArray, int> top;  // window pixels
        for (const DesignedControl &c : designedControls()) {
            const int at = (c.parent ? top.value(c.parent) : 0) + px(c.top);
            top.insert(c.name, at);
            parts.push_back(at >= px(kStartHeightTwips));
        }
        return parts;
    }();
    return lower;
}

}  // namespace

void PanelWindow::completeWindow() const
{
    if (!complete_)
        const_cast<PanelWindow *>(this)->buildControls(true);
}

void PanelWindow::buildControls(bool lowerPart)
{
    complete_ = lowerPart;
    // The lines lie on the window's own surface, below every control.
    if (!lowerPart) {
        for (const DesignedLine &l : designedLines()) {
            auto *line = new LineControl(QPoint(px(l.x1), px(l.y1)), QPoint(px(l.x2), px(l.y2)),
                                         QColor::fromRgb(kLineColour), kLineWidthPixels, this);
            line->setObjectName(QString::fromLatin1(l.name));
            controls_.insert(line->objectName(), line);
        }
    }

    // Created in the table's order within each part; as every control of the
    // lower parts comes after the controls of the upper part beside it, each
    // is drawn above the same controls as when the window is built at once.
    const std::vector<bool> &lower = lowerParts();
    for (std::size_t i = 0; i < designedControls().size(); ++i) {
        const DesignedControl &c = designedControls()[i];
        if (lower[i] != lowerPart)
            continue;
        QWidget *parentWidget = c.parent ? controls_.value(QString::fromLatin1(c.parent)) : this;
        Q_ASSERT(parentWidget);
        QWidget *w = createControl(c, parentWidget);
        // A control made after its container was shown stays hidden unless shown.
        if (lowerPart && !c.hiddenAtCreation && parentWidget->isVisible())
            w->show();
        if (c.command) {
            const CommandRow &row = *c.command;
            auto *b = qobject_cast<CommandButton *>(w);
            if (row.repeat == Repeat::None) {
                connect(b, &QPushButton::clicked, this, [this, &row] { engine_.clickCommand(row); });
            } else {
                connect(b, &CommandButton::mousePressed, this, [this, &row] { engine_.pressHeldButton(row); });
                connect(b, &CommandButton::mouseReleased, this, [this, &row] { engine_.releaseHeldButton(row); });
            }
        }
    }

    // The tab order over every control built so far.
    QList<std::pair<int, QWidget *>> tabOrder;
    for (const DesignedControl &c : designedControls()) {
        QWidget *w = controls_.value(QString::fromLatin1(c.name));
        if (w && w->focusPolicy() != Qt::NoFocus)
            tabOrder.append({c.tab, w});
    }
    std::stable_sort(tabOrder.begin(), tabOrder.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        QWidget::setTabOrder(tabOrder[i - 1].second, tabOrder[i].second);

    auto find = [this](const char *name) { return controls_.value(QString::fromLatin1(name)); };
    if (lowerPart) {
        rxd_ = qobject_cast<QLabel *>(find("Label12"));
        status_ = qobject_cast<QLabel *>(find("Label22"));
        commandBox_ = qobject_cast<QLineEdit *>(find("Text1"));
        connect(qobject_cast<QPushButton *>(find("Command95")), &QPushButton::clicked, this, &PanelWindow::sendCommandLine);
        connect(qobject_cast<QPushButton *>(find("Command96")), &QPushButton::clicked, this, &PanelWindow::clearCommandLine);
        // The devices' look-ups for the tool tips wait too; a tool tip that
        // comes up asks again anyway.
        updatePortToolTips();
        emit completed();
        return;
    }
    if (!tabOrder.isEmpty())
        tabOrder.first().second->setFocus();
    txd_ = qobject_cast<QLabel *>(find("Label11"));
    portPanel_ = qobject_cast<QFrame *>(find("Frame8"));
    dataButton_ = qobject_cast<CommandButton *>(find("Command34"));
    com1_ = qobject_cast<QRadioButton *>(find("Option1"));
    com2_ = qobject_cast<QRadioButton *>(find("Option2"));
    speed19200_ = qobject_cast<QRadioButton *>(find("Option9"));
    speed9600_ = qobject_cast<QRadioButton *>(find("Option10"));
    // Each pair is a group of its own. Left to the widgets, the speed options
    // (in a frame inside the port panel) would count as the ports'
    // neighbours too, and a click on the port already marked would unmark it.
    for (auto [first, second] : {std::pair{com1_, com2_}, std::pair{speed19200_, speed9600_}}) {
        auto *group = new QButtonGroup(first->parentWidget());
        group->addButton(first);
        group->addButton(second);
    }
    picture_ = qobject_cast<ImageControl *>(find("Image1"));
}

QWidget *PanelWindow::createControl(const DesignedControl &c, QWidget *parentWidget)
{
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
        // Read as the BMP it is: left to guess, the reader would first load
        // every image format plugin to ask each whether it reads BMP.
        QImageReader reader(QStringLiteral(":/image1.bmp"), "bmp");
        reader.setAutoDetectImageFormat(false);
        img->setPixmap(QPixmap::fromImage(reader.read()));
        img->setScaledContents(false);
        w = img;
        break;
    }
    }
    w->setObjectName(QString::fromLatin1(c.name));
    // What a screen reader says: the caption alone often says little
    // ("+", "ON", an arrow) without the group title beside it.
    if (c.command || c.spoken)
        w->setAccessibleName(spokenName(c));
    if (c.face != Face::None)
        w->setFont(makeFont(fonts_, c.face, c.pointSize100, c.bold));
    if (c.kind == Kind::Image)
        w->setGeometry(px(c.left), px(c.top), w->sizeHint().width(), w->sizeHint().height());
    else
        w->setGeometry(px(c.left), px(c.top), px(c.width), px(c.height));
    if (c.hiddenAtCreation)
        w->hide();
    const bool takesFocus = c.kind == Kind::Button || c.kind == Kind::Option || c.kind == Kind::TextBox;
    w->setFocusPolicy(takesFocus ? Qt::StrongFocus : Qt::NoFocus);
    controls_.insert(w->objectName(), w);
    return w;
}

void PanelWindow::bindControls()
{
    auto button = [this](const char *name) { return qobject_cast<CommandButton *>(controls_.value(QString::fromLatin1(name))); };
    connect(button("Command16"), &QPushButton::clicked, this, &PanelWindow::end);
    connect(button("Command33"), &QPushButton::clicked, this, &PanelWindow::showPortPanel);
    connect(dataButton_, &QPushButton::clicked, this, &PanelWindow::toggleDataDisplay);

    // An option's handler runs on every click, also on the option already
    // selected: that is how a port is opened again after it was lost.
    connect(com1_, &QRadioButton::clicked, this, [this] { choosePort(1); });
    connect(com2_, &QRadioButton::clicked, this, [this] { choosePort(2); });
    connect(speed19200_, &QRadioButton::clicked, this, [this] { chooseSpeed(QStringLiteral("19200,N,8,1")); });
    connect(speed9600_, &QRadioButton::clicked, this, [this] { chooseSpeed(QStringLiteral("9600,N,8,1")); });
    // A right-click on a port offers another device for it.
    for (int port : {1, 2}) {
        QRadioButton *option = portOption(port);
        option->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(option, &QWidget::customContextMenuRequested, this, [this, option, port](const QPoint &at) {
            QMenu menu(this);
            const QAction *device = menu.addAction(QStringLiteral("Device for COM%1…").arg(port));
            if (menu.exec(option->mapToGlobal(at)) == device)
                chooseDevice(port);
        });
    }

    connect(picture_, &ImageControl::doubleClicked, this, &PanelWindow::openFullHeight);
    connect(portPanelTimer_, &IntervalTimer::tick, this, &PanelWindow::hidePortPanel);

    connect(line_, &PortLine::opened, this, &PanelWindow::portOpened);
    connect(line_, &PortLine::openFailed, this, &PanelWindow::portFailed);
    engine_.setLine(line_);
    connect(&engine_, &ExchangeEngine::displayChanged, this, &PanelWindow::showLine);
    connect(&engine_, &ExchangeEngine::linkLost, this, &PanelWindow::warnLinkLost);
}

void PanelWindow::showLine(DisplayLine line, const QString &text)
{
    switch (line) {
    case DisplayLine::Txd: setDisplayText(txd_, text); break;
    case DisplayLine::Rxd: setDisplayText(rxdLine(), text); break;
    case DisplayLine::Status: statusLine()->setText(text); break;
    }
}

// --- window height -----------------------------------------------------------

int PanelWindow::heightTwips() const
{
    // The last height set reads back exactly while the window still has it;
    // a height changed some other way is read from the pixels.
    if (height() == heightPixels_)
        return heightTwips_;
    return (height() + frameExtent().height()) * kTwipsPerPixel;
}

void PanelWindow::setHeightTwips(int twips)
{
    if (twips > kStartHeightTwips)
        completeWindow();
    frameSeen_ = frameExtent();
    const int client = std::max(1, px(twips) - frameSeen_.height());
    setFixedHeight(client);
    heightTwips_ = twips;
    heightPixels_ = client;
}

// How much wider and taller the window is with its frame (title bar and
// borders) than its client area; nothing until the frame is known.
QSize PanelWindow::frameExtent() const { return frameGeometry().size() - size(); }

bool PanelWindow::event(QEvent *event)
{
    // The lower parts are built once the first frame is out, before anything
    // else the event loop has to do.
    if (event->type() == QEvent::Paint && !complete_ && !completing_) {
        completing_ = true;
        QMetaObject::invokeMethod(this, &PanelWindow::completeWindow, Qt::QueuedConnection);
    }
    const bool handled = QWidget::event(event);
    // A window manager frames the window right after it is shown; where
    // none does, a frame that comes much later (a window manager started
    // then) no longer moves the window.
    if (event->type() == QEvent::Show && centreOnFrame_)
        QTimer::singleShot(kFrameWaitMs, this, [this] { centreOnFrame_ = false; });
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
void PanelWindow::followFrame()
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

bool PanelWindow::startUp()
{
    startupError_.clear();
    centre();
    centreOnFrame_ = true;
    setHeightTwips(kStartHeightTwips);

    setPort(1);
    // Nothing of the window runs yet: the wait for a device server has only
    // the line's own events to handle.
    startingUp_ = true;
    bool ok = line_->setSettings(QStringLiteral("19200,N,8,1")) && line_->open() && line_->finishOpening();
    // COM1 is then marked, which runs its choice as a click would: a serial
    // port is closed and opened again, the panel hidden. A device server
    // keeps its one connection: a second right after the first could find
    // the server still busy with the first.
    if (ok && !line_->isDeviceServer()) {
        line_->close();
        ok = line_->open();
    }
    startingUp_ = false;
    if (!ok) {
        startupError_ = line_->errorText();
        return false;
    }
    com1_->setChecked(true);
    portPanel_->setVisible(false);
    return true;
}

bool PanelWindow::setPort(int port)
{
    if (!line_->setDevice(devices_.deviceFor(port), devices_.label(port)))
        return false;
    portNumber_ = port;
    return true;
}

// Centres the window with the designed size and the frame as far as it is
// known; the top edge stays where a window of the designed height would be
// centred, and may be negative on a small screen.
void PanelWindow::centre()
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

void PanelWindow::end()
{
    line_->close();
    ended_ = true;
    engine_.stop();
    portPanelTimer_->setEnabled(false);
    close();
    endProgram();
}

// --- data panel and keyboard -----------------------------------------------------

bool PanelWindow::eventFilter(QObject *watched, QEvent *event)
{
    // Nothing a person does finds the window without its lower parts: a key
    // could move the focus there or open them, a click reveal them.
    if (!complete_) {
        switch (event->type()) {
        case QEvent::ShortcutOverride:
        case QEvent::KeyPress:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::TouchBegin:
        case QEvent::Wheel:
            if (watched->isWidgetType() && static_cast<QWidget *>(watched)->window() == this)
                completeWindow();
            break;
        default:
            break;
        }
    }
    // Key preview: the window sees each key press before the control that
    // has the focus, and passes it on.
    if (event->type() == QEvent::KeyPress && !ended_) {
        QWidget *target = QApplication::focusWidget();
        if (!target)
            target = this;
        if (watched == target && target->window() == this) {
            const auto *key = static_cast<QKeyEvent *>(event);
            keyDown(key->key(), key->modifiers());
        }
    }
    // A tool tip names the device as it is now: a stable name may lead elsewhere.
    if (event->type() == QEvent::ToolTip && (watched == com1_ || watched == com2_))
        updatePortToolTips();
    return QWidget::eventFilter(watched, event);
}

void PanelWindow::keyDown(int key, Qt::KeyboardModifiers modifiers)
{
    // Ctrl alone with H: not with Shift or Alt as well.
    const auto held = modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    if (held == Qt::ControlModifier && key == Qt::Key_H) {
        setHeightTwips(kPanelHeightTwips);
        fullHeightOffered_ = true;
        dataButton_->setText(QLatin1String(kDataCloseCaption));
        dataButton_->setVisible(true);
    }
}

void PanelWindow::openFullHeight()
{
    if (!fullHeightOffered_)
        return;
    setHeightTwips(kFullHeightTwips);
    dataButton_->setText(QLatin1String(kDataCloseCaption));
    dataButton_->setVisible(true);
}

void PanelWindow::toggleDataDisplay()
{
    portPanelTimer_->setEnabled(false);
    fullHeightOffered_ = false;
    if (heightTwips() >= kTallHeightTwips) {
        setHeightTwips(kStartHeightTwips);
        dataButton_->setText(QString::fromUtf8(kDataShowCaption));
    } else {
        setHeightTwips(kDataHeightTwips);
        dataButton_->setText(QString::fromUtf8(kDataHideCaption));
    }
    portPanelTimer_->setEnabled(true);
}

}  // namespace qm25
