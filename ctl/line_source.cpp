// Lines from standard input or a readings file, a signal waking the wait.
#include "ctl/line_source.h"

#include "ctl/csv.h"
#include "platform/signals.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

LineSource::Result LineSource::next(Deadline until, std::string *line)
{
    for (;;) {
        if (takeLine(&buffer_, line, ended_)) {
            lineNo_++;
            return Line;
        }
        if (ended_)
            return End;
        if (SignalPipeCaught())
            return Signal;
        // A signal caught just before poll() has its byte in the pipe. What
        // has come is taken also once the time is up.
        pollfd p[2] = {{fd_, POLLIN, 0}, {SignalPipeFd(), POLLIN, 0}};
        if (::poll(p, 2, until.poll_ms()) <= 0) {
            if (until.passed())
                return Timeout;
            continue;
        }
        if (p[1].revents)
            SignalPipeDrain();
        if (!p[0].revents)
            continue;
        char buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0)
            buffer_.append(buf, size_t(n));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            ended_ = true;
    }
}

bool waitForSignal(Deadline until)
{
    while (!SignalPipeCaught() && !until.passed()) {
        pollfd p{SignalPipeFd(), POLLIN, 0};
        if (::poll(&p, 1, until.poll_ms()) > 0)
            SignalPipeDrain();
    }
    return SignalPipeCaught() != 0;
}
