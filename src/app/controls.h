#pragma once
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
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
    void mousePressed(Qt::MouseButton button);
    void mouseReleased(Qt::MouseButton button);
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
    void doubleClicked();
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

}  // namespace qm25
