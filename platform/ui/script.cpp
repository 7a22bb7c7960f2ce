// Scripted operation, for tests and benchmarks that run the program as a
// child process where no one can click: with T483_SCRIPT set, the event loop
// works through its steps once it is running, as an operator would.
//
//   T483_SCRIPT="wait 300; click start; wait 500; key Escape"
//
// Steps, separated by ';':
//   wait MS      let the program run for MS milliseconds
//   click NAME   a left click in the middle of the panel's widget NAME (a
//                control's constant name: start, konec, remote, vyp ...)
//   key KEY      a key pressed and released on the control with the focus,
//                KEY as Qt names it (Escape, Return, Up, 5); shortcuts apply
//   close        the window's close box
//   accept       closes the message pop-up that is up, first writing
//                "popup TITLE|TEXT" (UTF-8) on standard output
//   stamp        paints the panel at once, then writes "stamp NS" on
//                standard output, NS the monotonic clock in nanoseconds (for
//                benchmarks: as a first step, the moment the panel is shown;
//                for tests: the point at which they act on the program from
//                outside, with a signal or by taking its display away)
// A step that cannot be carried out is reported on standard error and
// skipped. When the steps run out the program carries on as usual.
#include "platform/ui/script.h"

#include "platform/clock.h"
#include "platform/deadline.h"
#include "platform/ui/controls.h"

#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMessageBox>
#include <QMouseEvent>
#include <QShortcut>
#include <QStringList>
#include <cstdio>

namespace {

QStringList steps;
qsizetype next;

QWidget *panelWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (qobject_cast<PanelWindow *>(w) && w->isVisible())
            return w;
    return nullptr;
}

void click(QWidget *w)
{
    const QPointF at = QRectF(w->rect()).center();
    const QPointF global = w->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
}

// A shortcut of the window for the key: enabled, on a widget that is shown
// and usable, and not while a modal pop-up is up.
QShortcut *shortcutFor(QWidget *window, const QKeySequence &key)
{
    if (QApplication::activeModalWidget())
        return nullptr;
    for (QShortcut *s : window->findChildren<QShortcut *>()) {
        auto *on = qobject_cast<QWidget *>(s->parent());
        if (s->isEnabled() && on && on->isVisible() && on->isEnabled() && s->keys().contains(key))
            return s;
    }
    return nullptr;
}

// The key as the keyboard would give it: the focus widget may claim it
// (shortcut override); if not, a shortcut of the window takes it; else the
// focus widget gets it pressed and released.
bool key(QWidget *window, const QString &name)
{
    const QKeySequence seq = QKeySequence::fromString(name);
    if (seq.isEmpty())
        return false;
    const QKeyCombination k = seq[0];
    window->activateWindow();
    QWidget *to = window->focusWidget() ? window->focusWidget() : window;
    const QString text = name.size() == 1 ? name : QString();
    QKeyEvent claim(QEvent::ShortcutOverride, int(k.key()), k.keyboardModifiers(), text);
    claim.setAccepted(false);
    QApplication::sendEvent(to, &claim);
    if (!claim.isAccepted()) {
        if (QShortcut *s = shortcutFor(window, QKeySequence(k))) {
            emit s->activated();
            return true;
        }
    }
    QKeyEvent press(QEvent::KeyPress, int(k.key()), k.keyboardModifiers(), text);
    QApplication::sendEvent(to, &press);
    QKeyEvent release(QEvent::KeyRelease, int(k.key()), k.keyboardModifiers(), text);
    QApplication::sendEvent(to, &release);
    return true;
}

bool accept()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box)
        return false;
    std::printf("popup %s|%s\n", box->windowTitle().toUtf8().constData(), box->text().toUtf8().constData());
    std::fflush(stdout);
    box->accept();
    return true;
}

// Carries out one step other than a wait; false when it cannot.
bool perform(const QString &verb, const QString &arg)
{
    QWidget *window = panelWindow();
    if (!window)
        return false;
    if (verb == "click") {
        QWidget *w = window->findChild<QWidget *>(arg);
        if (w)
            click(w);
        return w != nullptr;
    }
    if (verb == "key")
        return key(window, arg);
    if (verb == "close" && arg.isEmpty())
        return window->close(), true;
    if (verb == "accept" && arg.isEmpty())
        return accept();
    if (verb == "stamp" && arg.isEmpty()) {
        window->repaint();
        std::printf("stamp %lld\n", MonotonicNs());
        std::fflush(stdout);
        return true;
    }
    return false;
}

void performNext();

// A wait step: the next step from the event loop once the deadline has
// passed. Qt's timers may fire a little early for long intervals, so the
// deadline decides, not the timer.
void resumeAt(Deadline due)
{
    QTimer::singleShot(due.poll_ms(), [due] {
        if (due.passed())
            performNext();
        else
            resumeAt(due);
    });
}

// The next step is due before this one acts: a step that puts up a pop-up
// does not return until the pop-up is gone, and the steps after it are what
// closes it.
void performNext()
{
    if (next >= steps.size())
        return;
    const QString step = steps[next++];
    const QString verb = step.section(' ', 0, 0);
    const QString arg = step.section(' ', 1).trimmed();
    bool done = false;
    if (verb == "wait") {
        const int ms = arg.toInt(&done);
        done = done && ms >= 0;
        resumeAt(Deadline::in_ms(done ? ms : 0));
    } else {
        QTimer::singleShot(0, performNext);
        done = perform(verb, arg);
    }
    if (!done)
        std::fprintf(stderr, "t483: T483_SCRIPT: cannot '%s'\n", step.toLocal8Bit().constData());
}

} // namespace

void StartScript(void)
{
    const QString script = qEnvironmentVariable("T483_SCRIPT");
    steps.clear();
    for (const QString &s : script.split(';', Qt::SkipEmptyParts))
        if (!s.trimmed().isEmpty())
            steps << s.simplified();
    next = 0;
    if (!steps.isEmpty())
        QTimer::singleShot(0, performNext);
}
