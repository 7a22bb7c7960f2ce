// SCPI for the T-483, without I/O and without Qt: the lines a client sends,
// split into message units, their headers resolved and parameters read; the
// commands carried out on an instrument; and the per-connection session that
// keeps the error queue and joins one line's replies.
//
// Headers (case-insensitive, each node in its short or long form):
//   *IDN?  *CLS  *OPC  *OPC?  *WAI
//   [SOURce:]RESistance <ohms>|MINimum|MAXimum    [SOURce:]RESistance? [MIN|MAX]
//   [SOURce:]VOLTage?
//   SYSTem:REMote  SYSTem:LOCal  SYSTem:POWer OFF|0
//   SYSTem:ERRor[:NEXT]?  SYSTem:ERRor:COUNt?  SYSTem:VERSion?
// A line holds message units separated by ';' (outside quoted strings). A
// unit whose header does not start with ':' is resolved under the path the
// unit before it left (its header without the last node), and from the root
// when that fails; common commands (*...) leave the path as it is. A command
// error (-1xx) discards the rest of its line; an execution error (-2xx) does
// not. A line's replies go out as one line: joined by ';', ended by LF.
#pragma once

#include "ctl/decade.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace scpi {

// The standard SCPI error numbers this server queues.
enum Error {
    NO_ERROR = 0,
    COMMAND_ERROR = -100,
    SYNTAX_ERROR = -102,
    DATA_TYPE_ERROR = -104,
    PARAMETER_NOT_ALLOWED = -108,
    MISSING_PARAMETER = -109,
    UNDEFINED_HEADER = -113,
    INVALID_SUFFIX = -131,
    DATA_OUT_OF_RANGE = -222,
    ILLEGAL_PARAMETER_VALUE = -224,
    HARDWARE_ERROR = -240,
    QUEUE_OVERFLOW = -350,
    INPUT_BUFFER_OVERRUN = -363,
};
// "Undefined header" for -113; "Unknown error" for a number not listed.
const char *errorText(int error);
// The queue's reply for an error: -113,"Undefined header".
std::string errorReply(int error);

// The longest line taken, without its LF; the rest of a longer one is
// discarded, with -363 queued.
inline constexpr std::size_t MAX_LINE = 4096;
// Errors a session's queue holds; one more replaces the last with -350.
inline constexpr std::size_t ERROR_QUEUE = 10;
// SCPI's not-a-number: the reply to a query the instrument did not answer.
inline constexpr const char *NOT_A_NUMBER = "9.91E+37";
// The resistances the decade takes, in MOhm.
inline constexpr int MIN_MOHM = DECADE_MIN_MOHM, MAX_MOHM = DECADE_MAX_MOHM;

// What a message unit asks for.
enum class Op {
    // Answered by the session itself.
    IDENTIFY,       // *IDN?
    CLEAR,          // *CLS
    OPC_QUERY,      // *OPC?
    NOTHING,        // *OPC, *WAI: everything is done in order anyway
    ERROR_NEXT,     // SYST:ERR?
    ERROR_COUNT,    // SYST:ERR:COUN?
    VERSION,        // SYST:VERS?
    RES_LIMIT,      // RES? MIN|MAX (value: the limit in MOhm)
    // Carried out on the instrument.
    RES_SET,        // RES <value> (value: MOhm)
    RES_QUERY,      // RES?  ("K")
    VOLT_QUERY,     // VOLT? ("M")
    REMOTE,         // SYST:REM ("L0")
    LOCAL,          // SYST:LOC ("L1")
    POWER_OFF,      // SYST:POW OFF ("P0")
};
bool onInstrument(Op op);

struct Command {
    Op op = Op::NOTHING;
    int value = 0;
};

// One message unit as parsed: a command, or the error it is.
struct Unit {
    Command command;
    int error = NO_ERROR;
};

// A line (without its LF; a CR before it already dropped) as message units,
// up to and including the first that is a command error. Empty units (";;",
// a blank line) are skipped.
std::vector<Unit> parseLine(std::string_view line);

// A parameter in ohms (a number with an optional exponent and suffix OHM,
// KOHM, MOHM = mega, GOHM; or MINimum / MAXimum) as MOhm, or the error.
struct Resistance {
    int mohm = 0;
    int error = NO_ERROR;
};
Resistance parseResistance(std::string_view parameter);

// "4.072000E+09": MOhm as ohms in NR3.
std::string formatOhms(int mohm);

// The instrument a session's commands are carried out on; the server's is
// the decade on its serial line. False / none: it did not answer.
struct Instrument {
    virtual ~Instrument() = default;
    virtual std::optional<int> resistance() = 0;   // "K", MOhm
    virtual std::optional<int> voltage() = 0;      // "M", volts, 0 for none
    virtual bool setRemote(bool remote) = 0;       // "L0" / "L1"
    virtual bool setResistance(int mohm) = 0;      // "R<n>"
    virtual bool powerOff() = 0;                   // "P0"
};

// What the server knows of the decade across all its clients: whether it
// has put it under remote control.
struct DeviceState {
    bool remote = false;
};

// The result of a command on the instrument: its reply (for a query) and
// the error it queues, if any.
struct Outcome {
    bool hasReply = false;
    std::string reply;
    int error = NO_ERROR;
};
// Carries out one command with onInstrument(op): at most one serial command
// but for RES, which sends "L0" first while the decade is not known to be
// under remote control.
Outcome execute(const Command &command, Instrument &instrument, DeviceState &state);

// The identification *IDN? gives: t483,T-483,<ident>,<version>.
struct Identity {
    int ident = 0;
    std::string version;
};

// One client's conversation. Bytes go in with feed(); next() carries out
// what needs no instrument and hands out the next command that does, which
// the caller carries out (execute) and returns with finish() before next()
// goes on. take() gives the reply bytes so far.
class Session {
public:
    explicit Session(Identity identity) : identity_(std::move(identity)) {}

    void feed(std::string_view bytes);
    std::optional<Command> next();
    void finish(const Outcome &outcome);
    std::string take();

    // Lines received and not yet carried out whole.
    std::size_t pendingLines() const { return lines_.size(); }
    bool waiting() const { return waiting_; }
    std::size_t errorCount() const { return errors_.size(); }
    void pushError(int error);

    // Everything at once on an instrument: feed, then every command
    // carried out; returns the replies.
    std::string run(std::string_view bytes, Instrument &instrument, DeviceState &state);

private:
    struct Line {
        std::vector<Unit> units;
        std::size_t done = 0;
        std::vector<std::string> replies;
    };
    void endLine(const std::string &text);
    void finishUnit();

    Identity identity_;
    std::string partial_;         // a line not yet ended
    bool discarding_ = false;     // the rest of an over-long line
    std::deque<Line> lines_;
    std::deque<int> errors_;
    std::string out_;
    bool waiting_ = false;        // next() handed out a command
};

}  // namespace scpi
