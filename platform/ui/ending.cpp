// The process's end from outside the program: signals turned into the close
// control's commit on the event loop, and the program's Exit run from
// within exit() when the display goes away.
//
// A signal handler may do next to nothing safely, so it only writes the
// signal's number into a pipe; the event loop reads it (a socket notifier)
// and raises the commit there. While a callback runs the commit would be
// dropped, so the request waits until dispatch is free; the one way the
// event loop runs during a callback is a pop-up's, and that pop-up is
// closed, so that the callback returns and the end follows within moments.
#include "platform/ui/ending.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};
// How often a request waiting for dispatch looks again, in milliseconds.
constexpr int RETRY_MS = 10;

CloseTarget (*findTarget)();
int wakeUp[2] = {-1, -1};   // the handlers write into [1], the event loop reads [0]
int pendingSignal;          // a request to end not yet carried out: its signal, else 0
bool retryDue;              // a look again at a waiting request is scheduled
bool loopRunning;
bool endedByProgram;        // ExitProgram has begun the end
bool handingBack;           // the close control's callback runs from within exit()

void onSignal(int sig)
{
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = write(wakeUp[1], &number, 1);
    errno = saved;
}

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
    unsigned char numbers[16];
    ssize_t n;
    while ((n = read(wakeUp[0], numbers, sizeof numbers)) > 0)
        pendingSignal = numbers[n - 1];
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
    if (pipe2(wakeUp, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("t483: no pipe for signals");
        return;
    }
    auto *notifier = new QSocketNotifier(wakeUp[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, onWakeUp);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : ENDING_SIGNALS)
        sigaction(sig, &action, nullptr);
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
