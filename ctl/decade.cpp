// The T-483 through the panel's link: the link's functions and globals,
// wrapped in a value-returning interface for the command line, the SCPI
// server and the sweep.
#include "ctl/decade.h"

#include "app/settings.h"
#include "app/state.h"
#include "link/link.h"
#include "platform/files.h"
#include "platform/serial.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

int choose_port(const std::string &spec, std::string *error)
{
    // The settings file's choices, as the panel reads them at start-up.
    if (ini_open() >= 0) {
        ini_rd_ports();
        CloseFile(fhi);
        fhi = -1;
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
    demo = 0;
    com = port;
    const int r = link_open(port);
    if (r != 0) {
        if (error)
            *error = GetRS232ErrorString(r);
        com = 0;
        return r;
    }
    port_ = port;
    return 0;
}

void Decade::close()
{
    if (!port_)
        return;
    link_close();
    port_ = 0;
    com = 0;
}

std::string Decade::device() const
{
    return ComDeviceName(port_ ? port_ : com);
}

std::optional<std::string> Decade::ask(const std::string &command)
{
    if (!port_)
        return std::nullopt;
    // sendstring takes a NUL-terminated text of at most TEXT_SIZE - 1 bytes.
    char text[TEXT_SIZE];
    const size_t n = std::min(command.size(), size_t(TEXT_SIZE - 1));
    memcpy(text, command.data(), n);
    text[n] = 0;
    sendstring(text);
    link_read();
    if (i < 0 || ComRdTimedOut(com))
        return std::nullopt;
    return std::string(radek, size_t(i));
}

bool Decade::lost() const
{
    return link_lost() != 0;
}

std::optional<int> Decade::identify()
{
    if (!ask("I"))
        return std::nullopt;
    scan_id();
    return i;
}

std::optional<int> Decade::resistance()
{
    if (!ask("K"))
        return std::nullopt;
    R = -1;
    scan_r();
    if (R < 0)
        return std::nullopt;
    return R;
}

std::optional<int> Decade::voltage()
{
    if (!ask("M"))
        return std::nullopt;
    scan_m();
    for (int v : DECADE_VOLTAGES)
        if (M == v)
            return v;
    return 0;
}

bool Decade::setRemote(bool on)
{
    return ask(on ? "L0" : "L1").has_value();
}

bool Decade::setResistance(int mohm)
{
    return ask("R" + std::to_string(mohm)).has_value();
}

bool Decade::powerOff()
{
    return ask("P0").has_value();
}

bool Decade::isT483(int ident)
{
    return t483_ident_ok(ident) != 0;
}
