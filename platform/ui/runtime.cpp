// The user-interface services on Qt Widgets: start-up, the table of loaded
// panels, attributes, values, pop-ups and the event loop.
#include "platform/ui.h"
#include "platform/ui_testing.h"
#include "platform/ui/ending.h"
#include "platform/ui/layout.h"
#include "platform/ui/script.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QIconEngine>
#include <QImageReader>
#include <QPixmap>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QStyleFactory>
#include <cstdio>
#include <cstdlib>

namespace {

QApplication *app;
// The program's icon among its embedded resources (a PNG: Qt reads it
// without any image plugin).
constexpr char ICON[] = ":/icons/t483.png";
// The program's icon, read from its PNG only when something first draws it:
// a window system asks when it shows the first window, an offscreen
// platform never does. The PNG is read as such: left to find its format,
// the reader would load every image plugin to ask each whether it can read
// the file. Everything else is the icon the PNG makes.
class ProgramIcon : public QIconEngine {
public:
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, 1.0, mode, state);
    }
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : qApp->devicePixelRatio();
        painter->drawPixmap(rect, pixmap(rect.size() * ratio, mode, state));
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return icon().availableSizes(mode, state);
    }
    bool isNull() override { return false; }
    QIconEngine *clone() const override { return new ProgramIcon; }

private:
    const QIcon &icon()
    {
        if (read_.isNull()) {
            QImageReader png(QString::fromLatin1(ICON), "png");
            png.setAutoDetectImageFormat(false);
            read_ = QIcon(QPixmap::fromImage(png.read()));
        }
        return read_;
    }
    QIcon read_;
};

std::map<int, std::unique_ptr<Panel>> panels;
int nextHandle = 1;
PopupHook popupHook;
ExitHook exitHook;

Panel *panelByHandle(int handle)
{
    auto it = panels.find(handle);
    return it == panels.end() ? nullptr : it->second.get();
}

// Control `id` of panel `handle` into *c: 0, or UIE_BAD_HANDLE or
// UIE_BAD_CONTROL when there is none.
int findControl(int handle, int id, Control **c)
{
    Panel *p = panelByHandle(handle);
    if (!p)
        return UIE_BAD_HANDLE;
    auto it = p->controls.find(id);
    if (it == p->controls.end())
        return UIE_BAD_CONTROL;
    *c = &it->second;
    return 0;
}

// The close control of the first loaded panel that has one.
CloseTarget closeTarget()
{
    for (auto &[h, p] : panels) {
        auto it = p->controls.find(p->closeCtrl);
        if (p->closeCtrl && it != p->controls.end())
            return {p.get(), &it->second};
    }
    return {};
}

bool hasDisplay()
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        return true;
#if defined(Q_OS_LINUX)
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

} // namespace

// Declares `p`, the panel of `handle`; without one, the calling function
// returns UIE_BAD_HANDLE.
#define CHECK_PANEL(p, handle)  \
    Panel *p = panelByHandle(handle); \
    if (!p)                     \
        return UIE_BAD_HANDLE

// Declares `c`, control `id` of panel `handle`; without one, the calling
// function returns UIE_BAD_HANDLE or UIE_BAD_CONTROL.
#define CHECK_CONTROL(c, handle, id)                                 \
    Control *c = nullptr;                                            \
    if (const int notFound = findControl(handle, id, &c); notFound) \
        return notFound

int InitCVIRTEEx(void *, void *, void *)
{
    if (app)
        return 1;
    app = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!app) {
        if (!hasDisplay()) {
            std::fprintf(stderr, "t483: no display to show the panel on (DISPLAY is not set)\n");
            return 0;
        }
        static int argc = 1;
        static char name[] = "t483";
        static char *argv[] = {name, nullptr};
        app = new QApplication(argc, argv);
    }
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QFont font = QApplication::font();
    font.setPixelSize(12);
    QApplication::setFont(font);
    // A signal or the display's loss ends the program as its close box does.
    WatchForEnd(closeTarget);
    // The program's icon on every window, when the program carries one.
    if (QFile::exists(QString::fromLatin1(ICON)))
        QApplication::setWindowIcon(QIcon(new ProgramIcon));
    return 1;
}

int BindCallbacks(const CallbackBinding *table)
{
    for (; table && table->name; table++)
        BindCallback(table->name, table->function);
    return 0;
}

int LoadPanel(int, const char *file, int panelNumber)
{
    if (!app)
        return UIE_NOT_INITIALISED;
    const QString name = QString::fromLocal8Bit(file);
    // An embedded layout of that name comes first, then a file.
    QFile f(QStringLiteral(":/uir/") + name);
    if (!f.exists())
        f.setFileName(name);
    int err = 0;
    QString why;
    std::unique_ptr<Panel> panel;
    if (!f.open(QIODevice::ReadOnly)) {
        err = UIE_NO_FILE;
        why = QStringLiteral("no such layout");
    } else {
        panel = BuildPanel(f.readAll(), panelNumber, &err, &why);
    }
    if (!panel) {
        std::fprintf(stderr, "%s: %s\n", file, why.toLocal8Bit().constData());
        return err;
    }
    panel->handle = nextHandle++;
    const int h = panel->handle;
    panels[h] = std::move(panel);
    return h;
}

int SetPanelPos(int handle, int top, int left)
{
    CHECK_PANEL(p, handle);
    const QRect screen = QApplication::primaryScreen() ? QApplication::primaryScreen()->availableGeometry() : QRect();
    QWidget *w = p->window;
    // The client area's position; the frame goes around it.
    const QSize frame = w->frameGeometry().size() - w->geometry().size();
    if (left == VAL_AUTO_CENTER)
        left = screen.x() + (screen.width() - w->width() - frame.width()) / 2;
    if (top == VAL_AUTO_CENTER)
        top = screen.y() + (screen.height() - w->height() - frame.height()) / 2;
    w->move(left, top);
    return 0;
}

int SetPanelAttribute(int handle, int attribute, int value)
{
    CHECK_PANEL(p, handle);
    if (attribute != ATTR_CLOSE_CTRL)
        return UIE_BAD_ATTRIBUTE;
    if (value != 0 && !p->controls.count(value))
        return UIE_BAD_CONTROL;
    p->closeCtrl = value;
    return 0;
}

int SetPanelAttribute(int handle, int attribute, const char *text)
{
    CHECK_PANEL(p, handle);
    if (attribute != ATTR_TITLE)
        return UIE_BAD_ATTRIBUTE;
    p->window->setWindowTitle(FromCp1250(text));
    return 0;
}

int GetPanelAttribute(int handle, int attribute, int *value)
{
    CHECK_PANEL(p, handle);
    if (attribute != ATTR_CLOSE_CTRL)
        return UIE_BAD_ATTRIBUTE;
    *value = p->closeCtrl;
    return 0;
}

int DisplayPanel(int handle)
{
    CHECK_PANEL(p, handle);
    p->window->show();
    p->window->activateWindow();
    return 0;
}

int SetCtrlAttribute(int handle, int id, int attribute, int value)
{
    CHECK_CONTROL(c, handle, id);
    switch (attribute) {
    case ATTR_DIMMED:
        c->dimmed = value != 0;
        for (QWidget *w : c->parts)
            w->setEnabled(!c->dimmed);
        return 0;
    case ATTR_FAIL_COLOR:
        if (c->kind != Kind::Ring)
            return UIE_BAD_ATTRIBUTE;
        c->failColour = value;
        c->box->setTextColour(ColourOf(value));
        return 0;
    case ATTR_ON_COLOR:
    case ATTR_OFF_COLOR:
        if (c->kind != Kind::Led)
            return UIE_BAD_ATTRIBUTE;
        if (attribute == ATTR_ON_COLOR)
            c->led->setOnColour(ColourOf(value));
        else
            c->led->setOffColour(ColourOf(value));
        return 0;
    default:
        return UIE_BAD_ATTRIBUTE;
    }
}

int SetCtrlAttribute(int handle, int id, int attribute, const char *text)
{
    CHECK_CONTROL(c, handle, id);
    const QString t = FromCp1250(text);
    if (attribute == ATTR_TOOLTIP_TEXT) {
        for (QWidget *w : c->parts)
            if (w != c->label)
                w->setToolTip(t);
        return 0;
    }
    if (attribute != ATTR_LABEL_TEXT)
        return UIE_BAD_ATTRIBUTE;
    if (c->button) {
        SetButtonText(c->button, t);
    } else if (c->label) {
        c->label->setText(t);
        PlaceLabel(c->label, c->labelRect);
    } else {
        return UIE_BAD_ATTRIBUTE;
    }
    if (QWidget *named = c->focus ? c->focus : c->led)
        named->setAccessibleName(t);
    return 0;
}

int GetCtrlAttribute(int handle, int id, int attribute, int *value)
{
    CHECK_CONTROL(c, handle, id);
    switch (attribute) {
    case ATTR_DIMMED:
        *value = c->dimmed;
        return 0;
    case ATTR_FAIL_COLOR:
        if (c->kind != Kind::Ring)
            return UIE_BAD_ATTRIBUTE;
        *value = c->failColour;
        return 0;
    case ATTR_ON_COLOR:
    case ATTR_OFF_COLOR:
        if (c->kind != Kind::Led)
            return UIE_BAD_ATTRIBUTE;
        *value = RgbOf(attribute == ATTR_ON_COLOR ? c->led->onColour() : c->led->offColour());
        return 0;
    default:
        return UIE_BAD_ATTRIBUTE;
    }
}

int InstallCtrlCallback(int handle, int id, CtrlCallbackPtr callback, void *callbackData)
{
    CHECK_CONTROL(c, handle, id);
    c->callback = callback;
    c->callbackData = callbackData;
    return 0;
}

int SetCtrlMenu(int handle, int id, const char *const *items, int count)
{
    CHECK_CONTROL(c, handle, id);
    if (count < 0 || (count > 0 && !items))
        return UIE_BAD_ATTRIBUTE;
    c->menu.clear();
    for (int k = 0; k < count; k++)
        c->menu << FromCp1250(items[k]);
    c->menuMarks = QList<int>(count, 0);
    WatchForMenu(panelByHandle(handle), c);
    return 0;
}

int SetCtrlMenuItem(int handle, int id, int item, int marks)
{
    CHECK_CONTROL(c, handle, id);
    if (item < 0 || item >= c->menuMarks.size() || (marks & ~(MENU_CHECKED | MENU_DIMMED)))
        return UIE_BAD_ATTRIBUTE;
    c->menuMarks[item] = marks;
    return 0;
}

int SetActiveCtrl(int handle, int id)
{
    CHECK_CONTROL(c, handle, id);
    if (!c->focus)
        return UIE_BAD_ATTRIBUTE;
    c->focus->setFocus(Qt::OtherFocusReason);
    return 0;
}

int GetActiveCtrl(int handle)
{
    CHECK_PANEL(p, handle);
    QWidget *f = p->window->focusWidget();
    for (auto &[id, c] : p->controls)
        if (f && c.focus == f)
            return id;
    return 0;
}

int GetCtrlVal(int handle, int id, int *value)
{
    CHECK_CONTROL(c, handle, id);
    *value = c->value;
    return 0;
}

int SetCtrlVal(int handle, int id, int value)
{
    CHECK_CONTROL(c, handle, id);
    if (c->kind == Kind::Toggle || c->kind == Kind::Led)
        value = value != 0;
    c->value = value;
    ShowValue(*c);
    return 0;
}

int MessagePopup(const char *title, const char *message)
{
    if (popupHook) {
        popupHook(title, message);
        return 0;
    }
    if (!app)
        return UIE_NOT_INITIALISED;
    QWidget *parent = nullptr;
    for (auto &[h, p] : panels)
        if (p->window->isVisible())
            parent = p->window;
    QMessageBox box(QMessageBox::NoIcon, FromCp1250(title), FromCp1250(message), QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    // Nothing reaches the program while the operator reads it, whoever asked.
    DispatchHold reading;
    box.exec();
    return 0;
}

int RunUserInterface(void)
{
    if (!app)
        return UIE_NOT_INITIALISED;
    StartScript();
    SetLoopRunning(true);
    const int status = QApplication::exec();
    SetLoopRunning(false);
    return status;
}

int QuitUserInterface(int returnCode)
{
    if (!app)
        return UIE_NOT_INITIALISED;
    QApplication::exit(returnCode);
    return 0;
}

void ExitProgram(int status)
{
    if (exitHook) {
        exitHook(status);
        return;
    }
    // Already within exit(), the display gone: that end goes on.
    if (!MayExit())
        return;
    std::fflush(nullptr);
    std::exit(status);
}

void SetPopupHook(PopupHook hook)
{
    popupHook = hook;
}

void SetExitHook(ExitHook hook)
{
    exitHook = hook;
}

void DiscardAllPanels(void)
{
    for (auto &[h, p] : panels)
        delete p->window;
    panels.clear();
}
