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

// The panel, bound to its tick, waits 0.35 s at most for a late reply.
// t483ctl is bound to no tick, and takes nothing that may be another
// command's reply:
// - A reply counts only whole, its CR come (link_receive_whole).
// - One that did not come whole (its read ran out of time, or it ran on past
//   twenty bytes) may still be on its way. Before anything more goes out, and
//   before the port is closed, it is given LATE_HORIZON_S from the end of its
//   read to begin; bytes that come are dropped until REPLY_GAP_S has passed
//   without one (SETTLE_LIMIT_S more at most, for a line that never falls
//   quiet).
// - At the open, a reply to a command sent before it (by a run that was
//   killed) may be on its way: the line is drained until it has been quiet
//   OPEN_QUIET_S (twelve byte times at 1200 baud), which drops a reply the
//   instrument has begun by then. An identification that such a reply spoils
//   is asked again (identify) once the line has been quiet ANSWER_S, the
//   time within which the instrument answers a command.
static const double LATE_HORIZON_S = 1.0;
static const double REPLY_GAP_S = 0.05;
static const double SETTLE_LIMIT_S = 2.0;
static const double OPEN_QUIET_S = 0.1;
static const double ANSWER_S = 0.3;

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
    lost_ = false;
    unsettled_ = false;
    settle(OPEN_QUIET_S);
    return 0;
}

void Decade::close()
{
    if (!port_)
        return;
    if (unsettled_ && !lost_)
        settle(LATE_HORIZON_S);
    link_port_close(port_);
    port_ = 0;
}

// Input is dropped until the line has been quiet: `horizon` seconds since the
// end of the last read (or the open) with nothing coming, or REPLY_GAP_S
// since the last byte that came.
void Decade::settle(double horizon)
{
    ComDrainQuiet(port_, horizon, REPLY_GAP_S, horizon + SETTLE_LIMIT_S);
    unsettled_ = false;
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
    if (unsettled_)
        settle(LATE_HORIZON_S);
    link_send(port_, text);
    LinkReply reply;
    link_receive_whole(port_, &reply);
    lost_ = reply.lost != 0;
    if (reply.count < 0 || reply.timed_out) {
        unsettled_ = !lost_;
        return std::nullopt;
    }
    return std::string(reply.text, size_t(reply.count));
}

bool Decade::lost() const
{
    return lost_;
}

// A reply that is no T-483's identification, or none, may be another's: the
// late answer to a killed run's command, or the answer to the first bytes of
// its command and our "I" taken as one. Once the line is quiet (this "I"'s own
// reply landed) the decade is asked again, and that answer stands.
std::optional<int> Decade::identify()
{
    const std::optional<int> first = askIdentification();
    if (lost_ || (first && isT483(*first)))
        return first;
    if (!unsettled_)
        settle(ANSWER_S);
    return askIdentification();
}

// Without a number in it, the identification is the reply's length.
std::optional<int> Decade::askIdentification()
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

// An empty reply is no voltage; text without a number at its start is no
// answer.
std::optional<int> Decade::voltage()
{
    const auto reply = ask("M");
    if (!reply)
        return std::nullopt;
    int value;
    if (reply->empty())
        return 0;
    if (!parse_m(reply->c_str(), &value))
        return std::nullopt;
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
