// t483-sim: a T-483 high-resistance decade on a pseudo-terminal.
//
//   t483-sim [--ident TEXT] [--front TEXT] [--voltage TEXT] [--pace]
//            [--fault MODE [ARG]] [--hex | --quiet] [--help]
//
// Standard output, one line each, flushed at once:
//   /dev/pts/N       first line: the device to open (e.g. T483_COM1=/dev/pts/N)
//   K → 4072         a command received and its reply, escaped as on standard
//                    input, the reply's CR dropped ("K → (no reply)")
//   ok | error TEXT  the answer to each line read from standard input
//   hangup           the device is gone (fault hangup); the simulator then ends
// With --hex the traffic is logged as the tests read it instead, with
//   rx 52 30 0d      a command received: every byte in hex, its CR included
//   tx 34 30 37 32 0d  the reply to it, as it is put on the line (printed at
//                    once, also when a fault puts it there later)
// and with --quiet not at all (the device, the answers and hangup remain).
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
//   fault none | silent | garbage | long | split MS | hangup N | late MS | twice
//       silent: no replies; garbage: "x#?\xFF" + CR; long: 32 bytes and no
//       CR; split: a reply's second half MS ms after its first; hangup: the
//       device vanishes after N more commands have been answered; late:
//       each reply MS ms after its command came (past the program's 0.3 s
//       from 300 on); twice: each reply sent twice in a row
//   pace on | off     each byte in or out takes 8.33 ms, as at 1200 baud
//   send TEXT         put TEXT (escapes as above) on the line now
//   local | remote    the state the L commands set
//   power on          switch the instrument back on
//   help              list these (indented lines), then "ok"
//   quit              end
// End of standard input leaves it running; it ends on SIGTERM or quit.
//
// Here: the options and the poll loop. The instrument and its faults are in
// instrument.h, the standard input lines and report lines in control.h (both
// without I/O, in t483_sim_model), the pseudo-terminal and pacing in line.h.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "control.h"
#include "instrument.h"
#include "line.h"
#include "platform/clock.h"

namespace {

sim::Instrument instrument;
sim::PtyLine line;
sim::Log log_mode = sim::Log::readable;
std::string input;  // standard input, up to its next newline

// One line of standard output, flushed at once.
void say(const std::string &text)
{
    fputs(text.c_str(), stdout);
    putchar('\n');
    fflush(stdout);
}

[[noreturn]] void hang_up()
{
    line.close();
    say("hangup");
    exit(0);
}

// The bytes through the wire in by now, to the instrument; its replies onto
// the wire out.
void receive(long long now)
{
    unsigned char byte;
    long long at;
    while (line.take(now, byte, at)) {
        std::optional<std::string> cmd = instrument.receive(byte);
        if (!cmd)
            continue;
        sim::Reply reply = instrument.command(*cmd);
        for (const std::string &text : sim::log_lines(log_mode, *cmd, reply.bytes))
            say(text);
        if (reply.bytes.empty())
            continue;
        line.put(reply, at);
    }
}

// One line from standard input.
void control(const std::string &text)
{
    sim::Request c = sim::control(instrument, text);
    if (c.pace)
        line.pace = *c.pace;
    if (c.send)
        line.put(*c.send, MonotonicNs());
    for (const std::string &text : c.lines)
        say(text);
    say(c.answer);
    if (c.quit)
        exit(0);
}

// Standard input, split into its lines (a CR before the newline dropped);
// false at its end.
bool read_input()
{
    char buf[256];
    ssize_t n = read(0, buf, sizeof buf);
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
    return n > 0;
}

void usage(FILE *to)
{
    fputs("usage: t483-sim [--ident TEXT] [--front TEXT] [--voltage TEXT] [--pace]\n"
          "                [--fault MODE [ARG]] [--hex | --quiet]\n"
          "A T-483 on a pseudo-terminal. Prints the device path first, then\n"
          "'COMMAND → REPLY' for each command received; --hex: 'rx HEX' for each\n"
          "command and 'tx HEX' for each reply instead; --quiet: neither.\n"
          "Standard input takes: ident|front|voltage TEXT, fault none|silent|\n"
          "garbage|long|split MS|hangup N|late MS|twice, pace on|off, send TEXT,\n"
          "local, remote, power on, help, quit. See t483-sim(1).\n"
          "Faults: late MS answers each command MS ms after it came; twice sends\n"
          "each reply twice.\n",
          to);
}

// How long to wait for input: until the next byte is due on the line (none:
// no limit), and while hanging up 10 ms at most.
timespec *timeout(bool hanging_up, timespec &wait)
{
    long long next = line.next_due();
    timespec *limit = nullptr;
    if (next >= 0) {
        long long ns = std::max(0LL, next - MonotonicNs());
        wait = {time_t(ns / 1000000000), long(ns % 1000000000)};
        limit = &wait;
    }
    if (hanging_up && (!limit || wait.tv_sec > 0 || wait.tv_nsec > 10000000)) {
        wait = {0, 10000000};
        limit = &wait;
    }
    return limit;
}

// The options; false at one it does not know.
bool parse(int argc, char **argv)
{
    for (int k = 1; k < argc; k++) {
        std::string a = argv[k];
        bool has = k + 1 < argc;
        if (a == "--help" || a == "-h") {
            usage(stdout);
            exit(0);
        } else if (a == "--pace")
            line.pace = true;
        else if (a == "--hex")
            log_mode = sim::Log::hex;
        else if (a == "--quiet")
            log_mode = sim::Log::quiet;
        else if (a == "--ident" && has)
            instrument.ident = sim::unescape(argv[++k]);
        else if (a == "--front" && has)
            instrument.front = instrument.resistance = sim::unescape(argv[++k]);
        else if (a == "--voltage" && has)
            instrument.voltage = sim::unescape(argv[++k]);
        else if (a == "--fault" && has) {
            std::string name = argv[++k];
            std::string arg;
            const sim::FaultMode *mode = sim::find_fault(name);
            if (mode && mode->has_arg && k + 1 < argc)
                arg = argv[++k];
            if (!sim::set_fault(instrument, name, arg))
                return false;
        } else
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);  // whoever reads our output may stop reading
    if (!parse(argc, argv)) {
        usage(stderr);
        return 2;
    }
    const char *device = line.open();
    if (!device)
        return 1;
    say(device);

    bool stdin_open = true;
    for (;;) {
        long long now = MonotonicNs();
        receive(now);
        if (!line.write(now))
            hang_up();
        sim::PtyLine::Hangup hangup = sim::PtyLine::Hangup::not_yet;
        if (instrument.hanging_up())
            hangup = line.hang_up_when_read(now);
        if (hangup == sim::PtyLine::Hangup::now)
            hang_up();

        timespec wait;
        pollfd fds[2] = {{line.fd(), POLLIN, 0}, {stdin_open ? 0 : -1, POLLIN, 0}};
        if (ppoll(fds, 2, timeout(hangup == sim::PtyLine::Hangup::soon, wait), nullptr) < 0 &&
            errno != EINTR)
            return 1;
        if (fds[0].revents & POLLIN)
            line.read();
        if (fds[1].revents & (POLLIN | POLLHUP))
            stdin_open = read_input();
    }
}
