// Building a panel from its layout: the JSON text made into controls, each
// bound to the callback the layout names.
#include "platform/ui/layout.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QShortcut>
#include <algorithm>
#include <dlfcn.h>

namespace {

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

QColor colourOf(const QJsonObject &c, const char *key, QColor dflt)
{
    const QJsonValue v = c.value("colours").toObject().value(key);
    if (v.isUndefined())
        return dflt;
    bool ok = false;
    const uint rgb = v.toString().toUInt(&ok, 16);
    if (!ok)
        fail(UIE_BAD_FILE, where(c) + QStringLiteral(": colour '%1' is not 0xRRGGBB").arg(key));
    return ColourOf(int(rgb));
}

CtrlCallbackPtr resolve(const QJsonObject &c)
{
    const QJsonValue name = c.value("callback");
    if (name.isNull() || name.isUndefined())
        return nullptr;
    // The program's callbacks are exported from the executable under their names.
    void *sym = dlsym(RTLD_DEFAULT, name.toString().toUtf8().constData());
    if (!sym)
        fail(UIE_NO_CALLBACK, where(c) + QStringLiteral(": the program has no callback '%1'").arg(name.toString()));
    return reinterpret_cast<CtrlCallbackPtr>(sym);
}

QLabel *makeLabel(QWidget *parent, const QJsonObject &c, Control &ctrl)
{
    auto *l = new QLabel(c.value("label").toString(), parent);
    l->setAlignment(Qt::AlignCenter);
    l->setObjectName(ctrl.constant + ".label");
    ctrl.labelRect = rectOf(c, "labelRect");
    PlaceLabel(l, ctrl.labelRect);
    ctrl.label = l;
    ctrl.parts << l;
    return l;
}

void readItems(const QJsonObject &c, Control &ctrl)
{
    for (const QJsonValue &v : c.value("items").toArray()) {
        const QJsonObject o = v.toObject();
        ctrl.items.append({o.value("label").toString(), o.value("value").toInt()});
    }
    if (ctrl.items.isEmpty())
        fail(UIE_BAD_FILE, where(c) + QStringLiteral(": no items"));
}

ArrowPair *makeArrows(QWidget *parent, const QJsonObject &c, Control &ctrl, Panel *panel)
{
    auto *a = new ArrowPair(colourOf(c, "frame", QColor(0xCC, 0xCC, 0xCC)), parent);
    a->setGeometry(rectOf(c, "arrows"));
    a->setObjectName(ctrl.constant + ".arrows");
    const int id = ctrl.id;
    QObject::connect(a, &ArrowPair::stepped, a, [panel, id](int d) { StepControl(panel, &panel->controls[id], d); });
    ctrl.parts << a;
    return a;
}

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
    const QString kind = c.value("kind").toString();
    const int id = ctrl.id;
    const QColor text = colourOf(c, "text", Qt::black);

    if (kind == "command") {
        ctrl.kind = Kind::Command;
        auto *b = new QPushButton(w);
        b->setGeometry(rectOf(c, "body"));
        SetButtonText(b, c.value("label").toString());
        b->setAutoDefault(false);
        QPalette pal = b->palette();
        pal.setColor(QPalette::Button, colourOf(c, "face", QColor(0xC0, 0xC0, 0xC0)));
        pal.setColor(QPalette::Active, QPalette::ButtonText, text);
        pal.setColor(QPalette::Inactive, QPalette::ButtonText, text);
        b->setPalette(pal);
        QObject::connect(b, &QPushButton::clicked, b, [panel, id] { RaiseEvent(panel, &panel->controls[id], EVENT_COMMIT); });
        if (c.value("shortcut").toString() == "Escape") {
            auto *s = new QShortcut(QKeySequence(Qt::Key_Escape), w);
            QObject::connect(s, &QShortcut::activated, b, [panel, id] { RaiseEvent(panel, &panel->controls[id], EVENT_COMMIT); });
        }
        ctrl.button = b;
        ctrl.focus = b;
        ctrl.parts << b;
    } else if (kind == "toggle") {
        ctrl.kind = Kind::Toggle;
        makeLabel(w, c, ctrl);
        auto *t = new ToggleSwitch(colourOf(c, "body", QColor(0xC0, 0xC0, 0xC0)), w);
        t->setGeometry(rectOf(c, "body"));
        QObject::connect(t, &ToggleSwitch::toggled, t, [panel, id](bool on) { FlipSwitch(panel, &panel->controls[id], on); });
        for (const QJsonValue &v : c.value("stateTexts").toArray()) {
            const QJsonObject o = v.toObject();
            auto *l = new QLabel(o.value("text").toString(), w);
            l->move(o.value("left").toInt(), o.value("top").toInt());
            l->adjustSize();
            l->setObjectName(ctrl.constant + ".state." + l->text());
            ctrl.parts << l;
        }
        ctrl.toggle = t;
        ctrl.focus = t;
        ctrl.parts << t;
    } else if (kind == "ring" || kind == "knob") {
        ctrl.kind = kind == "ring" ? Kind::Ring : Kind::Knob;
        readItems(c, ctrl);
        makeLabel(w, c, ctrl);
        auto *box = new ItemBox(colourOf(c, kind == "ring" ? "box" : "display", Qt::white),
                                colourOf(c, "frame", QColor(0xCC, 0xCC, 0xCC)), w);
        box->setGeometry(rectOf(c, kind == "ring" ? "body" : "display"));
        box->setObjectName(ctrl.constant + (kind == "ring" ? ".box" : ".display"));
        box->setTextColour(text);
        ctrl.box = box;
        ctrl.parts << box;
        makeArrows(w, c, ctrl, panel);
        if (ctrl.kind == Kind::Ring) {
            box->setFocusPolicy(Qt::StrongFocus);
            QObject::connect(box, &ItemBox::stepped, box, [panel, id](int d) { StepControl(panel, &panel->controls[id], d); });
            ctrl.focus = box;
        } else {
            auto *d = new Dial(int(ctrl.items.size()), colourOf(c, "dial", QColor(0xC0, 0xC0, 0xC0)),
                               colourOf(c, "pointer", QColor(0xFF, 0xFF, 0)), w);
            d->setGeometry(rectOf(c, "body"));
            d->setObjectName(ctrl.constant + ".dial");
            QObject::connect(d, &Dial::stepped, d, [panel, id](int s) { StepControl(panel, &panel->controls[id], s); });
            QObject::connect(d, &Dial::dragged, d, [panel, id](int pos) { TurnKnob(panel, &panel->controls[id], pos); });
            ctrl.dial = d;
            ctrl.focus = d;
            ctrl.parts << d;
        }
    } else if (kind == "led") {
        ctrl.kind = Kind::Led;
        makeLabel(w, c, ctrl);
        auto *l = new Led(colourOf(c, "on", Qt::red), colourOf(c, "off", QColor(0xC0, 0xC0, 0xC0)),
                          colourOf(c, "frame", QColor(0xCC, 0xCC, 0xCC)), w);
        l->setGeometry(rectOf(c, "body"));
        ctrl.led = l;
        ctrl.parts << l;
    } else if (kind == "numeric") {
        ctrl.kind = Kind::Numeric;
        ctrl.min = c.value("min").toInt();
        ctrl.max = c.value("max").toInt();
        ctrl.step = std::max(1, c.value("step").toInt(1));
        makeLabel(w, c, ctrl);
        auto *e = new NumericEdit(w);
        e->setGeometry(rectOf(c, "body"));
        QPalette pal = e->palette();
        pal.setColor(QPalette::Base, colourOf(c, "box", Qt::white));
        pal.setColor(QPalette::Active, QPalette::Text, text);
        pal.setColor(QPalette::Inactive, QPalette::Text, text);
        pal.setColor(QPalette::Disabled, QPalette::Base, colourOf(c, "box", Qt::white).darker(108));
        e->setPalette(pal);
        QObject::connect(e, &QLineEdit::editingFinished, e, [panel, id] { CommitTyped(panel, &panel->controls[id]); });
        QObject::connect(e, &NumericEdit::stepped, e, [panel, id](int d) { StepControl(panel, &panel->controls[id], d); });
        ctrl.edit = e;
        ctrl.focus = e;
        ctrl.parts << e;
        makeArrows(w, c, ctrl, panel);
    } else if (kind == "timer") {
        ctrl.kind = Kind::Timer;
        ctrl.interval = c.value("interval").toDouble();
        if (ctrl.interval <= 0)
            fail(UIE_BAD_FILE, where(c) + QStringLiteral(": needs an interval in seconds"));
        auto *t = new QTimer(w);
        t->setInterval(int(ctrl.interval * 1000 + 0.5));
        t->setTimerType(Qt::PreciseTimer);
        QObject::connect(t, &QTimer::timeout, t, [panel, id] { RaiseEvent(panel, &panel->controls[id], EVENT_TIMER_TICK); });
        if (c.value("enabled").toBool(true))
            t->start();
        ctrl.timer = t;
    } else {
        fail(UIE_BAD_FILE, where(c) + QStringLiteral(": unknown kind '%1'").arg(kind));
    }

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

} // namespace

std::unique_ptr<Panel> BuildPanel(const QByteArray &layout, int number, int *error, QString *why)
{
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(layout, &perr);
    if (doc.isNull()) {
        *error = UIE_BAD_FILE;
        *why = QStringLiteral("not a layout: %1 at byte %2").arg(perr.errorString()).arg(perr.offset);
        return nullptr;
    }
    QJsonObject p;
    for (const QJsonValue &v : doc.object().value("panels").toArray())
        if (v.toObject().value("number").toInt() == number)
            p = v.toObject();
    if (p.isEmpty()) {
        *error = UIE_NO_PANEL;
        *why = QStringLiteral("no panel number %1").arg(number);
        return nullptr;
    }

    auto panel = std::make_unique<Panel>();
    auto *w = new PanelWindow(panel.get());
    panel->window = w;
    w->setObjectName(p.value("constant").toString());
    w->setWindowTitle(p.value("title").toString());
    w->setFixedSize(p.value("width").toInt(), p.value("height").toInt());
    bool ok = false;
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, ColourOf(int(p.value("background").toString().toUInt(&ok, 16))));
    w->setPalette(pal);
    w->setAutoFillBackground(true);
    try {
        for (const QJsonValue &v : p.value("controls").toArray())
            buildControl(panel.get(), w, v.toObject());
    } catch (const LayoutError &e) {
        delete w;
        *error = e.code;
        *why = e.why;
        return nullptr;
    }
    orderTabs(panel.get());
    return panel;
}
