// Building a panel from its layout: the JSON text made into controls, each
// bound to the callback the layout names among those the program bound.
#include "platform/ui/layout.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QShortcut>
#include <algorithm>
#include <map>
#include <string>

namespace {

// The layout format read here.
constexpr char FORMAT[] = "t483 layout 1";

struct LayoutError {
    int code;
    QString why;
};

[[noreturn]] void fail(int code, const QString &why)
{
    throw LayoutError{code, why};
}

QString where(const QJsonObject &c)
{
    return QStringLiteral("control '%1' (%2)").arg(c.value("constant").toString()).arg(c.value("id").toInt());
}

// [top, left, height, width] -> QRect
QRect rectOf(const QJsonObject &c, const char *key)
{
    const QJsonArray a = c.value(key).toArray();
    if (a.size() != 4)
        fail(UIE_BAD_FILE, where(c) + QStringLiteral(": '%1' is not [top, left, height, width]").arg(key));
    return QRect(a[1].toInt(), a[0].toInt(), a[3].toInt(), a[2].toInt());
}

// A colour written "0xRRGGBB"; `what` names it when it is not one.
QColor colourIn(const QJsonValue &v, const QString &what)
{
    bool ok = false;
    const uint rgb = v.toString().toUInt(&ok, 16);
    if (!ok)
        fail(UIE_BAD_FILE, what + QStringLiteral(" is not 0xRRGGBB"));
    return ColourOf(int(rgb));
}

QColor colourOf(const QJsonObject &c, const char *key, QColor dflt)
{
    const QJsonValue v = c.value("colours").toObject().value(key);
    if (v.isUndefined())
        return dflt;
    return colourIn(v, where(c) + QStringLiteral(": colour '%1'").arg(key));
}

// The callbacks layouts may name, by name: made on first use, so that
// static initialisers elsewhere may bind theirs.
std::map<std::string, CtrlCallbackPtr> &callbacks()
{
    static std::map<std::string, CtrlCallbackPtr> byName;
    return byName;
}

CtrlCallbackPtr resolve(const QJsonObject &c)
{
    const QJsonValue name = c.value("callback");
    if (name.isNull() || name.isUndefined())
        return nullptr;
    const auto it = callbacks().find(name.toString().toStdString());
    if (it == callbacks().end() || !it->second)
        fail(UIE_NO_CALLBACK, where(c) + QStringLiteral(": the program has no callback '%1'").arg(name.toString()));
    return it->second;
}

// A control being built from its layout entry `c`: the builder of its kind
// makes its widgets on the panel's window and wires them to what the
// operator does. The control is a copy until the panel takes it in.
struct Build {
    Panel *panel;
    QWidget *window;
    const QJsonObject &c;
    Control &ctrl;
    QColor text;  // the colour of the control's own text
};

// Connects a widget's signal to action(panel, control, the signal's
// arguments), the control as the panel holds it by then.
template <typename Sender, typename Signal, typename Action>
void wire(const Build &b, Sender *from, Signal signal, Action action)
{
    QObject::connect(from, signal, from, [panel = b.panel, id = b.ctrl.id, action](auto... args) {
        action(panel, &panel->controls[id], args...);
    });
}

// The action raising `event`, whatever the signal carries.
template <int event>
constexpr auto raises = [](Panel *panel, Control *ctrl, auto...) { RaiseEvent(panel, ctrl, event); };

// A widget of the control, placed at its layout rectangle `key` and named
// constant + suffix (the constant alone when there is no suffix).
template <typename W>
W *place(const Build &b, W *w, const char *key, const char *suffix = "")
{
    w->setGeometry(rectOf(b.c, key));
    if (*suffix)
        w->setObjectName(b.ctrl.constant + QLatin1String(suffix));
    b.ctrl.parts << w;
    return w;
}

void makeLabel(const Build &b)
{
    auto *l = new QLabel(b.c.value("label").toString(), b.window);
    l->setAlignment(Qt::AlignCenter);
    l->setObjectName(b.ctrl.constant + ".label");
    // The label's text in the control's text colour, on the panel.
    QPalette pal = l->palette();
    pal.setColor(QPalette::Active, QPalette::WindowText, b.text);
    pal.setColor(QPalette::Inactive, QPalette::WindowText, b.text);
    l->setPalette(pal);
    b.ctrl.labelRect = rectOf(b.c, "labelRect");
    PlaceLabel(l, b.ctrl.labelRect);
    b.ctrl.label = l;
    b.ctrl.parts << l;
}

void readItems(const Build &b)
{
    for (const QJsonValue &v : b.c.value("items").toArray()) {
        const QJsonObject o = v.toObject();
        b.ctrl.items.append({o.value("label").toString(), o.value("value").toInt()});
    }
    if (b.ctrl.items.isEmpty())
        fail(UIE_BAD_FILE, where(b.c) + QStringLiteral(": no items"));
}

void makeArrows(const Build &b)
{
    auto *a = place(b, new ArrowPair(colourOf(b.c, "frame", QColor(0xCC, 0xCC, 0xCC)), b.window), "arrows", ".arrows");
    wire(b, a, &ArrowPair::stepped, StepControl);
}

// The box showing a ring's item or a knob's digital display.
ItemBox *makeItemBox(const Build &b, const char *key, const char *colour, const char *suffix)
{
    auto *box = new ItemBox(colourOf(b.c, colour, Qt::white), colourOf(b.c, "frame", QColor(0xCC, 0xCC, 0xCC)), b.window);
    place(b, box, key, suffix);
    box->setTextColour(b.text);
    b.ctrl.box = box;
    return box;
}

void buildCommand(const Build &b)
{
    auto *button = place(b, new CommandButton(b.window), "body");
    SetButtonText(button, b.c.value("label").toString());
    button->setAutoDefault(false);
    QPalette pal = button->palette();
    pal.setColor(QPalette::Button, colourOf(b.c, "face", QColor(0xC0, 0xC0, 0xC0)));
    pal.setColor(QPalette::Active, QPalette::ButtonText, b.text);
    pal.setColor(QPalette::Inactive, QPalette::ButtonText, b.text);
    button->setPalette(pal);
    wire(b, button, &QPushButton::clicked, raises<EVENT_COMMIT>);
    if (b.c.value("shortcut").toString() == "Escape")
        wire(b, new QShortcut(QKeySequence(Qt::Key_Escape), b.window), &QShortcut::activated, raises<EVENT_COMMIT>);
    b.ctrl.button = button;
    b.ctrl.focus = button;
}

void buildToggle(const Build &b)
{
    auto *t = place(b, new ToggleSwitch(colourOf(b.c, "body", QColor(0xC0, 0xC0, 0xC0)), b.window), "body");
    wire(b, t, &ToggleSwitch::toggled, FlipSwitch);
    for (const QJsonValue &v : b.c.value("stateTexts").toArray()) {
        const QJsonObject o = v.toObject();
        auto *l = new QLabel(o.value("text").toString(), b.window);
        l->move(o.value("left").toInt(), o.value("top").toInt());
        l->adjustSize();
        l->setObjectName(b.ctrl.constant + ".state." + l->text());
        b.ctrl.parts << l;
    }
    b.ctrl.toggle = t;
    b.ctrl.focus = t;
}

void buildRing(const Build &b)
{
    readItems(b);
    ItemBox *box = makeItemBox(b, "body", "box", ".box");
    makeArrows(b);
    box->setFocusPolicy(Qt::StrongFocus);
    wire(b, box, &ItemBox::stepped, StepControl);
    b.ctrl.focus = box;
}

void buildKnob(const Build &b)
{
    readItems(b);
    makeItemBox(b, "display", "display", ".display");
    makeArrows(b);
    auto *d = new Dial(int(b.ctrl.items.size()), colourOf(b.c, "dial", QColor(0xC0, 0xC0, 0xC0)),
                       colourOf(b.c, "pointer", QColor(0xFF, 0xFF, 0)), b.window);
    place(b, d, "body", ".dial");
    wire(b, d, &Dial::stepped, StepControl);
    wire(b, d, &Dial::dragged, TurnKnob);
    b.ctrl.dial = d;
    b.ctrl.focus = d;
}

void buildLed(const Build &b)
{
    b.ctrl.led = place(b, new Led(colourOf(b.c, "on", Qt::red), colourOf(b.c, "off", QColor(0xC0, 0xC0, 0xC0)),
                                  colourOf(b.c, "frame", QColor(0xCC, 0xCC, 0xCC)), b.window), "body");
}

void buildNumeric(const Build &b)
{
    b.ctrl.min = b.c.value("min").toInt();
    b.ctrl.max = b.c.value("max").toInt();
    b.ctrl.step = std::max(1, b.c.value("step").toInt(1));
    auto *e = place(b, new NumericEdit(b.window), "body");
    const QColor box = colourOf(b.c, "box", Qt::white);
    QPalette pal = e->palette();
    pal.setColor(QPalette::Base, box);
    pal.setColor(QPalette::Active, QPalette::Text, b.text);
    pal.setColor(QPalette::Inactive, QPalette::Text, b.text);
    pal.setColor(QPalette::Disabled, QPalette::Base, box.darker(108));
    e->setPalette(pal);
    wire(b, e, &QLineEdit::editingFinished, CommitTyped);
    wire(b, e, &NumericEdit::stepped, StepControl);
    b.ctrl.edit = e;
    b.ctrl.focus = e;
    makeArrows(b);
}

void buildTimer(const Build &b)
{
    b.ctrl.interval = b.c.value("interval").toDouble();
    if (b.ctrl.interval <= 0)
        fail(UIE_BAD_FILE, where(b.c) + QStringLiteral(": needs an interval in seconds"));
    auto *t = new QTimer(b.window);
    t->setObjectName(b.ctrl.constant);
    t->setInterval(int(b.ctrl.interval * 1000 + 0.5));
    t->setTimerType(Qt::PreciseTimer);
    wire(b, t, &QTimer::timeout, raises<EVENT_TIMER_TICK>);
    if (b.c.value("enabled").toBool(true))
        t->start();
    b.ctrl.timer = t;
}

// The kinds of control a layout may hold: the name it gives the kind, the
// event the callback gets as the layout names it ("": the control raises
// nothing), whether a label stands above it, and the builder of its widgets.
struct KindOf {
    const char *name;
    Kind kind;
    const char *event;
    bool labelled;
    void (*build)(const Build &);
};
constexpr KindOf kinds[] = {
    {"command", Kind::Command, "commit", false, buildCommand},
    {"toggle", Kind::Toggle, "commit", true, buildToggle},
    {"ring", Kind::Ring, "commit", true, buildRing},
    {"knob", Kind::Knob, "commit", true, buildKnob},
    {"led", Kind::Led, "", true, buildLed},
    {"numeric", Kind::Numeric, "valueChanged", true, buildNumeric},
    {"timer", Kind::Timer, "timerTick", false, buildTimer},
};

void buildControl(Panel *panel, QWidget *w, const QJsonObject &c)
{
    Control ctrl;
    ctrl.id = c.value("id").toInt();
    ctrl.constant = c.value("constant").toString();
    if (ctrl.id <= 0 || ctrl.constant.isEmpty())
        fail(UIE_BAD_FILE, where(c) + QStringLiteral(": needs a positive id and a constant name"));
    if (panel->controls.count(ctrl.id))
        fail(UIE_BAD_FILE, where(c) + QStringLiteral(": id used twice"));
    ctrl.callback = resolve(c);
    ctrl.value = c.value("default").toInt();
    const QColor text = colourOf(c, "text", Qt::black);
    const QString kind = c.value("kind").toString();
    const KindOf *of = std::find_if(std::begin(kinds), std::end(kinds), [&](const KindOf &k) { return kind == k.name; });
    if (of == std::end(kinds))
        fail(UIE_BAD_FILE, where(c) + QStringLiteral(": unknown kind '%1'").arg(kind));
    const QString event = c.value("event").toString();
    if (!event.isEmpty() && event != of->event)
        fail(UIE_BAD_FILE, where(c) + QStringLiteral(": a %1 raises no '%2' event").arg(kind, event));
    ctrl.kind = of->kind;

    const Build b{panel, w, c, ctrl, text};
    if (of->labelled)
        makeLabel(b);
    of->build(b);

    for (QWidget *part : ctrl.parts)
        if (part->objectName().isEmpty())
            part->setObjectName(ctrl.constant);
    // Screen readers and automation tools find a control by its label.
    if (QWidget *named = ctrl.focus ? ctrl.focus : ctrl.led) {
        named->setAccessibleName(c.value("label").toString());
        named->setAccessibleDescription(ctrl.constant);
    }
    panel->controls.emplace(ctrl.id, ctrl);
    ShowValue(panel->controls[ctrl.id]);
}

// Tab moves through the operable controls in reading order: rows from the
// top (controls whose tops lie within 30 pixels share a row), left to right.
void orderTabs(Panel *panel)
{
    QList<QWidget *> order;
    for (auto &[id, c] : panel->controls)
        if (c.focus)
            order << c.focus;
    std::sort(order.begin(), order.end(), [](QWidget *a, QWidget *b) {
        if (std::abs(a->y() - b->y()) > 30)
            return a->y() < b->y();
        return a->x() < b->x();
    });
    for (qsizetype k = 1; k < order.size(); k++)
        QWidget::setTabOrder(order[k - 1], order[k]);
}

// Panel `number` of the layout text, once the layout is known to be one
// this run-time reads whole.
QJsonObject panelJson(const QByteArray &layout, int number)
{
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(layout, &perr);
    if (doc.isNull())
        fail(UIE_BAD_FILE, QStringLiteral("not a layout: %1 at byte %2").arg(perr.errorString()).arg(perr.offset));
    // A layout says which format it is written in; one that says another is not
    // read at all.
    const QJsonValue format = doc.object().value("format");
    if (!format.isUndefined() && format.toString() != QLatin1String(FORMAT))
        fail(UIE_BAD_FILE, QStringLiteral("not a layout this program reads: format '%1', not '%2'").arg(format.toString(), FORMAT));
    QJsonObject p;
    for (const QJsonValue &v : doc.object().value("panels").toArray())
        if (v.toObject().value("number").toInt() == number)
            p = v.toObject();
    if (p.isEmpty())
        fail(UIE_NO_PANEL, QStringLiteral("no panel number %1").arg(number));
    // What a panel may have that this run-time does not give: such a layout
    // is refused rather than shown without it.
    const QString panel = QStringLiteral("panel %1: ").arg(number);
    if (!p.value("menuBar").isNull() && !p.value("menuBar").isUndefined())
        fail(UIE_BAD_FILE, panel + QStringLiteral("menu bars are not supported"));
    if (!p.value("callback").isNull() && !p.value("callback").isUndefined())
        fail(UIE_BAD_FILE, panel + QStringLiteral("panel callbacks are not supported"));
    if (p.value("font").toString(QStringLiteral("dialog")) != QLatin1String("dialog"))
        fail(UIE_BAD_FILE, panel + QStringLiteral("only the dialog font is supported"));
    return p;
}

} // namespace

std::unique_ptr<Panel> BuildPanel(const QByteArray &layout, int number, int *error, QString *why)
{
    PanelWindow *w = nullptr;
    try {
        const QJsonObject p = panelJson(layout, number);
        auto panel = std::make_unique<Panel>();
        panel->window = w = new PanelWindow(panel.get());
        w->setObjectName(p.value("constant").toString());
        w->setWindowTitle(p.value("title").toString());
        w->setFixedSize(p.value("width").toInt(), p.value("height").toInt());
        // The panel's look is the layout's alone, not the desktop's.
        w->setPalette(PanelPalette(colourIn(p.value("background"), QStringLiteral("panel %1: background").arg(number))));
        w->setAutoFillBackground(true);
        for (const QJsonValue &v : p.value("controls").toArray())
            buildControl(panel.get(), w, v.toObject());
        orderTabs(panel.get());
        return panel;
    } catch (const LayoutError &e) {
        delete w;
        *error = e.code;
        *why = e.why;
        return nullptr;
    }
}

void BindCallback(const char *name, CtrlCallbackPtr function)
{
    callbacks()[name] = function;
}
