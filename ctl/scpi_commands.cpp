// The SCPI commands of the T-483: what each reads as its parameters and
// what it does, in the session or on the instrument; one row a command.
#include "ctl/scpi.h"

namespace scpi {

int noParameters(const std::vector<std::string_view> &parameters, int *)
{
    return parameters.empty() ? NO_ERROR : PARAMETER_NOT_ALLOWED;
}

namespace {

// Parameter readers.

// Whether there is exactly one parameter: NO_ERROR, or the error for none
// or for more.
int oneParameter(const std::vector<std::string_view> &parameters)
{
    if (parameters.empty())
        return MISSING_PARAMETER;
    return parameters.size() > 1 ? PARAMETER_NOT_ALLOWED : NO_ERROR;
}

// One resistance: ohms with an optional suffix, MINimum or MAXimum.
int oneResistance(const std::vector<std::string_view> &parameters, int *mohm)
{
    if (const int error = oneParameter(parameters))
        return error;
    const Resistance r = parseResistance(parameters[0]);
    *mohm = r.mohm;
    return r.error;
}

// MINimum or MAXimum, as the limit in MOhm.
int minOrMax(const std::vector<std::string_view> &parameters, int *mohm)
{
    if (const int error = oneParameter(parameters))
        return error;
    const DataType type = dataTypeOf(parameters[0]);
    if (type == DataType::STRING || type == DataType::NUMERIC)
        return DATA_TYPE_ERROR;
    if (type != DataType::CHARACTER)
        return SYNTAX_ERROR;
    const Resistance r = parseResistance(parameters[0]);
    *mohm = r.mohm;
    return r.error;
}

// A register's mask: a whole number from 0 to 255.
int mask(const std::vector<std::string_view> &parameters, int *value)
{
    if (const int error = oneParameter(parameters))
        return error;
    return parseMask(parameters[0], value);
}

// OFF or 0: the only power state the decade can be put in from afar.
int off(const std::vector<std::string_view> &parameters, int *)
{
    if (const int error = oneParameter(parameters))
        return error;
    const DataType type = dataTypeOf(parameters[0]);
    if (type == DataType::STRING)
        return DATA_TYPE_ERROR;
    if (type == DataType::BAD)
        return SYNTAX_ERROR;
    if (matchesMnemonic(parameters[0], "OFF") || parameters[0] == "0")
        return NO_ERROR;
    return ILLEGAL_PARAMETER_VALUE;
}

// Answered by the session.

CommandResult reply(std::string text)
{
    return {true, std::move(text), NO_ERROR};
}

CommandResult identify(int, const Identity &identity, SessionState &)
{
    return reply("t483,T-483," + std::to_string(identity.ident) + "," + identity.version);
}

// *CLS: the error queue and the event status register emptied.
CommandResult clearStatus(int, const Identity &, SessionState &session)
{
    session.errors.clear();
    session.events = 0;
    return {};
}

// *RST: the session as a new connection has it. Nothing is sent to the
// decade: a reset must not change the resistance on a live high-voltage
// test, nor take the decade out of remote control.
CommandResult reset(int, const Identity &, SessionState &session)
{
    session = SessionState();
    return {};
}

CommandResult operationComplete(int, const Identity &, SessionState &)
{
    return reply("1");
}

// *OPC: everything before it is done by the time it is reached.
CommandResult setOperationComplete(int, const Identity &, SessionState &session)
{
    session.events |= OPERATION_COMPLETE;
    return {};
}

// *WAI: everything is done in order anyway.
CommandResult nothing(int, const Identity &, SessionState &)
{
    return {};
}

CommandResult readEvents(int, const Identity &, SessionState &session)
{
    const int events = session.events;
    session.events = 0;
    return reply(std::to_string(events));
}

CommandResult setEventMask(int mask, const Identity &, SessionState &session)
{
    session.eventMask = mask;
    return {};
}

CommandResult eventMask(int, const Identity &, SessionState &session)
{
    return reply(std::to_string(session.eventMask));
}

// The request summary bit itself cannot be enabled.
CommandResult setRequestMask(int mask, const Identity &, SessionState &session)
{
    session.requestMask = mask & ~REQUEST_SUMMARY;
    return {};
}

CommandResult requestMask(int, const Identity &, SessionState &session)
{
    return reply(std::to_string(session.requestMask));
}

CommandResult statusByte(int, const Identity &, SessionState &session)
{
    return reply(std::to_string(session.statusByte()));
}

CommandResult nextError(int, const Identity &, SessionState &session)
{
    return reply(errorReply(session.errors.next()));
}

// Every error queued, oldest first, the queue emptied; "0,"No error""
// when there is none.
CommandResult allErrors(int, const Identity &, SessionState &session)
{
    std::string all = errorReply(session.errors.next());
    while (session.errors.count()) {
        all += ',';  // appended: "," + string trips GCC 12's -Wrestrict
        all += errorReply(session.errors.next());
    }
    return reply(all);
}

CommandResult errorCount(int, const Identity &, SessionState &session)
{
    return reply(std::to_string(session.errors.count()));
}

CommandResult version(int, const Identity &, SessionState &)
{
    return reply("1999.0");
}

CommandResult resistanceLimit(int mohm, const Identity &, SessionState &)
{
    return reply(formatOhms(mohm));
}

// Carried out on the instrument.

const CommandResult hardwareError{false, {}, HARDWARE_ERROR};

// An instrument's answer to a query, or not-a-number when it gave none.
CommandResult replyOrNaN(const std::optional<std::string> &answer)
{
    if (answer)
        return reply(*answer);
    return {true, NOT_A_NUMBER, HARDWARE_ERROR};
}

CommandResult setResistance(int mohm, Instrument &instrument, DeviceState &state)
{
    if (!state.remote) {
        if (!instrument.setRemote(true))
            return hardwareError;
        state.remote = true;
    }
    return instrument.setResistance(mohm) ? CommandResult() : hardwareError;
}

CommandResult queryResistance(int, Instrument &instrument, DeviceState &)
{
    const std::optional<int> mohm = instrument.resistance();
    return replyOrNaN(mohm ? std::optional<std::string>(formatOhms(*mohm)) : std::nullopt);
}

CommandResult queryVoltage(int, Instrument &instrument, DeviceState &)
{
    const std::optional<int> volts = instrument.voltage();
    return replyOrNaN(volts ? std::optional<std::string>(std::to_string(*volts)) : std::nullopt);
}

// *TST?: 0 when the decade identifies as a T-483, 1 otherwise.
CommandResult selfTest(int, Instrument &instrument, DeviceState &)
{
    return reply(instrument.identifies() ? "0" : "1");
}

CommandResult remote(int, Instrument &instrument, DeviceState &state)
{
    state.remote = instrument.setRemote(true);
    return state.remote ? CommandResult() : hardwareError;
}

CommandResult local(int, Instrument &instrument, DeviceState &state)
{
    state.remote = false;
    return instrument.setRemote(false) ? CommandResult() : hardwareError;
}

CommandResult powerOff(int, Instrument &instrument, DeviceState &state)
{
    state.remote = false;
    return instrument.powerOff() ? CommandResult() : hardwareError;
}

const CommandRow table[] = {
    // header                 parameters     where it runs and what it does
    {"*IDN?",                 noParameters,  inSession(identify)},
    {"*CLS",                  noParameters,  inSession(clearStatus)},
    {"*RST",                  noParameters,  inSession(reset)},
    {"*TST?",                 noParameters,  onInstrument(selfTest)},
    {"*OPC?",                 noParameters,  inSession(operationComplete)},
    {"*OPC",                  noParameters,  inSession(setOperationComplete)},
    {"*WAI",                  noParameters,  inSession(nothing)},
    {"*ESR?",                 noParameters,  inSession(readEvents)},
    {"*ESE",                  mask,          inSession(setEventMask)},
    {"*ESE?",                 noParameters,  inSession(eventMask)},
    {"*SRE",                  mask,          inSession(setRequestMask)},
    {"*SRE?",                 noParameters,  inSession(requestMask)},
    {"*STB?",                 noParameters,  inSession(statusByte)},
    {"[SOURce]:RESistance",   oneResistance, onInstrument(setResistance)},
    {"[SOURce]:RESistance?",  noParameters,  onInstrument(queryResistance)},
    {"[SOURce]:RESistance?",  minOrMax,      inSession(resistanceLimit)},
    {"[SOURce]:VOLTage?",     noParameters,  onInstrument(queryVoltage)},
    {"SYSTem:REMote",         noParameters,  onInstrument(remote)},
    {"SYSTem:LOCal",          noParameters,  onInstrument(local)},
    {"SYSTem:POWer",          off,           onInstrument(powerOff)},
    {"SYSTem:ERRor:[NEXT]?",  noParameters,  inSession(nextError)},
    {"SYSTem:ERRor:ALL?",     noParameters,  inSession(allErrors)},
    {"SYSTem:ERRor:COUNt?",   noParameters,  inSession(errorCount)},
    {"SYSTem:VERSion?",       noParameters,  inSession(version)},
};

}  // namespace

const std::span<const CommandRow> COMMANDS(table);

CommandResult execute(const Command &command, Instrument &instrument, DeviceState &state)
{
    if (!command.row || !command.row->handler.onInstrument)
        return {};
    return command.row->handler.onInstrument(command.value, instrument, state);
}

}  // namespace scpi
