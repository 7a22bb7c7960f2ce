// The simulator's own protocol, without I/O: the lines on its standard input
// that change the instrument while it runs, and the lines it reports on its
// standard output (the usage comment at the top of main.cpp lists both).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "instrument.h"

namespace sim {

// \r \n \\ \xNN in a text given on the command line or standard input; any
// other escaped character stands for itself.
std::string unescape(const std::string &text);

// Sets a fault by name and its ARG as given ("split", "40"); false for an
// unknown name.
bool set_fault(Instrument &instrument, const std::string &name, const std::string &arg);

// What one line of standard input asks of the simulator beyond the
// instrument's state, which it changes itself.
struct Request {
    std::vector<std::string> lines;    // to print before the answer (help)
    std::string answer = "ok";         // "ok", or "error " and why
    std::optional<bool> pace;          // pace on | off
    std::optional<std::string> send;   // bytes to put on the line now
    bool quit = false;
};
Request control(Instrument &instrument, const std::string &line);

// The report lines: "rx" and the bytes of a command received, its CR
// included; "tx" and the bytes of a reply. Each byte as two hex digits.
std::string rx_line(const std::string &command);
std::string tx_line(const std::string &bytes);

// Bytes written as unescape() reads them back: \r, \n, \\, and \xNN for
// any other byte outside printable ASCII.
std::string escape(const std::string &bytes);

// How the traffic is logged on standard output.
enum class Log {
    readable,  // one line a command: "K → 4072", "R47 → R47", "K → (no reply)"
    hex,       // rx_line for each command, then tx_line for its reply if any
    quiet,     // nothing
};

// The log lines for one command received (the bytes before its CR) and its
// reply as put on the line (empty: none). In the readable form both are
// escaped, the reply's final CR dropped; a reply without one ends in
// " (no CR)", and an empty text shows as "(empty)".
std::vector<std::string> log_lines(Log log, const std::string &command, const std::string &reply);

}  // namespace sim
