// t483-sim: a T-483 high-resistance decade on a pseudo-terminal.
//
//   t483-sim [--ident TEXT] [--front TEXT] [--voltage TEXT] [--pace]
//            [--fault MODE [ARG]] [--help]
//
// Standard output, one line each, flushed at once:
//   /dev/pts/N       first line: the device to open (e.g. T483_COM1=/dev/pts/N)
//   rx 52 30 0d      a command received: every byte in hex, its CR included
//   tx 34 30 37 32 0d  the reply to it, as it is put on the line
//   ok | error TEXT  the answer to each line read from standard input
//   hangup           the device is gone (fault hangup); the simulator then ends
//
// The instrument, 1200 baud 8N1, commands and replies ending in CR (13):
//   I      identification text (default 48300)
//   K      resistance: the front panel's under local control (default 100),
//          the last R under remote control
//   M      test voltage text (default 1000)
//   R<n>   sets the resistance to n MOhm, only under remote control; echoed
//   L0/L1  remote / local control; echoed
//   P0     echoed, then the instrument is off and answers nothing more
//   other  answered with "?"
// A command is the bytes before a CR exactly: "R0\n" is no R0.
//
// Lines on standard input change it while it runs; each is answered "ok":
//   ident TEXT | front TEXT | voltage TEXT   the replies to I, K, M (TEXT may
//                                             be empty; \r \n \\ \xNN escapes)
//   fault none | silent | garbage | long | split MS | hangup N
//       silent: no replies; garbage: "x#?\xFF" + CR; long: 32 bytes and no
//       CR; split: a reply's second half MS ms after its first; hangup: the
//       device vanishes after N more commands have been answered
//   pace on | off     each byte in or out takes 8.33 ms, as at 1200 baud
//   send TEXT         put TEXT (escapes as above) on the line now
//   local | remote    the state the L commands set
//   power on          switch the instrument back on
//   quit              end
// End of standard input leaves it running; it ends on SIGTERM or quit.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "control.h"
#include "instrument.h"

namespace {

constexpr long long BYTE_NS = 8333333;  // 10 bits at 1200 baud

struct Sim {
    sim::Instrument instrument;
    bool pace = false;
    int master = -1;
    int slave = -1;
    struct Timed {
        long long at;
        unsigned char byte;
    };
    std::deque<Timed> in;   // received, not yet through the modelled wire
    std::deque<Timed> out;  // to put on the line at their time
    long long in_free = 0;  // when the modelled wire in is next free
    long long out_free = 0;
    long long hangup_at = 0;  // when the last reply before a hangup went out
};

Sim state;

long long now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

// Queues bytes for the line: paced, each ends one byte time after the last.
void put(const std::string &bytes, long long at)
{
    for (unsigned char c : bytes) {
        long long when = at;
        if (state.pace) {
            when = std::max(at, state.out_free) + BYTE_NS;
            state.out_free = when;
        }
        state.out.push_back({when, c});
    }
}

void command(const std::string &cmd, long long at)
{
    say("%s", sim::rx_line(cmd).c_str());
    sim::Reply r = state.instrument.command(cmd);
    if (r.bytes.empty())
        return;
    say("%s", sim::tx_line(r.bytes).c_str());
    if (r.split_at) {
        put(r.bytes.substr(0, *r.split_at), at);
        put(r.bytes.substr(*r.split_at), std::max(at, state.out_free) + r.split_ms * 1000000LL);
    } else {
        put(r.bytes, at);
    }
}

void hang_up()
{
    close(state.master);
    close(state.slave);
    say("hangup");
    exit(0);
}

// One line from standard input.
void control(const std::string &line)
{
    sim::Control c = sim::control(state.instrument, line);
    if (c.pace)
        state.pace = *c.pace;
    if (c.send)
        put(*c.send, now_ns());
    say("%s", c.answer.c_str());
    if (c.quit)
        exit(0);
}

int open_pty()
{
    state.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (state.master < 0 || grantpt(state.master) != 0 || unlockpt(state.master) != 0) {
        perror("t483-sim: pseudo-terminal");
        return -1;
    }
    const char *name = ptsname(state.master);
    // Held open here so that the program may close and reopen its end
    // without the line hanging up.
    state.slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    termios t;
    if (state.slave < 0 || tcgetattr(state.slave, &t) != 0) {
        perror("t483-sim: pseudo-terminal device");
        return -1;
    }
    // Raw, or the line discipline would echo, and turn CR into LF.
    cfmakeraw(&t);
    cfsetispeed(&t, B1200);
    cfsetospeed(&t, B1200);
    tcsetattr(state.slave, TCSANOW, &t);
    fcntl(state.master, F_SETFL, fcntl(state.master, F_GETFL) | O_NONBLOCK);
    say("%s", name);
    return 0;
}

void usage(FILE *to)
{
    fputs("usage: t483-sim [--ident TEXT] [--front TEXT] [--voltage TEXT] [--pace]\n"
          "                [--fault MODE [ARG]]\n"
          "A T-483 on a pseudo-terminal. Prints the device path first, then\n"
          "'rx HEX' for each command received and 'tx HEX' for each reply.\n"
          "Standard input takes: ident|front|voltage TEXT, fault none|silent|\n"
          "garbage|long|split MS|hangup N, pace on|off, send TEXT, local, remote,\n"
          "power on, quit. See the top of sim/main.cpp.\n",
          to);
}

}  // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);  // whoever reads our output may stop reading
    for (int k = 1; k < argc; k++) {
        std::string a = argv[k];
        bool has = k + 1 < argc;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--pace")
            state.pace = true;
        else if (a == "--ident" && has)
            state.instrument.ident = sim::unescape(argv[++k]);
        else if (a == "--front" && has)
            state.instrument.front = state.instrument.resistance = sim::unescape(argv[++k]);
        else if (a == "--voltage" && has)
            state.instrument.voltage = sim::unescape(argv[++k]);
        else if (a == "--fault" && has) {
            std::string mode = argv[++k];
            std::string arg;
            const sim::FaultMode *f = sim::find_fault(mode);
            if (f && f->has_arg && k + 1 < argc)
                arg = argv[++k];
            if (!sim::set_fault(state.instrument, mode, arg)) {
                usage(stderr);
                return 2;
            }
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (open_pty() != 0)
        return 1;

    std::string input;  // standard input, up to its next newline
    bool stdin_open = true;
    for (;;) {
        long long now = now_ns();
        // Bytes through the modelled wire in, then replies due on the line.
        while (!state.in.empty() && state.in.front().at <= now) {
            Sim::Timed t = state.in.front();
            state.in.pop_front();
            if (std::optional<std::string> cmd = state.instrument.receive(t.byte))
                command(*cmd, t.at);
        }
        while (!state.out.empty() && state.out.front().at <= now) {
            unsigned char c = state.out.front().byte;
            if (write(state.master, &c, 1) != 1) {
                if (errno == EAGAIN)
                    break;
                hang_up();
            }
            state.out.pop_front();
        }
        // The line goes once the program has read the last reply (or after
        // a second): a hangup drops whatever the device has not yet read.
        bool waiting_to_hang_up = false;
        if (state.instrument.hanging_up() && state.out.empty()) {
            // The pseudo-terminal passes bytes on a moment after they are
            // written, so an empty queue counts only after 50 ms.
            if (!state.hangup_at)
                state.hangup_at = now;
            int queued = 0;
            bool settled = now >= state.hangup_at + 50000000LL;
            if ((settled && (ioctl(state.slave, FIONREAD, &queued) != 0 || queued == 0)) ||
                now >= state.hangup_at + 1000000000LL)
                hang_up();
            waiting_to_hang_up = true;
        }

        long long next = -1;
        if (!state.in.empty())
            next = state.in.front().at;
        if (!state.out.empty() && (next < 0 || state.out.front().at < next))
            next = state.out.front().at;
        timespec wait;
        timespec *timeout = nullptr;
        if (next >= 0) {
            long long ns = std::max(0LL, next - now_ns());
            wait = {time_t(ns / 1000000000), long(ns % 1000000000)};
            timeout = &wait;
        }
        if (waiting_to_hang_up && (!timeout || wait.tv_sec > 0 || wait.tv_nsec > 10000000)) {
            wait = {0, 10000000};
            timeout = &wait;
        }
        pollfd fds[2] = {{state.master, POLLIN, 0}, {stdin_open ? 0 : -1, POLLIN, 0}};
        if (ppoll(fds, 2, timeout, nullptr) < 0 && errno != EINTR)
            return 1;

        if (fds[0].revents & POLLIN) {
            unsigned char buf[256];
            ssize_t n = read(state.master, buf, sizeof buf);
            long long at = now_ns();
            for (ssize_t k = 0; k < n; k++) {
                long long when = at;
                if (state.pace) {
                    when = std::max(at, state.in_free) + BYTE_NS;
                    state.in_free = when;
                }
                state.in.push_back({when, buf[k]});
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char buf[256];
            ssize_t n = read(0, buf, sizeof buf);
            if (n <= 0)
                stdin_open = false;
            for (ssize_t k = 0; k < n; k++) {
                if (buf[k] == '\n') {
                    if (!input.empty() && input.back() == '\r')
                        input.pop_back();
                    control(input);
                    input.clear();
                } else {
                    input += buf[k];
                }
            }
        }
    }
}
