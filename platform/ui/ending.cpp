// The process's end from outside the program: signals turned into the close
// control's commit on the event loop, and the program's Exit run from
// within exit() when the display goes away.
//
// Signals arrive through the self-pipe of platform/signals.h; the event loop
// reads it (a socket notifier) and raises the commit there. While a callback runs the commit would be
// dropped, so the request waits until dispatch is free; the one way the
// event loop runs during a callback is a pop-up's, and that pop-up is
// closed, so that the callback returns and the end follows within moments.
#include "platform/ui/ending.h"
#include "platform/signals.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

// How often a request waiting for dispatch looks again, in milliseconds.
constexpr int RETRY_MS = 10;

CloseTarget (*findTarget)();
int pendingSignal;          // a request to end not yet carried out: its signal, else 0
bool retryDue;              // a look again at a waiting request is scheduled
bool loopRunning;
bool endedByProgram;        // ExitProgram has begun the end
bool handingBack;           // the close control's callback runs from within exit()

// Carries out the waiting request to end, now or once dispatch is free.
void endAsRequested()
{
    retryDue = false;
    if (!pendingSignal)
        return;
    const CloseTarget to = findTarget();
    if (!to.control || to.control->dimmed || !to.control->callback) {
        // Nothing of the program takes it: the signal ends the process as
        // it would with no handler.
        const int sig = std::exchange(pendingSignal, 0);
        std::signal(sig, SIG_DFL);
        std::raise(sig);
        return;
    }
    if (DispatchHeld()) {
        if (auto *popup = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
            popup->done(QDialog::Rejected);
        retryDue = true;
        QTimer::singleShot(RETRY_MS, endAsRequested);
        return;
    }
    pendingSignal = 0;
    RaiseEvent(to.panel, to.control, EVENT_COMMIT);
}

void onWakeUp()
{
    if (const int sig = SignalPipeDrain())
        pendingSignal = sig;
    if (!retryDue)
        endAsRequested();
}

// On exit(): when the event loop was running and the program did not ask
// for the end (the X11 platform ends the process so when its display goes),
// the program's Exit still hands the instrument back. Whatever callback
// held dispatch will never return, so the commit goes through regardless.
void onExit()
{
    if (!loopRunning || endedByProgram || handingBack)
        return;
    const CloseTarget to = findTarget();
    if (!to.control)
        return;
    handingBack = true;
    RaiseEvent(to.panel, to.control, EVENT_COMMIT, true);
    std::fflush(nullptr);
}

} // namespace

void WatchForEnd(CloseTarget (*find)())
{
    if (findTarget)
        return;
    findTarget = find;
    std::signal(SIGPIPE, SIG_IGN);
    const int fd = SignalPipeOpen({SIGTERM, SIGINT, SIGHUP});
    if (fd < 0) {
        std::perror("t483: no pipe for signals");
        return;
    }
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, onWakeUp);
    std::atexit(onExit);
}

void SetLoopRunning(bool running)
{
    loopRunning = running;
}

bool MayExit()
{
    if (handingBack)
        return false;
    endedByProgram = true;
    return true;
}
