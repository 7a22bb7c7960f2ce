// The simulator's own protocol, without I/O: the lines on its standard input
// that change the instrument while it runs, and the lines it reports on its
// standard output (the usage comment at the top of main.cpp lists both).
#pragma once

#include <optional>
#include <string>

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
struct Control {
    std::string answer = "ok";         // "ok", or "error " and why
    std::optional<bool> pace;          // pace on | off
    std::optional<std::string> send;   // bytes to put on the line now
    bool quit = false;
};
Control control(Instrument &instrument, const std::string &line);

// The report lines: "rx" and the bytes of a command received, its CR
// included; "tx" and the bytes of a reply. Each byte as two hex digits.
std::string rx_line(const std::string &command);
std::string tx_line(const std::string &bytes);

}  // namespace sim
