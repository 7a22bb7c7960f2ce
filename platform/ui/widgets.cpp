// Painting and operator input of the custom controls.
#include "platform/ui/widgets.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QValidator>
#include <QWheelEvent>
#include <QtMath>

namespace {

// The knob sweeps 270 degrees: position 0 at 225 degrees (lower left),
// the last at -45 degrees (lower right), counting counter-clockwise from 3 o'clock.
constexpr double SWEEP_START = 225.0;
constexpr double SWEEP = 270.0;

double angleOf(int position, int count)
{
    return count > 1 ? SWEEP_START - SWEEP * position / (count - 1) : 90.0;
}

QPointF onCircle(QPointF centre, double radius, double degrees)
{
    double rad = qDegreesToRadians(degrees);
    return centre + QPointF(radius * std::cos(rad), -radius * std::sin(rad));
}


int arrowKeyStep(int key)
{
    switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Right:
        return 1;
    case Qt::Key_Down:
    case Qt::Key_Left:
        return -1;
    default:
        return 0;
    }
}

// Emits `stepped` once per whole notch, each a step of one.
template <typename Signal>
void stepByNotches(int notches, Signal stepped)
{
    for (int k = 0; k < std::abs(notches); k++)
        stepped(notches > 0 ? 1 : -1);
}

} // namespace

int WheelNotches::take(const QWheelEvent *e)
{
    enum { NOTCH = 120 };  // units of angle in one notch (an eighth of a degree each)
    rest_ += e->angleDelta().y();
    const int notches = rest_ / NOTCH;  // toward zero: the rest keeps its sign
    rest_ -= notches * NOTCH;
    return notches;
}

// ---- Dial

Dial::Dial(int positions, QColor face, QColor pointer, QWidget *parent)
    : QWidget(parent), count_(positions), face_(face), pointer_(pointer)
{
    setFocusPolicy(Qt::StrongFocus);
}

void Dial::setPosition(int p)
{
    p = qBound(0, p, count_ - 1);
    if (p != pos_) {
        pos_ = p;
        update();
    }
}

void Dial::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    const QPointF c = r.center();
    const double outer = std::min(r.width(), r.height()) / 2;
    const double knob = outer - 7;

    // Scale: one tick per position around the knob.
    p.setPen(QPen(isEnabled() ? Qt::black : Qt::gray, 1));
    for (int k = 0; k < count_; k++) {
        double a = angleOf(k, count_);
        p.drawLine(onCircle(c, knob + 2, a), onCircle(c, outer, a));
    }

    // Knob body with a little relief.
    QRadialGradient g(c - QPointF(knob / 3, knob / 3), knob * 1.6);
    g.setColorAt(0, face_.lighter(125));
    g.setColorAt(1, face_.darker(130));
    p.setBrush(g);
    p.setPen(QPen(face_.darker(170), 1));
    p.drawEllipse(c, knob, knob);

    // Pointer.
    double a = angleOf(pos_, count_);
    QColor ptr = isEnabled() ? pointer_ : pointer_.darker(140);
    p.setPen(QPen(QColor(0, 0, 0, 140), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(onCircle(c, knob * 0.25, a), onCircle(c, knob - 3, a));
    p.setPen(QPen(ptr, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(onCircle(c, knob * 0.25, a), onCircle(c, knob - 3, a));

    if (hasFocus()) {
        p.setPen(QPen(palette().highlight().color(), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(c, outer, outer);
    }
}

int Dial::positionAt(QPointF at) const
{
    const QPointF d = at - QRectF(rect()).center();
    double deg = qRadiansToDegrees(std::atan2(-d.y(), d.x()));  // -180..180, ccw from 3 o'clock
    // Angle travelled clockwise from the start of the sweep.
    double along = SWEEP_START - deg;
    while (along < 0)
        along += 360;
    while (along >= 360)
        along -= 360;
    if (along > SWEEP)  // in the gap at the bottom: the nearer end
        along = along > SWEEP + (360 - SWEEP) / 2 ? 0 : SWEEP;
    return count_ > 1 ? qRound(along / SWEEP * (count_ - 1)) : 0;
}

void Dial::mousePressEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton)
        return;
    dragFrom_ = pos_;
    setPosition(positionAt(e->position()));
}

void Dial::mouseMoveEvent(QMouseEvent *e)
{
    if (dragFrom_ >= 0)
        setPosition(positionAt(e->position()));
}

void Dial::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton || dragFrom_ < 0)
        return;
    setPosition(positionAt(e->position()));
    dragFrom_ = -1;
    // Even where it started: the value shown may be none of the items, the
    // pointer only resting on the nearest one.
    emit dragged(pos_);
}

void Dial::wheelEvent(QWheelEvent *e)
{
    stepByNotches(wheel_.take(e), [this](int s) { emit stepped(s); });
    e->accept();
}

void Dial::keyPressEvent(QKeyEvent *e)
{
    if (int s = arrowKeyStep(e->key()))
        emit stepped(s);
    else
        QWidget::keyPressEvent(e);
}

// ---- ArrowPair

ArrowPair::ArrowPair(QColor frame, QWidget *parent) : QWidget(parent), frame_(frame)
{
    setFocusPolicy(Qt::NoFocus);
}

void ArrowPair::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int h = height() / 2;
    const QRect halves[2] = {QRect(0, 0, width(), h), QRect(0, h, width(), height() - h)};
    for (int k = 0; k < 2; k++) {
        const QRect &r = halves[k];
        const bool down = pressed_ == (k == 0 ? 1 : -1);
        p.setPen(frame_.darker(down ? 160 : 120));
        p.setBrush(down ? frame_.darker(115) : frame_);
        p.drawRect(r.adjusted(0, 0, -1, -1));
        // Triangle pointing up (top half) or down (bottom half).
        const double cx = r.center().x() + 0.5, w = std::max(2.0, r.width() / 2.0 - 1);
        const double top = r.top() + r.height() * 0.3, bottom = r.bottom() - r.height() * 0.3 + 1;
        QPainterPath tri;
        if (k == 0) {
            tri.moveTo(cx, top);
            tri.lineTo(cx + w, bottom);
            tri.lineTo(cx - w, bottom);
        } else {
            tri.moveTo(cx - w, top);
            tri.lineTo(cx + w, top);
            tri.lineTo(cx, bottom);
        }
        tri.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(isEnabled() ? Qt::black : Qt::gray);
        p.drawPath(tri);
    }
}

void ArrowPair::mousePressEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton) {
        pressed_ = e->position().y() < height() / 2 ? 1 : -1;
        update();
    }
}

void ArrowPair::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() != Qt::LeftButton || !pressed_)
        return;
    int step = pressed_;
    pressed_ = 0;
    update();
    if (rect().contains(e->position().toPoint()))
        emit stepped(step);
}

// ---- ItemBox

ItemBox::ItemBox(QColor box, QColor frame, QWidget *parent)
    : QWidget(parent), box_(box), frame_(frame), textColour_(Qt::black)
{
}

void ItemBox::setText(const QString &t)
{
    if (t != text_) {
        text_ = t;
        update();
    }
}

void ItemBox::setTextColour(QColor c)
{
    textColour_ = c;
    update();
}

void ItemBox::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setPen(frame_.darker(130));
    p.setBrush(box_);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.setPen(isEnabled() ? textColour_ : palette().color(QPalette::Disabled, QPalette::WindowText));
    p.drawText(rect(), Qt::AlignCenter, text_);
    if (hasFocus()) {
        p.setPen(QPen(palette().highlight().color(), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(1, 1, -2, -2));
    }
}

void ItemBox::keyPressEvent(QKeyEvent *e)
{
    if (int s = arrowKeyStep(e->key()))
        emit stepped(s);
    else
        QWidget::keyPressEvent(e);
}

void ItemBox::wheelEvent(QWheelEvent *e)
{
    if (focusPolicy() != Qt::NoFocus)
        stepByNotches(wheel_.take(e), [this](int s) { emit stepped(s); });
    e->accept();
}

// ---- Led

Led::Led(QColor on, QColor off, QColor frame, QWidget *parent)
    : QWidget(parent), on_(on), off_(off), frame_(frame)
{
}

void Led::setLit(bool lit)
{
    if (lit != lit_) {
        lit_ = lit;
        update();
    }
}

void Led::setOnColour(QColor c)
{
    on_ = c;
    update();
}

void Led::setOffColour(QColor c)
{
    off_ = c;
    update();
}

void Led::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    const QColor c = lit_ ? on_ : off_;
    QRadialGradient g(r.center() - QPointF(r.width() / 5, r.height() / 5), r.width() * 0.7);
    g.setColorAt(0, c.lighter(lit_ ? 160 : 115));
    g.setColorAt(1, c);
    p.setBrush(g);
    p.setPen(QPen(frame_.darker(150), 1));
    p.drawEllipse(r);
}

// ---- ToggleSwitch

ToggleSwitch::ToggleSwitch(QColor body, QWidget *parent) : QWidget(parent), body_(body)
{
    setFocusPolicy(Qt::StrongFocus);
}

void ToggleSwitch::setOn(bool on)
{
    if (on != on_) {
        on_ = on;
        update();
    }
}

void ToggleSwitch::flipTo(bool on)
{
    if (on == on_)
        return;
    setOn(on);
    emit toggled(on_);
}

void ToggleSwitch::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    // Body plate and the slot the lever moves in.
    p.setPen(QPen(body_.darker(170), 1));
    p.setBrush(body_);
    p.drawRoundedRect(r, 2, 2);
    const QRectF slot(r.center().x() - r.width() / 4, r.top() + 3, r.width() / 2, r.height() - 6);
    p.setBrush(QColor(60, 60, 60));
    p.drawRoundedRect(slot, 1.5, 1.5);
    // The lever: a knob at the top (On) or bottom (Off) of the slot.
    const double knob = r.width() - 4;
    const double y = on_ ? r.top() + 2 : r.bottom() - 2 - knob;
    QRectF lever(r.center().x() - knob / 2, y, knob, knob);
    QLinearGradient g(lever.topLeft(), lever.bottomRight());
    g.setColorAt(0, isEnabled() ? QColor(250, 250, 250) : QColor(210, 210, 210));
    g.setColorAt(1, QColor(150, 150, 150));
    p.setBrush(g);
    p.setPen(QPen(QColor(80, 80, 80), 1));
    p.drawEllipse(lever);
    if (hasFocus()) {
        p.setPen(QPen(palette().highlight().color(), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void ToggleSwitch::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()))
        flipTo(!on_);
}

void ToggleSwitch::keyPressEvent(QKeyEvent *e)
{
    switch (e->key()) {
    case Qt::Key_Space:
        flipTo(!on_);
        break;
    case Qt::Key_Up:
        flipTo(true);
        break;
    case Qt::Key_Down:
        flipTo(false);
        break;
    default:
        QWidget::keyPressEvent(e);
    }
}

// ---- NumericEdit

namespace {

// Up to nine ASCII digits, nothing else: what the field takes as typed. (A
// regular expression would do the same, at the cost of loading and running
// PCRE's compiler at start-up.)
class DigitsValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString &text, int &) const override
    {
        if (text.size() > 9)
            return Invalid;
        for (QChar c : text)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return Invalid;
        return Acceptable;
    }
};

} // namespace

NumericEdit::NumericEdit(QWidget *parent) : QLineEdit(parent)
{
    setValidator(new DigitsValidator(this));
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void NumericEdit::keyPressEvent(QKeyEvent *e)
{
    if (e->key() == Qt::Key_Up || e->key() == Qt::Key_Down)
        emit stepped(e->key() == Qt::Key_Up ? 1 : -1);
    else
        QLineEdit::keyPressEvent(e);
}

void NumericEdit::wheelEvent(QWheelEvent *e)
{
    if (hasFocus())
        stepByNotches(wheel_.take(e), [this](int s) { emit stepped(s); });
    e->accept();
}

// ---- CommandButton

void CommandButton::keyPressEvent(QKeyEvent *e)
{
    if (e->key() != Qt::Key_Return && e->key() != Qt::Key_Enter) {
        QPushButton::keyPressEvent(e);
        return;
    }
    // Held down, the key repeats: it still presses once.
    if (!e->isAutoRepeat())
        click();
    e->accept();
}
