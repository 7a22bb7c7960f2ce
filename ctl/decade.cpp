// The T-483 through the link on one port, in a value-returning interface
// for the command line, the SCPI server and the sweep.
#include "ctl/decade.h"

#include "app/settings.h"
#include "link/port.h"
#include "platform/files.h"
#include "platform/serial.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>

int choose_port(const std::string &spec, std::string *error)
{
    // The settings file's choices, as the panel reads them at start-up (the
    // settings code reads the file it opened; nothing of t483ctl reads the
    // handle it keeps once closed).
    const int file = ini_open();
    if (file >= 0) {
        ini_rd_ports();
        CloseFile(file);
    }
    if (spec.empty())
        return 1;
    if (spec.size() > 3 && strncasecmp(spec.c_str(), "com", 3) == 0 &&
        spec.find_first_not_of("0123456789", 3) == std::string::npos) {
        const long n = spec.size() > 5 ? 0 : strtol(spec.c_str() + 3, nullptr, 10);
        if (n < 1 || n > 8) {
            *error = "no such port: " + spec + " (COM1 to COM8)";
            return 0;
        }
        return int(n);
    }
    setenv("T483_COM1", spec.c_str(), 1);
    return 1;
}

Decade::~Decade()
{
    close();
}

int Decade::open(int port, std::string *error)
{
    close();
    const int r = link_port_open(port);
    if (r != 0) {
        if (error)
            *error = GetRS232ErrorString(r);
        return r;
    }
    port_ = port;
    return 0;
}

void Decade::close()
{
    if (!port_)
        return;
    link_port_close(port_);
    port_ = 0;
}

std::string Decade::device() const
{
    return ComDeviceName(port_);
}

std::optional<std::string> Decade::ask(const std::string &command)
{
    if (!port_)
        return std::nullopt;
    // link_send takes a NUL-terminated text of at most LINK_COMMAND_MAX bytes.
    char text[LINK_COMMAND_MAX + 1];
    const size_t n = std::min(command.size(), size_t(LINK_COMMAND_MAX));
    memcpy(text, command.data(), n);
    text[n] = 0;
    link_send(port_, text);
    LinkReply reply;
    link_receive(port_, &reply);
    lost_ = reply.lost != 0;
    if (reply.count < 0 || reply.timed_out)
        return std::nullopt;
    return std::string(reply.text, size_t(reply.count));
}

bool Decade::lost() const
{
    return lost_;
}

// Without a number in it, the identification is the reply's length.
std::optional<int> Decade::identify()
{
    const auto reply = ask("I");
    if (!reply)
        return std::nullopt;
    int value;
    if (!parse_id(reply->c_str(), &value))
        value = int(reply->size());
    return value;
}

std::optional<int> Decade::resistance()
{
    const auto reply = ask("K");
    int value;
    if (!reply || !parse_r(reply->c_str(), &value))
        return std::nullopt;
    return value;
}

std::optional<int> Decade::voltage()
{
    const auto reply = ask("M");
    if (!reply)
        return std::nullopt;
    int value;
    if (parse_m(reply->c_str(), &value))
        for (int v : DECADE_VOLTAGES)
            if (value == v)
                return v;
    return 0;
}

bool Decade::setRemote(bool on)
{
    return ask(on ? "L0" : "L1").has_value();
}

bool Decade::setResistance(int mohm)
{
    std::string command = "R";  // appended: "R" + string trips GCC 12's -Wrestrict
    command += std::to_string(mohm);
    return ask(command).has_value();
}

bool Decade::powerOff()
{
    return ask("P0").has_value();
}

bool Decade::isT483(int ident)
{
    return t483_ident_ok(ident) != 0;
}
