// The simulated T-483: commands, replies and faults.
#include "instrument.h"

#include <cstdlib>

namespace sim {

namespace {

// 1 to 9 decimal digits: the n of R<n>.
bool digits(const std::string &s)
{
    if (s.empty() || s.size() > 9)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

}  // namespace

const FaultMode *find_fault(const std::string &name)
{
    for (const FaultMode &mode : fault_modes)
        if (name == mode.name)
            return &mode;
    return nullptr;
}

std::optional<std::string> Instrument::receive(unsigned char byte)
{
    if (byte == '\r') {
        std::string cmd;
        cmd.swap(frame_);
        return cmd;
    }
    if (frame_.size() < 200)
        frame_ += char(byte);
    return std::nullopt;
}

Reply Instrument::command(const std::string &cmd)
{
    if (!power)
        return {};
    if (cmd == "I")
        return reply(ident);
    if (cmd == "K")
        return reply(remote ? resistance : front);
    if (cmd == "M")
        return reply(voltage);
    if (cmd.size() > 1 && cmd[0] == 'R' && digits(cmd.substr(1))) {
        if (remote)
            resistance = std::to_string(atol(cmd.c_str() + 1));
        return reply(cmd);
    }
    if (cmd == "L0" || cmd == "L1") {
        remote = cmd == "L0";
        return reply(cmd);
    }
    if (cmd == "P0") {
        Reply r = reply(cmd);
        power = false;
        return r;
    }
    return reply("?");
}

// Every reply of a powered instrument passes here, once per command: the one
// place where a fault acts on it.
Reply Instrument::reply(const std::string &text)
{
    Reply r;
    r.bytes = text + "\r";
    switch (fault_) {
    case Fault::none:
        break;
    case Fault::silent:
        r.bytes.clear();
        break;
    case Fault::garbage:
        r.bytes = "x#?\xff\r";
        break;
    case Fault::longreply:
        r.bytes = "0123456789ABCDEFGHIJKLMNOPQRSTUV";  // 32 bytes, no CR
        break;
    case Fault::split:
        r.split_at = r.bytes.size() / 2;
        r.split_ms = fault_arg_;
        break;
    case Fault::hangup:
        if (--fault_arg_ <= 0)
            hanging_up_ = true;
        break;
    case Fault::late:
        r.late_ms = fault_arg_ > 0 ? fault_arg_ : 0;
        break;
    case Fault::twice:
        r.bytes += r.bytes;
        break;
    }
    return r;
}

void Instrument::set_fault(Fault fault, long arg)
{
    fault_ = fault;
    fault_arg_ = arg;
    if (fault == Fault::hangup && arg <= 0)
        hanging_up_ = true;
}

}  // namespace sim
