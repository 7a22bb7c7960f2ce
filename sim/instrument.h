// The simulated T-483 itself: bytes and commands in, replies out, and the
// faults it can be given. No I/O: the line (line.h) puts a Reply on the wire
// and hangs up when hanging_up() says so.
//
// A new fault mode is a Fault value, a row in fault_modes and a case in
// Instrument::reply (instrument.cpp), which shapes every reply.
#pragma once

#include <optional>
#include <string>

namespace sim {

enum class Fault { none, silent, garbage, longreply, split, hangup, late, twice };

struct FaultMode {
    const char *name;  // as in "fault NAME [ARG]" and --fault NAME [ARG]
    Fault fault;
    bool has_arg;      // --fault takes the next argument as its ARG
};

inline constexpr FaultMode fault_modes[] = {
    {"none", Fault::none, false},       {"silent", Fault::silent, false},
    {"garbage", Fault::garbage, false}, {"long", Fault::longreply, false},
    {"split", Fault::split, true},      {"hangup", Fault::hangup, true},
    {"late", Fault::late, true},        {"twice", Fault::twice, false},
};

// The mode of that name, or null.
const FaultMode *find_fault(const std::string &name);

// What goes on the line for one command.
struct Reply {
    std::string bytes;  // as put on the line, CR included; empty: nothing
    // Fault split: the bytes from split_at on follow split_ms after the rest.
    std::optional<size_t> split_at;
    long split_ms = 0;
    // Fault late: all of it goes out late_ms after the command came.
    long late_ms = 0;
};

class Instrument {
public:
    // The replies to I, K (local control) and M.
    std::string ident = "48300";
    std::string front = "100";
    std::string voltage = "1000";
    std::string resistance = "100";  // K under remote control, as R set it
    bool remote = false;
    bool power = true;  // P0 switches it off; off, it answers nothing

    // One byte from the line; at a CR, the command it ends: exactly the bytes
    // before it (at most 200 of them).
    std::optional<std::string> receive(unsigned char byte);
    // The reply to a command (without its CR); empty bytes while off.
    Reply command(const std::string &cmd);

    // arg: split's and late's delay in ms, hangup's count of commands still
    // answered.
    void set_fault(Fault fault, long arg);
    // Once true, stays so: the line is to go as soon as the program has
    // read what is on it.
    bool hanging_up() const { return hanging_up_; }

private:
    Reply reply(const std::string &text);

    std::string frame_;  // the command being received
    Fault fault_ = Fault::none;
    long fault_arg_ = 0;
    bool hanging_up_ = false;
};

}  // namespace sim
