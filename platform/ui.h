// User-interface services: start-up of the run-time, panels loaded from a
// layout resource, their controls, message pop-ups and the event loop.
// Texts cross this interface as NUL-terminated Windows-1250 byte strings.
// Functions returning int give 0 (or a handle) on success and a negative
// code on failure; nothing here throws.
#pragma once

// Event codes passed to control callbacks.
enum {
    EVENT_COMMIT = 1,       // button pressed, switch or knob operated
    EVENT_VAL_CHANGED = 2,  // the numeric's committed value changed
    EVENT_TIMER_TICK = 15,  // a timer control's interval elapsed
    EVENT_MENU_WANTED = 40, // the operator asked for the control's context menu
                            // (SetCtrlMenu): its items may be set anew now
    EVENT_MENU = 41,        // an item of the context menu chosen: eventData1 its
                            // index, from 0
};

// Panel attributes.
enum {
    ATTR_TITLE = 573,       // window title text (const char *)
    ATTR_CLOSE_CTRL = 592,  // control whose commit the window's close box raises
};

// Control attributes.
enum {
    ATTR_DIMMED = 500,      // 1 dimmed (raises nothing), 0 usable
    ATTR_LABEL_TEXT = 641,  // a control's label text (const char *)
    ATTR_FAIL_COLOR = 690,  // 0xRRGGBB marking a failed selection (COM ring)
    ATTR_ON_COLOR = 920,    // an LED's on-colour, 0xRRGGBB
    ATTR_OFF_COLOR = 921,   // an LED's off-colour, 0xRRGGBB
    ATTR_TOOLTIP_TEXT = 1506,  // text shown when the pointer rests on it (const char *)
};

// SetPanelPos value that centres the panel on the screen.
inline constexpr int VAL_AUTO_CENTER = static_cast<int>(0x80000000u);

// Negative results.
enum {
    UIE_NOT_INITIALISED = -1,  // InitCVIRTEEx has not succeeded
    UIE_NO_FILE = -2,          // the layout resource or file does not exist
    UIE_BAD_FILE = -3,         // the layout could not be parsed
    UIE_NO_PANEL = -4,         // no panel of that number in the layout
    UIE_NO_CALLBACK = -5,      // a callback named in the layout is not bound (BindCallbacks)
    UIE_BAD_HANDLE = -6,       // no such panel handle
    UIE_BAD_CONTROL = -7,      // no such control on the panel
    UIE_BAD_ATTRIBUTE = -8,    // the attribute does not apply to that control
};

// A control callback: panel handle, control id, event code, the callback data,
// two event words. The program's callbacks return 0.
typedef int (*CtrlCallbackPtr)(int panel, int control, int event, void *callbackData,
                               int eventData1, int eventData2);

// Marks the program's control callbacks, those a layout names; it adds
// nothing to the declaration.
#define CVICALLBACK

// A callback a layout may name, under that name.
struct CallbackBinding {
    const char *name;
    CtrlCallbackPtr function;
};

// The callbacks layouts may name; the table ends with {nullptr, nullptr}. Returns 0.
// Tables add up, a later binding of a name replacing the earlier one; a
// panel naming a callback that is not bound when it is loaded does not load
// (UIE_NO_CALLBACK). May be called before InitCVIRTEEx, and before main
// (from a static initialiser).
int BindCallbacks(const CallbackBinding *table);

// Initialises the run-time (creates the application object); non-zero on
// success, 0 when no display or toolkit can be had. A repeated call succeeds.
// From then on SIGTERM, SIGINT and SIGHUP raise the commit of a loaded
// panel's close control (ATTR_CLOSE_CTRL) on the event loop, as its close
// box does, closing a pop-up that is up first; with no such control the
// signal ends the process as before. SIGPIPE is ignored. Should the display
// go away while RunUserInterface runs, the close control's commit is raised
// from within exit() as the process ends (ExitProgram then returns).
int InitCVIRTEEx(void *module, void *reserved1, void *reserved2);

// Loads panel number `panelNumber` of layout `file` (an embedded resource of
// that name, else a file path) as a top-level panel (parent 0). Returns its
// handle (> 0) or a negative UIE_ code; the reason is also written to stderr.
int LoadPanel(int parent, const char *file, int panelNumber);

// Moves the panel; VAL_AUTO_CENTER for both centres it on the screen.
int SetPanelPos(int panel, int top, int left);

int SetPanelAttribute(int panel, int attribute, int value);
int SetPanelAttribute(int panel, int attribute, const char *text);
int GetPanelAttribute(int panel, int attribute, int *value);

// Shows the panel.
int DisplayPanel(int panel);

int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlAttribute(int panel, int control, int attribute, const char *text);
int GetCtrlAttribute(int panel, int control, int attribute, int *value);

// Makes `callback` the control's callback (in place of the one its layout
// names, if any); it gets `callbackData` with each event. Null removes it.
int InstallCtrlCallback(int panel, int control, CtrlCallbackPtr callback, void *callbackData);

// Gives the control a context menu of `count` items, the operator's right
// button, the Menu key or Shift+F10 (on the control with the focus) bringing
// it up. First the control's callback gets EVENT_MENU_WANTED, and may set the
// items anew; the menu is then shown (not when it has no items), and the item
// chosen raises EVENT_MENU. A dimmed control, or one without a callback, shows
// no menu. A count of 0 empties the menu.
int SetCtrlMenu(int panel, int control, const char *const *items, int count);
// Marks item `item` (from 0) of the menu SetCtrlMenu set, which leaves every
// item unmarked: MENU_CHECKED shows it checked, MENU_DIMMED shows it greyed,
// not to be chosen; 0 neither.
enum { MENU_CHECKED = 1, MENU_DIMMED = 2 };
int SetCtrlMenuItem(int panel, int control, int item, int marks);

// Gives the control the keyboard focus.
int SetActiveCtrl(int panel, int control);
// The control that has (or will have, once the panel is shown) the focus.
int GetActiveCtrl(int panel);

// Integer value of a knob, ring, switch, numeric or LED: for rings and knobs
// the value of the current item. Setting a value raises no callback.
int GetCtrlVal(int panel, int control, int *value);
int SetCtrlVal(int panel, int control, int value);

// A modal message box; returns when the operator closes it.
int MessagePopup(const char *title, const char *message);

// Dispatches callbacks on the calling thread until the process ends (or
// QuitUserInterface is called). Callbacks never overlap: while one runs,
// operator actions cannot reach the panel and timer ticks falling due are
// dropped.
int RunUserInterface(void);
int QuitUserInterface(int returnCode);

// Ends the process with `status`, running the registered exit handlers;
// returns at once when called while the process is already ending (the
// display gone, see InitCVIRTEEx).
void ExitProgram(int status);
