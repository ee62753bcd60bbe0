#include "app/controls.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

namespace qm25 {

void CommandButton::mousePressEvent(QMouseEvent *event)
{
    emit MouseDown(event->button());
    if (event->button() == Qt::LeftButton)
        QPushButton::mousePressEvent(event);
    else
        event->accept();
}

void CommandButton::mouseReleaseEvent(QMouseEvent *event)
{
    emit MouseUp(event->button());
    if (event->button() == Qt::LeftButton)
        QPushButton::mouseReleaseEvent(event);
    else
        event->accept();
}

QString CommandButton::displayedCaption() const
{
    const QString caption = text();
    const QFontMetrics fm = fontMetrics();
    const int room = width() - 6;
    if (fm.horizontalAdvance(caption) <= room)
        return caption;
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
    return wrapped + line;
}

void CommandButton::paintEvent(QPaintEvent *event)
{
    const QString shown = displayedCaption();
    if (shown == text()) {
        QPushButton::paintEvent(event);
        return;
    }
    QStylePainter p(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text = shown;
    p.drawControl(QStyle::CE_PushButton, option);
}

void ImageControl::mouseDoubleClickEvent(QMouseEvent *event)
{
    emit DblClick();
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

IntervalTimer::IntervalTimer(const QString &name, int interval, QObject *parent) : QObject(parent)
{
    setObjectName(name);
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(interval);
    connect(&timer_, &QTimer::timeout, this, &IntervalTimer::Timer);
}

void IntervalTimer::setEnabled(bool on)
{
    if (on)
        timer_.start();  // (re)starts the count with the current interval
    else
        timer_.stop();
}

}  // namespace qm25
