#pragma once
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

namespace qm25 {

// A push button that also reports presses and releases of any mouse button,
// the right one included. The release comes back to the button wherever the
// pointer is, because the button holds the mouse while pressed.
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
};

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
class IntervalTimer : public QObject {
    Q_OBJECT
public:
    IntervalTimer(const QString &name, int interval, QObject *parent);
    int Interval() const { return timer_.interval(); }
    void setInterval(int ms) { timer_.setInterval(ms); }
    bool Enabled() const { return timer_.isActive(); }
    void setEnabled(bool on);
    // Milliseconds until the next tick, or -1 when stopped.
    int remainingTime() const { return timer_.remainingTime(); }
signals:
    void Timer();
private:
    QTimer timer_;
};

}  // namespace qm25
