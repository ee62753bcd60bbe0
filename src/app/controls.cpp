#include "app/controls.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QStyleOption>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <algorithm>
#include <cstdint>


namespace qm25 {
namespace {

// The push button draws itself at once when it is pressed and again when it
// is released, and only then emits clicked(). Run with its updates held
// back, the drawing is queued instead and done with the window's next
// paint, so a click's command is not kept waiting for it.
template <class Handler> void withQueuedRepaint(QWidget *button, Handler handle)
{
    if (!button->updatesEnabled()) {
        handle();
        return;
    }
    const QPointer<QWidget> guard(button);
    button->setUpdatesEnabled(false);
    handle();
    if (guard)
        button->setUpdatesEnabled(true);  // queues the repaint
}

}  // namespace

void CommandButton::mousePressEvent(QMouseEvent *event)
{
    emit mousePressed(event->button());
    if (event->button() == Qt::LeftButton)
        withQueuedRepaint(this, [&] { QPushButton::mousePressEvent(event); });
    else
        event->accept();
}

void CommandButton::mouseReleaseEvent(QMouseEvent *event)
{
    emit mouseReleased(event->button());
    if (event->button() == Qt::LeftButton)
        withQueuedRepaint(this, [&] { QPushButton::mouseReleaseEvent(event); });
    else
        event->accept();
}

QString CommandButton::displayedCaption() const
{
    const QString caption = text();
    const int room = width() - 6;
    const QFontMetrics fm = fontMetrics();
    if (room == wrappedWidth_ && caption == wrappedFor_ && wrappedMetrics_ && *wrappedMetrics_ == fm)
        return wrapped_;
    wrappedFor_ = caption;
    wrappedWidth_ = room;
    wrappedMetrics_ = fm;
    if (fm.horizontalAdvance(caption) <= room)
        return wrapped_ = caption;
    // Break at blanks; a caption without blanks (Japanese) breaks between
    // any two characters.
    const bool byWords = caption.contains(QLatin1Char(' '));
    const QStringList pieces = byWords ? caption.split(QLatin1Char(' ')) : caption.split(QString(), Qt::SkipEmptyParts);
    const QString glue = byWords ? QStringLiteral(" ") : QString();
    QString wrapped, line;
    for (const QString &piece : pieces) {
        const QString candidate = line.isEmpty() ? piece : line + glue + piece;
        if (!line.isEmpty() && fm.horizontalAdvance(candidate) > room) {
            wrapped += line + QLatin1Char('\n');
            line = piece;
        } else {
            line = candidate;
        }
    }
    return wrapped_ = wrapped + line;
}

namespace {

// One palette for each colour scheme of the buttons. The style keeps each
// button face it draws for the palette, size and state, but each button's
// own palette is a palette of its own to it even where the colours are the
// same: buttons of one colour painted with one palette share their faces.
QPalette sharedPalette(const QPalette &own)
{
    static QList<QPalette> palettes;
    QPalette shared = own;
    if (const auto found = std::find(palettes.cbegin(), palettes.cend(), own); found != palettes.cend())
        shared = *found;
    else if (palettes.size() < 64)
        palettes.append(own);
    shared.setCurrentColorGroup(own.currentColorGroup());
    return shared;
}

}  // namespace

void CommandButton::paintEvent(QPaintEvent *)
{
    QStylePainter p(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text = displayedCaption();
    option.palette = sharedPalette(option.palette);
    p.drawControl(QStyle::CE_PushButton, option);
}

// --- display lines -------------------------------------------------------------

namespace {

// Texts up to this length are painted by the label itself; a display line is
// a few hundred pixels wide and shows far fewer characters.
constexpr qsizetype kLongLine = 256;

// Whether the first character of the text with a strong direction reads left
// to right; the label takes the text's direction from that character.
bool startsLeftToRight(QStringView text)
{
    for (const QChar c : text) {
        switch (c.direction()) {
        case QChar::DirL:
            return true;
        case QChar::DirR:
        case QChar::DirAL:
            return false;
        default:
            break;
        }
    }
    return false;
}

// QFrame::drawFrame, which QLabel::paintEvent calls, is protected.
struct FrameAccess : QFrame {
    using QFrame::drawFrame;
};

// Paints a long single-line plain text of a left-aligned label as the label
// does, but lays out only the characters that reach into the label; the rest
// would be clipped away. The cut is found from the advances of the single
// characters, with a quarter of the width and some pixels to spare for
// kerning, so it always lies beyond the right edge. Texts with characters
// other than printable ASCII are left to the label.
//
// It also tells which characters its last paint drew (settledPart()) when
// every text that starts with them paints the same: the receive buffer grows
// at its end, far to the right of what the RXD line shows.
class VisiblePartPainter : public QObject {
public:
    static constexpr const char *kName = "qm25VisiblePartPainter";
    explicit VisiblePartPainter(QLabel *line) : QObject(line)
    {
        setObjectName(QLatin1String(kName));
        line->installEventFilter(this);
    }
    const QString &settledPart() const { return settled_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Paint || watched != parent())
            return false;
        settled_.clear();
        auto *line = static_cast<QLabel *>(watched);
        const QString text = line->text();
        if (text.size() <= kLongLine || line->textFormat() != Qt::PlainText || line->wordWrap()
            || !line->styleSheet().isEmpty() || !qApp->styleSheet().isEmpty() || text.isRightToLeft())
            return false;
        const int margin = line->margin();
        QRect shown = line->contentsRect().adjusted(margin, margin, -margin, -margin);
        const Qt::Alignment align = QStyle::visualAlignment(Qt::LeftToRight, line->alignment());
        if (!(align & Qt::AlignLeft))
            return false;
        const QFontMetrics fm = line->fontMetrics();
        int indent = line->indent();
        if (indent < 0 && line->frameWidth())
            indent = fm.horizontalAdvance(QLatin1Char('x')) / 2 - margin;
        if (indent > 0) {
            shown.setLeft(shown.left() + indent);
            if (align & Qt::AlignTop)
                shown.setTop(shown.top() + indent);
            if (align & Qt::AlignBottom)
                shown.setBottom(shown.bottom() - indent);
        }

        if (!advancesFor_ || !(*advancesFor_ == fm)) {
            for (char16_t c = 0x20; c < 0x7F; ++c)
                advances_[c - 0x20] = fm.horizontalAdvance(QChar(c));
            advancesFor_ = fm;
        }
        const qsizetype past = qsizetype(shown.width()) + shown.width() / 4 + 16;
        qsizetype width = 0, count = 0;
        while (count < text.size() && width <= past) {
            const char16_t c = text.at(count).unicode();
            if (c < 0x20 || c >= 0x7F)
                return false;
            width += advances_[c - 0x20];
            ++count;
        }

        const QString part = text.left(count);
        // Cut before the end, and with the direction decided inside the part:
        // then a text that starts with the part is cut at the same place.
        if (count < text.size() && startsLeftToRight(part))
            settled_ = part;

        QPainter painter(line);
        void (QFrame::*drawFrame)(QPainter *) = &FrameAccess::drawFrame;
        (line->*drawFrame)(&painter);
        QStyleOption option;
        option.initFrom(line);
        line->style()->drawItemText(&painter, shown, int(align) | Qt::TextForceLeftToRight, option.palette,
                                    line->isEnabled(), part, line->foregroundRole());
        return true;
    }

private:
    QString settled_;
    std::optional<QFontMetrics> advancesFor_;
    int advances_[0x7F - 0x20] = {};
};

}  // namespace

void setDisplayText(QLabel *line, const QString &text)
{
    if (text.size() <= kLongLine) {
        line->setText(text);
        return;
    }
    auto *painter = static_cast<VisiblePartPainter *>(
        line->findChild<QObject *>(QLatin1String(VisiblePartPainter::kName), Qt::FindDirectChildrenOnly));
    if (!painter)
        painter = new VisiblePartPainter(line);
    const QString &settled = painter->settledPart();
    if (!settled.isEmpty() && line->updatesEnabled() && text.startsWith(settled) && line->text().startsWith(settled)) {
        // Only characters beyond the right edge change, and the line would be
        // painted exactly as it is: the text is set without asking for a
        // repaint. Any repaint asked for by something else still comes.
        line->setAttribute(Qt::WA_UpdatesDisabled, true);
        line->setText(text);
        line->setAttribute(Qt::WA_UpdatesDisabled, false);
        return;
    }
    line->setText(text);
}

// --- picture and lines ---------------------------------------------------------

void ImageControl::mouseDoubleClickEvent(QMouseEvent *event)
{
    emit doubleClicked();
    event->accept();
}

LineControl::LineControl(QPoint from, QPoint to, QColor colour, int width, QWidget *parent)
    : QWidget(parent), from_(from), to_(to), colour_(colour), width_(width)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    const int half = width / 2;
    const QRect box = QRect(from, to).normalized().adjusted(-half, -half, half, half);
    setGeometry(box);
}

void LineControl::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setPen(QPen(colour_, width_, Qt::SolidLine, Qt::FlatCap));
    const QPoint origin = geometry().topLeft();
    p.drawLine(from_ - origin, to_ - origin);
}

}  // namespace qm25
