// The self-pipe behind platform/signals.h.
#include "platform/signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = {-1, -1};  // the handler writes into [1]; the event loop reads [0]
volatile sig_atomic_t caught;

void onSignal(int sig)
{
    const int saved = errno;
    caught = sig;
    const unsigned char number = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = write(pipeEnds[1], &number, 1);
    errno = saved;
}

} // namespace

int SignalPipeOpen(std::initializer_list<int> numbers)
{
    if (pipeEnds[0] < 0 && pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : numbers)
        sigaction(sig, &action, nullptr);
    return pipeEnds[0];
}

int SignalPipeFd(void)
{
    return pipeEnds[0];
}

int SignalPipeDrain(void)
{
    if (pipeEnds[0] < 0)
        return 0;
    int last = 0;
    unsigned char numbers[16];
    ssize_t n;
    while ((n = read(pipeEnds[0], numbers, sizeof numbers)) > 0)
        last = numbers[n - 1];
    return last;
}

int SignalPipeCaught(void)
{
    return caught;
}

void SignalPipeForget(void)
{
    caught = 0;
}

void SignalPipeRestore(std::initializer_list<int> numbers)
{
    for (int sig : numbers)
        std::signal(sig, SIG_DFL);
}
