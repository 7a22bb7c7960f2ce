// Inside the user-interface services: a panel and its controls, what the
// controls do when operated, and the dispatch of events to the program's
// callbacks, one at a time.
#pragma once

#include "platform/ui.h"
#include "platform/ui/widgets.h"

#include <QLabel>
#include <QList>
#include <QStringList>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <map>

enum class Kind { Command, Toggle, Ring, Knob, Led, Numeric, Timer };

struct Item {
    QString label;
    int value;
};

struct Control {
    int id = 0;
    QString constant;
    Kind kind = Kind::Command;
    CtrlCallbackPtr callback = nullptr;
    void *callbackData = nullptr;
    QStringList menu;        // the context menu's items
    QList<int> menuMarks;    // and their marks (MENU_CHECKED, MENU_DIMMED)
    bool hasMenu = false;    // SetCtrlMenu gave it one
    QList<Item> items;       // rings and knobs
    int value = 0;           // the value GetCtrlVal reads
    int min = 0, max = 0, step = 1;  // numeric
    bool dimmed = false;
    int failColour = -1;     // ring: colour that marks a failure, -1 none
    double interval = 0;     // timer, seconds

    QLabel *label = nullptr;       // the label above the control (not buttons)
    QWidget *focus = nullptr;      // the part that takes the keyboard focus
    QList<QWidget *> parts;        // every widget of the control
    QPushButton *button = nullptr;
    ToggleSwitch *toggle = nullptr;
    ItemBox *box = nullptr;        // ring item box, knob digital display
    Dial *dial = nullptr;
    Led *led = nullptr;
    NumericEdit *edit = nullptr;
    QTimer *timer = nullptr;
    QRect labelRect;               // where the layout puts the label
};

class PanelWindow;

struct Panel {
    int handle = 0;
    PanelWindow *window = nullptr;  // owned by the panel, deleted with it
    std::map<int, Control> controls;
    int closeCtrl = 0;              // control whose commit the close box raises
};

// The panel's top-level window: the close box goes to the program.
class PanelWindow : public QWidget {
    Q_OBJECT
public:
    explicit PanelWindow(Panel *panel) : panel_(panel) {}

protected:
    void closeEvent(QCloseEvent *) override;

private:
    Panel *panel_;
};

// Raises an event on a control: nothing when it is dimmed or has no callback,
// and nothing while dispatch is held (ticks falling due then are dropped)
// unless `evenWhenHeld` (for the process's end, when the callback holding
// it will never return).
void RaiseEvent(Panel *panel, Control *ctrl, int event, bool evenWhenHeld = false, int eventData1 = 0);
// Dispatch is held: a callback runs, or a pop-up is up.
bool DispatchHeld();

// Holds dispatch while it lives: RaiseEvent drops every event meanwhile.
// A callback runs under one; so does a message pop-up, whoever asked for it.
class DispatchHold {
public:
    DispatchHold();
    ~DispatchHold();
    DispatchHold(const DispatchHold &) = delete;
    DispatchHold &operator=(const DispatchHold &) = delete;

private:
    bool held_;  // as it was before
};

// Shows a control's value on its widgets.
void ShowValue(Control &c);

// What the operator does to a control: each moves its value, shows it and
// raises the control's event when the value changed.
// A step (+1/-1) on a ring, knob or numeric; nothing when it is dimmed.
void StepControl(Panel *panel, Control *ctrl, int delta);
// A knob's dial released at item `position`.
void TurnKnob(Panel *panel, Control *ctrl, int position);
// A switch flipped to `on`.
void FlipSwitch(Panel *panel, Control *ctrl, bool on);
// The numeric's typed text committed (Enter, or the focus leaving it): held
// within the range; nothing typed leaves the value as it was.
void CommitTyped(Panel *panel, Control *ctrl);

// The operator asked for the control's context menu, to be shown at `where`
// (global coordinates): the callback is asked for its items, the menu shown,
// and the item chosen raised as EVENT_MENU. Nothing while dispatch is held.
void AskForMenu(Panel *panel, Control *ctrl, QPoint where);
// Brings up the control's context menu from its widgets: the right button on
// any part, the Menu key or Shift+F10 on the part with the focus.
void WatchForMenu(Panel *panel, Control *ctrl);

// The palette of a panel whose background is `window`: the light one the
// panels are drawn in, black texts on it, made of the panel's colours alone
// whatever the desktop's palette and theme are (a dark desktop theme would
// otherwise give near-white texts on the grey panel). Every colour of it is
// set, so that a change of the desktop's palette later does not reach the
// panel either. Dimmed texts are DIMMED_TEXT.
QPalette PanelPalette(QColor window);
// Dimmed texts, readable on the grey panel.
inline constexpr QRgb DIMMED_TEXT = 0x606060;

// Places a label over its layout rectangle, widened about its centre when the
// text needs more room, so that it is always readable whole.
void PlaceLabel(QLabel *label, QRect where);
// Sets a button's text, in a smaller font when the face is too narrow for the
// panel's font, so that the whole text shows (a button keeps its size).
void SetButtonText(QPushButton *button, const QString &text);

// Texts crossing the interface are Windows-1250 bytes.
QString FromCp1250(const char *bytes);
QColor ColourOf(int rgb);
int RgbOf(QColor c);
