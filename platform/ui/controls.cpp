// What a panel's controls do when operated, and the dispatch of their events
// to the program's callbacks.
#include "platform/ui/controls.h"

#include "platform/cp1250.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QElapsedTimer>
#include <algorithm>

namespace {

bool held;  // dispatch is held: a callback runs, or a pop-up is up

int itemIndex(const Control &c)
{
    for (qsizetype k = 0; k < c.items.size(); k++)
        if (c.items[k].value == c.value)
            return int(k);
    return -1;
}

} // namespace

DispatchHold::DispatchHold() : held_(held)
{
    held = true;
}

DispatchHold::~DispatchHold()
{
    held = held_;
}

bool DispatchHeld()
{
    return held;
}

void RaiseEvent(Panel *panel, Control *c, int event, bool evenWhenHeld, int eventData1)
{
    if (c->dimmed || !c->callback || (held && !evenWhenHeld))
        return;
    QElapsedTimer took;
    took.start();
    {
        DispatchHold busy;
        c->callback(panel->handle, c->id, event, c->callbackData, eventData1, 0);
    }
    // A tick that overran its interval leaves the operator one whole interval
    // before the next, rather than ticking again at once.
    if (c->timer && took.elapsed() >= c->timer->interval())
        c->timer->start();
}

void PanelWindow::closeEvent(QCloseEvent *e)
{
    // The window stays: closing is the close control's business.
    e->ignore();
    auto it = panel_->controls.find(panel_->closeCtrl);
    if (it != panel_->controls.end())
        RaiseEvent(panel_, &it->second, EVENT_COMMIT);
}

void AskForMenu(Panel *panel, Control *c, QPoint where)
{
    if (!c->hasMenu || c->dimmed || !c->callback || DispatchHeld())
        return;
    RaiseEvent(panel, c, EVENT_MENU_WANTED);
    if (c->menu.isEmpty() || c->dimmed)
        return;
    QMenu menu(panel->window);
    menu.setObjectName(c->constant + QStringLiteral("Menu"));
    for (qsizetype k = 0; k < c->menu.size(); k++) {
        QString text = c->menu[k];
        QAction *a = menu.addAction(text.replace(QLatin1Char('&'), QStringLiteral("&&")));
        a->setData(int(k));
        const int marks = c->menuMarks.value(k);
        a->setCheckable(marks & MENU_CHECKED);
        a->setChecked(marks & MENU_CHECKED);
        a->setEnabled(!(marks & MENU_DIMMED));
    }
    if (QAction *chosen = menu.exec(where))
        RaiseEvent(panel, c, EVENT_MENU, false, chosen->data().toInt());
}

namespace {

// Watches a control's widgets for the operator asking for its menu.
class MenuWatch : public QObject {
public:
    MenuWatch(Panel *panel, Control *c, QObject *parent) : QObject(parent), panel_(panel), c_(c) {}

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        auto *w = qobject_cast<QWidget *>(o);
        if (!w)
            return false;
        if (e->type() == QEvent::ContextMenu) {
            AskForMenu(panel_, c_, static_cast<QContextMenuEvent *>(e)->globalPos());
            return true;
        }
        if (e->type() == QEvent::KeyPress && w == c_->focus) {
            auto *k = static_cast<QKeyEvent *>(e);
            const auto mods = k->modifiers() & ~Qt::KeypadModifier;
            if ((k->key() == Qt::Key_Menu && mods == Qt::NoModifier) ||
                (k->key() == Qt::Key_F10 && mods == Qt::ShiftModifier)) {
                AskForMenu(panel_, c_, w->mapToGlobal(QPoint(0, w->height())));
                return true;
            }
        }
        return false;
    }

private:
    Panel *panel_;
    Control *c_;
};

} // namespace

void WatchForMenu(Panel *panel, Control *c)
{
    if (c->hasMenu)
        return;
    c->hasMenu = true;
    for (QWidget *w : c->parts) {
        w->setContextMenuPolicy(Qt::DefaultContextMenu);
        w->installEventFilter(new MenuWatch(panel, c, w));
    }
}

QPalette PanelPalette(QColor window)
{
    // Built from the panel's own colours alone: the style's standard palette
    // is the desktop theme's under a platform theme (GTK's dark Adwaita gives
    // near-white texts), so nothing is taken from it.
    const QColor black(Qt::black), white(Qt::white);
    QPalette pal;
    for (int r = 0; r < QPalette::NColorRoles; r++) {
        const auto role = QPalette::ColorRole(r);
        QColor c = window;
        switch (role) {
        case QPalette::WindowText: case QPalette::Text: case QPalette::ButtonText: case QPalette::ToolTipText:
            c = black;
            break;
        case QPalette::Base: case QPalette::BrightText: case QPalette::HighlightedText: c = white; break;
        case QPalette::AlternateBase: c = window.lighter(110); break;
        case QPalette::Light: c = window.lighter(150); break;
        case QPalette::Midlight: c = window.lighter(115); break;
        case QPalette::Mid: c = window.darker(130); break;
        case QPalette::Dark: c = window.darker(150); break;
        case QPalette::Shadow: c = window.darker(300); break;
        case QPalette::Highlight: c = QColor(0x30, 0x70, 0xC0); break;
        case QPalette::Link: c = QColor(0x00, 0x00, 0xE0); break;
        case QPalette::LinkVisited: c = QColor(0x80, 0x00, 0x80); break;
        case QPalette::ToolTipBase: c = QColor(0xFF, 0xFF, 0xDC); break;
        case QPalette::PlaceholderText: c = QColor(DIMMED_TEXT); break;
        default: break;
        }
        for (int g = 0; g < QPalette::NColorGroups; g++)
            pal.setColor(QPalette::ColorGroup(g), role, c);  // set: never taken from the desktop's
    }
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        pal.setColor(QPalette::Disabled, role, QColor(DIMMED_TEXT));
    return pal;
}

void PlaceLabel(QLabel *label, QRect where)
{
    const int need = label->fontMetrics().horizontalAdvance(label->text()) + 2;
    if (need > where.width())
        where.adjust(-(need - where.width()) / 2, 0, need - where.width() - (need - where.width()) / 2, 0);
    label->setGeometry(where);
}

void SetButtonText(QPushButton *button, const QString &text)
{
    enum { MARGIN = 8, SMALLEST = 8 };  // pixels the style keeps free; smallest font size
    QFont f = QApplication::font();
    if (f.pixelSize() < 0)
        f.setPixelSize(QFontInfo(f).pixelSize());
    while (f.pixelSize() > SMALLEST && QFontMetrics(f).horizontalAdvance(text) + MARGIN > button->width())
        f.setPixelSize(f.pixelSize() - 1);
    button->setFont(f);
    button->setText(text);
}

void ShowValue(Control &c)
{
    switch (c.kind) {
    case Kind::Toggle:
        c.toggle->setOn(c.value != 0);
        break;
    case Kind::Ring:
    case Kind::Knob: {
        // A value that is none of the items is shown as its number, the dial
        // pointing at the nearest item.
        int k = itemIndex(c);
        c.box->setText(k >= 0 ? c.items[k].label : QString::number(c.value));
        if (c.dial) {
            int nearest = 0;
            for (qsizetype n = 1; n < c.items.size(); n++)
                if (std::abs(c.items[n].value - c.value) < std::abs(c.items[nearest].value - c.value))
                    nearest = int(n);
            c.dial->setPosition(k >= 0 ? k : nearest);
        }
        break;
    }
    case Kind::Led:
        c.led->setLit(c.value != 0);
        break;
    case Kind::Numeric:
        c.edit->setText(QString::number(c.value));
        break;
    default:
        break;
    }
}

void StepControl(Panel *panel, Control *c, int delta)
{
    if (c->dimmed)
        return;
    int next = c->value;
    if (c->kind == Kind::Numeric) {
        // Stepping never leaves the range; from a value beyond it, stepping
        // further out does nothing and stepping back lands at its edge.
        long long v = (long long)c->value + (long long)delta * c->step;
        if (v > c->max)
            v = delta > 0 && c->value >= c->max ? c->value : c->max;
        if (v < c->min)
            v = delta < 0 && c->value <= c->min ? c->value : c->min;
        next = int(v);
    } else {
        // Up moves toward the greater values, whichever way the items are listed.
        const bool ascending = c->items.last().value >= c->items.first().value;
        const int dir = ascending ? delta : -delta;
        const int k = itemIndex(*c);
        if (k >= 0) {
            const int n = std::clamp(k + dir, 0, int(c->items.size()) - 1);
            next = c->items[n].value;
        } else {
            // Not on an item: the nearest item in the direction of the step.
            bool found = false;
            for (const Item &it : c->items) {
                const bool beyond = delta > 0 ? it.value > c->value : it.value < c->value;
                if (beyond && (!found || std::abs(it.value - c->value) < std::abs(next - c->value))) {
                    next = it.value;
                    found = true;
                }
            }
        }
    }
    if (next == c->value)
        return;
    c->value = next;
    ShowValue(*c);
    RaiseEvent(panel, c, c->kind == Kind::Numeric ? EVENT_VAL_CHANGED : EVENT_COMMIT);
}

void TurnKnob(Panel *panel, Control *c, int position)
{
    if (c->items[position].value == c->value)
        return;
    c->value = c->items[position].value;
    ShowValue(*c);
    RaiseEvent(panel, c, EVENT_COMMIT);
}

void FlipSwitch(Panel *panel, Control *c, bool on)
{
    c->value = on ? 1 : 0;
    RaiseEvent(panel, c, EVENT_COMMIT);
}

void CommitTyped(Panel *panel, Control *c)
{
    bool ok = false;
    const qlonglong typed = c->edit->text().toLongLong(&ok);
    if (!ok) {  // nothing typed: the value stands
        ShowValue(*c);
        return;
    }
    const int v = int(std::clamp<qlonglong>(typed, c->min, c->max));
    if (v == c->value) {
        ShowValue(*c);
        return;
    }
    c->value = v;
    ShowValue(*c);
    RaiseEvent(panel, c, EVENT_VAL_CHANGED);
}

QString FromCp1250(const char *bytes)
{
    QString s;
    if (!bytes)
        return s;
    for (const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes); *b; b++) {
        unsigned cp = cp1250::decode(*b);
        s.append(cp ? QChar(char16_t(cp)) : QChar::ReplacementCharacter);
    }
    return s;
}

QColor ColourOf(int rgb)
{
    return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

int RgbOf(QColor c)
{
    return (c.red() << 16) | (c.green() << 8) | c.blue();
}
