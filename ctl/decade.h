// The T-483 as t483ctl drives it: through the link on one port that the
// panel's own link is built on (link/port.h), so the same bytes on the line,
// the same trace (T483_TRACE), the same port mapping (T483_COM<n>, the
// settings file, /dev/ttyS<n-1>) and the same reasons when a port cannot be
// opened. A Decade keeps its own state: several may be open, each on its own
// port, each used from one thread at a time.
#pragma once

#include <optional>
#include <string>

// t483ctl's exit statuses.
enum CtlStatus {
    CTL_DONE = 0,
    CTL_NO_INSTRUMENT = 1,  // no answer, an unreadable one, or not a T-483
    CTL_USAGE = 2,
    CTL_PORT = 3,           // the port could not be opened
};

// The resistances the decade can be set to, in MOhm.
enum { DECADE_MIN_MOHM = 0, DECADE_MAX_MOHM = 16221 };
// The test voltages it can select, in volts.
inline constexpr int DECADE_VOLTAGES[] = {1000, 2500, 5000};

// The port `spec` names, after the settings file's port choices have been
// read: "" is COM1; "COMn" (any case) is port n, 1 to 8; anything else is a
// device, made COM1 for this run as the panel's --port does (T483_COM1).
// 0 for a COM number outside 1 to 8, with the reason in *error.
int choose_port(const std::string &spec, std::string *error);

class Decade {
public:
    Decade() = default;
    ~Decade();
    Decade(const Decade &) = delete;
    Decade &operator=(const Decade &) = delete;

    // Opens port n with the instrument's line settings, and waits until the
    // line is quiet (a reply to a command sent before the open landed and
    // dropped). 0, or the RS-232 error code, with the reason the panel would
    // give in *error.
    int open(int port, std::string *error);
    void close();
    bool isOpen() const { return port_ != 0; }
    int port() const { return port_; }
    // The device the port reaches, e.g. /dev/ttyUSB0.
    std::string device() const;

    // One command and its reply (without its CR). None when no whole reply
    // came within the link's 0.3 s: a silence, a reply cut short or over 20
    // bytes, a failed read. Such a reply may still be on its way: the next
    // command, or the close, first waits up to 1 s for it and drops it.
    // Any text is sent as it is, up to the link's 83 bytes.
    std::optional<std::string> ask(const std::string &command);
    // After ask: the read found the device gone (unplugged, hung up).
    bool lost() const;

    // "I": the identification value as the panel reads it (the first number
    // in the reply; without one, the reply's length). When it is none or no
    // T-483's, asked once more once the line is quiet.
    std::optional<int> identify();
    // "K": the resistance in MOhm; none also for a reply without a number.
    std::optional<int> resistance();
    // "M": the selected test voltage, one of DECADE_VOLTAGES, or 0 when none
    // is (any other number, an empty reply); none for text without a number.
    std::optional<int> voltage();
    // "L0" (remote) or "L1" (local); "R<n>"; "P0". True when answered.
    bool setRemote(bool remote);
    bool setResistance(int mohm);
    bool powerOff();

    static bool validResistance(long long mohm) { return mohm >= DECADE_MIN_MOHM && mohm <= DECADE_MAX_MOHM; }
    // Whether an identification value is a T-483's.
    static bool isT483(int ident);

private:
    std::optional<int> askIdentification();
    void settle(double horizon);

    int port_ = 0;
    bool lost_ = false;       // the last read found the device gone
    bool unsettled_ = false;  // the last reply did not come whole: the rest may follow
};
