// The custom controls of a panel, each a small widget that paints itself and
// tells of one operator action by one signal. Values set from code never
// raise those signals.
#pragma once

#include <QColor>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

class QWheelEvent;

// Whole wheel notches (120 units of angle each, up positive) out of what a
// wheel reports: a high-resolution wheel or a touchpad reports parts of a
// notch, which add up until they make one.
class WheelNotches {
public:
    int take(const QWheelEvent *e);

private:
    int rest_ = 0;  // parts of a notch not yet stepped
};

// A round knob with one position per item, swept over 270 degrees by its
// pointer. Dragging moves the pointer and commits once on release;
// each whole wheel notch or arrow-key step commits at once.
class Dial : public QWidget {
    Q_OBJECT
public:
    Dial(int positions, QColor face, QColor pointer, QWidget *parent);
    int position() const { return pos_; }
    void setPosition(int p);  // from code: no signal
    int positions() const { return count_; }

signals:
    void stepped(int delta);        // arrow key or wheel notch
    void dragged(int newPosition);  // released after a press or drag, at this position

protected:
    void paintEvent(QPaintEvent *) override;
    void mousePressEvent(QMouseEvent *) override;
    void mouseMoveEvent(QMouseEvent *) override;
    void mouseReleaseEvent(QMouseEvent *) override;
    void wheelEvent(QWheelEvent *) override;
    void keyPressEvent(QKeyEvent *) override;

private:
    int positionAt(QPointF p) const;
    int count_;
    int pos_ = 0;
    int dragFrom_ = -1;  // position when the drag began, -1 when not dragging
    QColor face_, pointer_;
    WheelNotches wheel_;
};

// A pair of small arrow buttons stacked one above the other.
class ArrowPair : public QWidget {
    Q_OBJECT
public:
    ArrowPair(QColor frame, QWidget *parent);

signals:
    void stepped(int delta);  // +1 up, -1 down

protected:
    void paintEvent(QPaintEvent *) override;
    void mousePressEvent(QMouseEvent *) override;
    void mouseReleaseEvent(QMouseEvent *) override;

private:
    QColor frame_;
    int pressed_ = 0;  // +1 or -1 while an arrow is held
};

// A boxed one-line text: a ring's current item or a knob's digital display.
// When focusable it steps by arrow keys and wheel notches.
class ItemBox : public QWidget {
    Q_OBJECT
public:
    ItemBox(QColor box, QColor frame, QWidget *parent);
    void setText(const QString &t);
    QString text() const { return text_; }
    void setTextColour(QColor c);

signals:
    void stepped(int delta);

protected:
    void paintEvent(QPaintEvent *) override;
    void keyPressEvent(QKeyEvent *) override;
    void wheelEvent(QWheelEvent *) override;

private:
    QString text_;
    QColor box_, frame_, textColour_;
    WheelNotches wheel_;
};

// A round indicator lamp.
class Led : public QWidget {
    Q_OBJECT
public:
    Led(QColor on, QColor off, QColor frame, QWidget *parent);
    void setLit(bool lit);
    void setOnColour(QColor c);
    void setOffColour(QColor c);
    QColor onColour() const { return on_; }
    QColor offColour() const { return off_; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    bool lit_ = false;
    QColor on_, off_, frame_;
};

// A vertical toggle switch: lever up is On, down is Off. A click or the space
// bar flips it; the up and down arrow keys set it.
class ToggleSwitch : public QWidget {
    Q_OBJECT
public:
    ToggleSwitch(QColor body, QWidget *parent);
    void setOn(bool on);  // from code: no signal

signals:
    void toggled(bool on);  // the operator flipped it

protected:
    void paintEvent(QPaintEvent *) override;
    void mouseReleaseEvent(QMouseEvent *) override;
    void keyPressEvent(QKeyEvent *) override;

private:
    void flipTo(bool on);
    bool on_ = false;
    QColor body_;
};

// The numeric's text box: digits only; arrow keys and, while it has the
// focus, wheel notches step.
class NumericEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit NumericEdit(QWidget *parent);

signals:
    void stepped(int delta);

protected:
    void keyPressEvent(QKeyEvent *) override;
    void wheelEvent(QWheelEvent *) override;

private:
    WheelNotches wheel_;
};

// A command button: a click, Space, or Return or Enter while it has the
// focus presses it, once per press of the key.
class CommandButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

protected:
    void keyPressEvent(QKeyEvent *) override;
};
