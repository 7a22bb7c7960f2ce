// SCPI for the T-483, without I/O and without Qt: the lines a client sends,
// split into message units, their headers resolved and parameters read; the
// commands carried out on an instrument; and the per-connection session that
// keeps the error queue and joins one line's replies.
//
// Adding a command: one row in the table of scpi_commands.cpp with its header
// as the manual writes it (short form in capitals, optional nodes in [], '?'
// for a query), the reader of its parameters and its handler, wrapped in
// inSession() when the session answers it itself or onInstrument() when it
// is carried out on the instrument. Add its mnemonics to fuzz/scpi.dict and
// a row to the parser's test. A new error: one line in T483_SCPI_ERRORS.
//
// Headers (case-insensitive, each node in its short or long form):
//   *IDN?  *CLS  *OPC  *OPC?  *WAI  *RST  *TST?
//   *ESR?  *ESE <mask>  *ESE?  *SRE <mask>  *SRE?  *STB?
//   [SOURce:]RESistance <ohms>|MINimum|MAXimum    [SOURce:]RESistance? [MIN|MAX]
//   [SOURce:]VOLTage?
//   SYSTem:REMote  SYSTem:LOCal  SYSTem:POWer OFF|0
//   SYSTem:ERRor[:NEXT]?  SYSTem:ERRor:ALL?  SYSTem:ERRor:COUNt?  SYSTem:VERSion?
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
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace scpi {

// The standard SCPI errors this server queues: name, number, text.
#define T483_SCPI_ERRORS(X)                                       \
    X(NO_ERROR, 0, "No error")                                    \
    X(COMMAND_ERROR, -100, "Command error")                       \
    X(SYNTAX_ERROR, -102, "Syntax error")                         \
    X(DATA_TYPE_ERROR, -104, "Data type error")                   \
    X(PARAMETER_NOT_ALLOWED, -108, "Parameter not allowed")       \
    X(MISSING_PARAMETER, -109, "Missing parameter")               \
    X(UNDEFINED_HEADER, -113, "Undefined header")                 \
    X(INVALID_SUFFIX, -131, "Invalid suffix")                     \
    X(DATA_OUT_OF_RANGE, -222, "Data out of range")               \
    X(ILLEGAL_PARAMETER_VALUE, -224, "Illegal parameter value")   \
    X(HARDWARE_ERROR, -240, "Hardware error")                     \
    X(QUEUE_OVERFLOW, -350, "Queue overflow")                     \
    X(INPUT_BUFFER_OVERRUN, -363, "Input buffer overrun")

enum Error {
#define T483_SCPI_ERROR_NUMBER(name, number, text) name = number,
    T483_SCPI_ERRORS(T483_SCPI_ERROR_NUMBER)
#undef T483_SCPI_ERROR_NUMBER
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

// The instrument a session's commands are carried out on; the server's is
// the decade on its serial line. False / none: it did not answer.
struct Instrument {
    virtual ~Instrument() = default;
    virtual std::optional<int> resistance() = 0;   // "K", MOhm
    virtual std::optional<int> voltage() = 0;      // "M", volts, 0 for none
    virtual bool setRemote(bool remote) = 0;       // "L0" / "L1"
    virtual bool setResistance(int mohm) = 0;      // "R<n>"
    virtual bool powerOff() = 0;                   // "P0"
    virtual bool identifies() = 0;                 // "I": a T-483 answers
};

// What the server knows of the decade across all its clients: whether it
// has put it under remote control.
struct DeviceState {
    bool remote = false;
};

// The identification *IDN? gives: t483,T-483,<ident>,<version>.
struct Identity {
    int ident = 0;
    std::string version;
};

// A session's error queue: oldest first, ERROR_QUEUE at most.
class ErrorQueue {
public:
    // One more than the queue holds replaces its last with -350.
    void push(int error);
    // The oldest, taken off; NO_ERROR when there is none.
    int next();
    std::size_t count() const { return errors_.size(); }
    void clear() { errors_.clear(); }

private:
    std::deque<int> errors_;
};

// The IEEE 488.2 event status register's bits this server sets: *OPC, and
// an error of each class queued.
enum EventBit {
    OPERATION_COMPLETE = 1,
    QUERY_ERROR = 4,
    DEVICE_ERROR = 8,
    EXECUTION_ERROR = 16,
    COMMAND_ERROR_BIT = 32,
};
// The status byte's bits (*STB?): an error queued, the event summary
// (event status bits *ESE enables), the request summary (status bits
// *SRE enables).
enum StatusBit {
    ERROR_AVAILABLE = 4,
    EVENT_SUMMARY = 32,
    REQUEST_SUMMARY = 64,
};

// What a session keeps of its own: its error queue and its status
// registers. A new connection starts with all of it empty, and so does
// *RST.
struct SessionState {
    ErrorQueue errors;
    int events = 0;        // the event status register; *ESR? reads and clears it
    int eventMask = 0;     // *ESE
    int requestMask = 0;   // *SRE
    // An error queued, its class noted in the event status register.
    void record(int error);
    int statusByte() const;
};

// What a command gives back: its reply (a query's) and the error it queues,
// if any.
struct CommandResult {
    bool hasReply = false;
    std::string reply;
    int error = NO_ERROR;
};

// Reads a command's parameters (each trimmed, none an empty list, all of a
// known data type) into the value its handler gets; returns the error they
// are, NO_ERROR when they are right.
using ParameterReader = int (*)(const std::vector<std::string_view> &parameters, int *value);
// The reader of a command that takes no parameters: -108 for any.
int noParameters(const std::vector<std::string_view> &parameters, int *value);
// A command the session answers itself, from what it knows.
using SessionHandler = CommandResult (*)(int value, const Identity &identity, SessionState &session);
// A command carried out on the instrument: at most one serial command but
// for RES, which sends "L0" first while the decade is not known to be under
// remote control.
using InstrumentHandler = CommandResult (*)(int value, Instrument &instrument, DeviceState &state);

// Where a command runs: one of the two is set.
struct Handler {
    SessionHandler inSession = nullptr;
    InstrumentHandler onInstrument = nullptr;
};
constexpr Handler inSession(SessionHandler handler)
{
    return {handler, nullptr};
}
constexpr Handler onInstrument(InstrumentHandler handler)
{
    return {nullptr, handler};
}

// One command. Rows with the same header differ in their parameters: the
// one whose reader takes none is chosen when none are given, the other
// otherwise.
struct CommandRow {
    const char *header;   // nodes separated by ':', optional ones in [], '?' for a query
    ParameterReader parameters;
    Handler handler;
};
// The commands, in the order headers are looked up.
extern const std::span<const CommandRow> COMMANDS;

// A message unit's command with its parameter read (MOhm, for RES and
// RES? MIN|MAX).
struct Command {
    const CommandRow *row = nullptr;
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

// The data type of a parameter (trimmed): a number, a word (character data:
// a letter, then letters, digits and '_'), a quoted string, or none of them.
enum class DataType { NUMERIC, CHARACTER, STRING, BAD };
DataType dataTypeOf(std::string_view parameter);
// A mnemonic's long form with its short form in capitals ("MINimum"): either
// form matches, in any case, and nothing in between.
bool matchesMnemonic(std::string_view word, std::string_view mnemonic);

// A parameter in ohms (a number with an optional exponent and suffix OHM,
// KOHM, MOHM = mega, GOHM; or MINimum / MAXimum) as MOhm, or the error.
struct Resistance {
    int mohm = 0;
    int error = NO_ERROR;
};
Resistance parseResistance(std::string_view parameter);

// A whole number from 0 to 255 (a decimal number, rounded), as *ESE and
// *SRE take it, or the error.
int parseMask(std::string_view parameter, int *mask);

// "4.072000E+09": MOhm as ohms in NR3.
std::string formatOhms(int mohm);

// Carries out a command that runs on the instrument (nothing for another).
CommandResult execute(const Command &command, Instrument &instrument, DeviceState &state);

// One client's conversation. Bytes go in with feed(); next() carries out
// what runs in the session and hands out the next command that runs on the
// instrument, which the caller carries out (execute) and returns with
// complete() before next() goes on. take() gives the reply bytes so far.
class Session {
public:
    explicit Session(Identity identity) : identity_(std::move(identity)) {}

    void feed(std::string_view bytes);
    std::optional<Command> next();
    void complete(const CommandResult &result);
    std::string take();

    // Lines received and not yet carried out whole.
    std::size_t pendingLines() const { return lines_.size(); }
    bool waiting() const { return waiting_; }
    std::size_t errorCount() const { return state_.errors.count(); }
    void pushError(int error) { state_.record(error); }

    // Everything at once on an instrument: feed, then every command
    // carried out; returns the replies.
    std::string run(std::string_view bytes, Instrument &instrument, DeviceState &state);

private:
    // A line's units, how many are done and the replies they gave.
    struct PendingLine {
        std::vector<Unit> units;
        std::size_t done = 0;
        std::vector<std::string> replies;
    };
    void endLine(const std::string &text);
    void unitDone(const CommandResult &result);

    Identity identity_;
    std::string partial_;         // a line not yet ended
    bool discarding_ = false;     // the rest of an over-long line
    std::deque<PendingLine> lines_;
    SessionState state_;
    std::string out_;
    bool waiting_ = false;        // next() handed out a command
};

}  // namespace scpi
