#pragma once
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <optional>

namespace qm25 {

// A push button that also reports presses and releases of any mouse button,
// the right one included. The release comes back to the button wherever the
// pointer is, because the button holds the mouse while pressed.
//
// A click's command goes out before the button is drawn released: the
// button's new look is painted with the next paint of the window, not in
// the middle of the press or release.
class CommandButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    // The caption as painted: wrapped onto more lines when it is wider
    // than the button.
    QString displayedCaption() const;
signals:
    void MouseDown(Qt::MouseButton button);
    void MouseUp(Qt::MouseButton button);
protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
private:
    // The wrapped caption is measured once for each caption, width and font,
    // not on every paint.
    mutable QString wrappedFor_, wrapped_;
    mutable int wrappedWidth_ = -1;
    mutable std::optional<QFontMetrics> wrappedMetrics_;
};

// Sets the text of a display line (TXD, RXD). A text far longer than the
// line can show keeps every character in the label, but is painted from the
// part that shows: laying out tens of thousands of characters on every
// paint would hold up the window while a device streams.
void setDisplayText(QLabel *line, const QString &text);

// The picture in the top row; reports double-clicks.
class ImageControl : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void DblClick();
protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
};

// A straight line drawn on the window; decoration only.
class LineControl : public QWidget {
    Q_OBJECT
public:
    LineControl(QPoint from, QPoint to, QColor colour, int width, QWidget *parent);
    QPoint from() const { return from_; }
    QPoint to() const { return to_; }
protected:
    void paintEvent(QPaintEvent *event) override;
private:
    QPoint from_, to_;
    QColor colour_;
    int width_;
};

// An interval timer in milliseconds, stopped until enabled.
//
// Enabling a timer that already runs restarts its count, and so does a new
// interval set while it runs: every send gives its own command the whole
// reply time-out and display clear, instead of a remainder left over from
// the command before it.
//
// On Linux the ticks come from a timer file descriptor, which wakes the
// event loop when the tick falls due. A QTimer (the fallback) wakes it
// through the loop's poll time-out, which the GLib event loop counts in
// whole milliseconds: each tick would come up to a millisecond late, and a
// 5 ms repeat would wobble by a fifth of its period.
class IntervalTimer : public QObject {
    Q_OBJECT
public:
    IntervalTimer(const QString &name, int interval, QObject *parent);
    ~IntervalTimer() override;
    int Interval() const { return interval_; }
    void setInterval(int ms);
    bool Enabled() const;
    void setEnabled(bool on);
    // Milliseconds until the next tick, or -1 when stopped.
    int remainingTime() const;
signals:
    void Timer();
private:
    void expired();
    int interval_;
    bool running_ = false;
    int fd_ = -1;                        // timer file descriptor, -1: QTimer instead
    QSocketNotifier *notifier_ = nullptr;
    QTimer timer_;
};

}  // namespace qm25
