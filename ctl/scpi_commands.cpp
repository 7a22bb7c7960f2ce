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

// One resistance: ohms with an optional suffix, MINimum or MAXimum.
int oneResistance(const std::vector<std::string_view> &parameters, int *mohm)
{
    if (parameters.empty())
        return MISSING_PARAMETER;
    if (parameters.size() > 1)
        return PARAMETER_NOT_ALLOWED;
    const Resistance r = parseResistance(parameters[0]);
    *mohm = r.mohm;
    return r.error;
}

// MINimum or MAXimum, as the limit in MOhm.
int minOrMax(const std::vector<std::string_view> &parameters, int *mohm)
{
    if (parameters.empty())
        return MISSING_PARAMETER;
    if (parameters.size() > 1)
        return PARAMETER_NOT_ALLOWED;
    const DataType type = dataTypeOf(parameters[0]);
    if (type == DataType::STRING || type == DataType::NUMERIC)
        return DATA_TYPE_ERROR;
    if (type != DataType::CHARACTER)
        return SYNTAX_ERROR;
    const Resistance r = parseResistance(parameters[0]);
    *mohm = r.mohm;
    return r.error;
}

// OFF or 0: the only power state the decade can be put in from afar.
int off(const std::vector<std::string_view> &parameters, int *)
{
    if (parameters.empty())
        return MISSING_PARAMETER;
    if (parameters.size() > 1)
        return PARAMETER_NOT_ALLOWED;
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

CommandResult identify(int, const Identity &identity, ErrorQueue &)
{
    return reply("t483,T-483," + std::to_string(identity.ident) + "," + identity.version);
}

CommandResult clearErrors(int, const Identity &, ErrorQueue &errors)
{
    errors.clear();
    return {};
}

CommandResult operationComplete(int, const Identity &, ErrorQueue &)
{
    return reply("1");
}

// *OPC, *WAI: everything is done in order anyway.
CommandResult nothing(int, const Identity &, ErrorQueue &)
{
    return {};
}

CommandResult nextError(int, const Identity &, ErrorQueue &errors)
{
    return reply(errorReply(errors.next()));
}

CommandResult errorCount(int, const Identity &, ErrorQueue &errors)
{
    return reply(std::to_string(errors.count()));
}

CommandResult version(int, const Identity &, ErrorQueue &)
{
    return reply("1999.0");
}

CommandResult resistanceLimit(int mohm, const Identity &, ErrorQueue &)
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
    {"*CLS",                  noParameters,  inSession(clearErrors)},
    {"*OPC?",                 noParameters,  inSession(operationComplete)},
    {"*OPC",                  noParameters,  inSession(nothing)},
    {"*WAI",                  noParameters,  inSession(nothing)},
    {"[SOURce]:RESistance",   oneResistance, onInstrument(setResistance)},
    {"[SOURce]:RESistance?",  noParameters,  onInstrument(queryResistance)},
    {"[SOURce]:RESistance?",  minOrMax,      inSession(resistanceLimit)},
    {"[SOURce]:VOLTage?",     noParameters,  onInstrument(queryVoltage)},
    {"SYSTem:REMote",         noParameters,  onInstrument(remote)},
    {"SYSTem:LOCal",          noParameters,  onInstrument(local)},
    {"SYSTem:POWer",          off,           onInstrument(powerOff)},
    {"SYSTem:ERRor:[NEXT]?",  noParameters,  inSession(nextError)},
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
