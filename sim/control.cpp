// The simulator's standard input and output lines.
#include "control.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace sim {

namespace {

std::string hex(const std::string &bytes)
{
    std::string s;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, s.empty() ? "%02x" : " %02x", c);
        s += b;
    }
    return s;
}

// The first word of a text, and the rest after one space.
std::pair<std::string, std::string> split_word(const std::string &text)
{
    size_t space = text.find(' ');
    if (space == std::string::npos)
        return {text, ""};
    return {text.substr(0, space), text.substr(space + 1)};
}

// The answer to "help", indented so that no line reads as a log or an answer.
const char *const HELP[] = {
    "  ident TEXT | front TEXT | voltage TEXT   the replies to I, K and M",
    "                    (TEXT may be empty; \\r \\n \\\\ \\xNN escapes)",
    "  fault none | silent | garbage | long | split MS | hangup N | late MS | twice",
    "                    silent: no replies; garbage: a garbled one; long: 32 bytes",
    "                    and no CR; split: a reply's second half MS ms after its",
    "                    first; hangup: the device vanishes after N more commands;",
    "                    late: each reply MS ms after its command; twice: each",
    "                    reply sent twice",
    "  pace on | off     each byte in or out takes 8.33 ms, as at 1200 baud",
    "  send TEXT         put TEXT (escapes as above) on the line now",
    "  local | remote    the state the L commands set",
    "  power on          switch the instrument back on after P0",
    "  help              this list",
    "  quit              end",
};

}  // namespace

std::string unescape(const std::string &text)
{
    std::string s;
    for (size_t k = 0; k < text.size(); k++) {
        if (text[k] != '\\' || k + 1 >= text.size()) {
            s += text[k];
            continue;
        }
        char c = text[++k];
        if (c == 'r')
            s += '\r';
        else if (c == 'n')
            s += '\n';
        else if (c == 'x' && k + 2 < text.size() && isxdigit((unsigned char)text[k + 1]) &&
                 isxdigit((unsigned char)text[k + 2])) {
            s += (char)strtol(text.substr(k + 1, 2).c_str(), nullptr, 16);
            k += 2;
        } else
            s += c;
    }
    return s;
}

bool set_fault(Instrument &instrument, const std::string &name, const std::string &arg)
{
    const FaultMode *mode = find_fault(name);
    if (!mode)
        return false;
    instrument.set_fault(mode->fault, strtol(arg.c_str(), nullptr, 10));
    return true;
}

Request control(Instrument &instrument, const std::string &line)
{
    Request c;
    auto [word, rest] = split_word(line);
    if (word == "ident")
        instrument.ident = unescape(rest);
    else if (word == "front")
        instrument.front = unescape(rest);
    else if (word == "voltage")
        instrument.voltage = unescape(rest);
    else if (word == "fault") {
        auto [name, arg] = split_word(rest);
        if (!set_fault(instrument, name, arg))
            c.answer = "error unknown fault " + rest;
    } else if (word == "pace" && (rest == "on" || rest == "off"))
        c.pace = rest == "on";
    else if (word == "send")
        c.send = unescape(rest);
    else if (word == "local" || word == "remote")
        instrument.remote = word == "remote";
    else if (word == "power" && rest == "on")
        instrument.power = true;
    else if (word == "help" && rest.empty())
        c.lines.assign(std::begin(HELP), std::end(HELP));
    else if (word == "quit")
        c.quit = true;
    else
        c.answer = "error unknown command " + line;
    return c;
}

std::string rx_line(const std::string &command)
{
    return "rx " + hex(command + "\r");
}

std::string tx_line(const std::string &bytes)
{
    return "tx " + hex(bytes);
}

std::string escape(const std::string &bytes)
{
    std::string s;
    char b[5];
    for (unsigned char c : bytes) {
        if (c == '\r')
            s += "\\r";
        else if (c == '\n')
            s += "\\n";
        else if (c == '\\')
            s += "\\\\";
        else if (c >= 0x20 && c < 0x7f)
            s += char(c);
        else {
            snprintf(b, sizeof b, "\\x%02x", c);
            s += b;
        }
    }
    return s;
}

std::vector<std::string> log_lines(Log log, const std::string &command, const std::string &reply)
{
    if (log == Log::quiet)
        return {};
    if (log == Log::hex) {
        if (reply.empty())
            return {rx_line(command)};
        return {rx_line(command), tx_line(reply)};
    }
    auto shown = [](const std::string &text) { return text.empty() ? "(empty)" : escape(text); };
    std::string line = shown(command) + " → ";
    if (reply.empty())
        line += "(no reply)";
    else if (reply.back() == '\r')
        line += shown(reply.substr(0, reply.size() - 1));
    else
        line += shown(reply) + " (no CR)";
    return {line};
}

}  // namespace sim
