// SCPI for the T-483: parsing, the commands on the instrument, the session.
// No locale-dependent conversions here (the program runs under the user's
// locale, where a decimal point may be a comma): numbers are read with
// from_chars and written digit by digit.
#include "ctl/scpi.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace scpi {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}
bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
char upper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}
bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t k = 0; k < a.size(); k++)
        if (upper(a[k]) != upper(b[k]))
            return false;
    return true;
}
std::string_view trim(std::string_view s)
{
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

// A mnemonic's long form with its short form in capitals ("RESistance"):
// either form matches, in any case, and nothing in between.
bool matchesNode(std::string_view token, std::string_view node)
{
    if (equalsNoCase(token, node))
        return true;
    std::size_t shortLen = 0;
    while (shortLen < node.size() && !(node[shortLen] >= 'a' && node[shortLen] <= 'z'))
        shortLen++;
    return equalsNoCase(token, node.substr(0, shortLen));
}

enum class Params { NONE, RES_VALUE, RES_LIMIT, POWER };

struct Definition {
    const char *header;   // nodes separated by ':', optional ones in []
    bool query;
    Op op;
    Params params;
};

const Definition definitions[] = {
    {"[SOURce]:RESistance", false, Op::RES_SET, Params::RES_VALUE},
    {"[SOURce]:RESistance", true, Op::RES_QUERY, Params::RES_LIMIT},
    {"[SOURce]:VOLTage", true, Op::VOLT_QUERY, Params::NONE},
    {"SYSTem:REMote", false, Op::REMOTE, Params::NONE},
    {"SYSTem:LOCal", false, Op::LOCAL, Params::NONE},
    {"SYSTem:POWer", false, Op::POWER_OFF, Params::POWER},
    {"SYSTem:ERRor:[NEXT]", true, Op::ERROR_NEXT, Params::NONE},
    {"SYSTem:ERRor:COUNt", true, Op::ERROR_COUNT, Params::NONE},
    {"SYSTem:VERSion", true, Op::VERSION, Params::NONE},
};

struct Common {
    const char *header;
    Op op;
};
const Common commons[] = {
    {"*IDN?", Op::IDENTIFY}, {"*CLS", Op::CLEAR}, {"*OPC?", Op::OPC_QUERY},
    {"*OPC", Op::NOTHING},   {"*WAI", Op::NOTHING},
};

struct Node {
    std::string_view name;
    bool optional;
};

std::vector<Node> nodesOf(const char *header)
{
    std::vector<Node> nodes;
    std::string_view rest(header);
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        std::string_view piece = rest.substr(0, colon);
        const bool optional = piece.size() > 2 && piece.front() == '[';
        if (optional)
            piece = piece.substr(1, piece.size() - 2);
        nodes.push_back({piece, optional});
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    return nodes;
}

bool matchNodes(const std::vector<std::string_view> &tokens, std::size_t t,
                const std::vector<Node> &nodes, std::size_t n)
{
    if (n == nodes.size())
        return t == tokens.size();
    if (nodes[n].optional && matchNodes(tokens, t, nodes, n + 1))
        return true;
    return t < tokens.size() && matchesNode(tokens[t], nodes[n].name) &&
           matchNodes(tokens, t + 1, nodes, n + 1);
}

const Definition *lookUp(const std::vector<std::string_view> &tokens, bool query)
{
    for (const Definition &d : definitions)
        if (d.query == query && matchNodes(tokens, 0, nodesOf(d.header), 0))
            return &d;
    return nullptr;
}

bool isCommandError(int error)
{
    return error <= -100 && error > -200;
}

enum class Kind { NUMERIC, CHARACTER, STRING, BAD };

Kind kindOf(std::string_view p)
{
    if (p.empty())
        return Kind::BAD;
    if (p.front() == '"' || p.front() == '\'') {
        if (p.size() < 2 || p.back() != p.front())
            return Kind::BAD;
        return Kind::STRING;
    }
    if (isLetter(p.front())) {
        for (char c : p)
            if (!isLetter(c) && !isDigit(c) && c != '_')
                return Kind::BAD;
        return Kind::CHARACTER;
    }
    if (isDigit(p.front()) || p.front() == '+' || p.front() == '-' || p.front() == '.')
        return Kind::NUMERIC;
    return Kind::BAD;
}

// Splits parameters at commas outside quoted strings, each trimmed. False
// when a string is left open.
bool splitParameters(std::string_view text, std::vector<std::string_view> *out)
{
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t k = 0; k < text.size(); k++) {
        const char c = text[k];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ',') {
            out->push_back(trim(text.substr(start, k - start)));
            start = k + 1;
        }
    }
    if (quote)
        return false;
    out->push_back(trim(text.substr(start)));
    return true;
}

Unit failed(int error)
{
    Unit u;
    u.error = error;
    return u;
}

Unit withParameters(const Definition &d, const std::vector<std::string_view> &params)
{
    Unit u;
    u.command.op = d.op;
    switch (d.params) {
    case Params::NONE:
        if (!params.empty())
            return failed(PARAMETER_NOT_ALLOWED);
        return u;
    case Params::RES_VALUE: {
        if (params.empty())
            return failed(MISSING_PARAMETER);
        if (params.size() > 1)
            return failed(PARAMETER_NOT_ALLOWED);
        const Resistance r = parseResistance(params[0]);
        if (r.error)
            return failed(r.error);
        u.command.value = r.mohm;
        return u;
    }
    case Params::RES_LIMIT: {
        if (params.empty())
            return u;
        if (params.size() > 1)
            return failed(PARAMETER_NOT_ALLOWED);
        const Kind kind = kindOf(params[0]);
        if (kind == Kind::STRING || kind == Kind::NUMERIC)
            return failed(DATA_TYPE_ERROR);
        if (kind != Kind::CHARACTER)
            return failed(SYNTAX_ERROR);
        const Resistance r = parseResistance(params[0]);
        if (r.error)
            return failed(r.error);
        u.command.op = Op::RES_LIMIT;
        u.command.value = r.mohm;
        return u;
    }
    case Params::POWER: {
        if (params.empty())
            return failed(MISSING_PARAMETER);
        if (params.size() > 1)
            return failed(PARAMETER_NOT_ALLOWED);
        const Kind kind = kindOf(params[0]);
        if (kind == Kind::STRING)
            return failed(DATA_TYPE_ERROR);
        if (kind == Kind::BAD)
            return failed(SYNTAX_ERROR);
        if (equalsNoCase(params[0], "OFF") || params[0] == "0")
            return u;
        return failed(ILLEGAL_PARAMETER_VALUE);
    }
    }
    return failed(COMMAND_ERROR);
}

// One message unit (not empty, trimmed). `path` is the header path left by
// the unit before; updated.
Unit parseUnit(std::string_view text, std::vector<std::string_view> &path)
{
    std::size_t end = 0;
    while (end < text.size() && !isSpace(text[end]))
        end++;
    const std::string_view header = text.substr(0, end);
    const std::string_view rest = trim(text.substr(end));

    std::vector<std::string_view> params;
    if (!rest.empty() && !splitParameters(rest, &params))
        return failed(SYNTAX_ERROR);
    for (std::string_view p : params)
        if (kindOf(p) == Kind::BAD)
            return failed(SYNTAX_ERROR);

    if (header.front() == '*') {
        // A common command: '*', letters, an optional '?'.
        std::size_t k = 1;
        while (k < header.size() && isLetter(header[k]))
            k++;
        if (k == 1 || !(k == header.size() || (k + 1 == header.size() && header[k] == '?')))
            return failed(SYNTAX_ERROR);
        for (const Common &c : commons)
            if (equalsNoCase(header, c.header)) {
                if (!params.empty())
                    return failed(PARAMETER_NOT_ALLOWED);
                Unit u;
                u.command.op = c.op;
                return u;
            }
        return failed(UNDEFINED_HEADER);
    }

    // [':'] mnemonic (':' mnemonic)* ['?'], a mnemonic a letter and then
    // letters, digits and '_'.
    std::string_view h = header;
    const bool query = h.back() == '?';
    if (query)
        h.remove_suffix(1);
    const bool fromRoot = !h.empty() && h.front() == ':';
    if (fromRoot)
        h.remove_prefix(1);
    std::vector<std::string_view> tokens;
    while (true) {
        const std::size_t colon = h.find(':');
        const std::string_view token = h.substr(0, colon);
        if (token.empty() || !isLetter(token.front()))
            return failed(SYNTAX_ERROR);
        for (char c : token)
            if (!isLetter(c) && !isDigit(c) && c != '_')
                return failed(SYNTAX_ERROR);
        tokens.push_back(token);
        if (colon == std::string_view::npos)
            break;
        h.remove_prefix(colon + 1);
    }

    const Definition *d = nullptr;
    std::vector<std::string_view> full;
    if (!fromRoot && !path.empty()) {
        full = path;
        full.insert(full.end(), tokens.begin(), tokens.end());
        d = lookUp(full, query);
    }
    if (!d) {
        full = tokens;
        d = lookUp(full, query);
    }
    if (!d)
        return failed(UNDEFINED_HEADER);
    full.pop_back();
    path = full;
    return withParameters(*d, params);
}

// Integers as NR3 with six decimals: 4072000000 -> 4.072000E+09.
std::string nr3(long long value)
{
    if (value == 0)
        return "0.000000E+00";
    std::string sign = value < 0 ? "-" : "";
    unsigned long long v = value < 0 ? 0ULL - (unsigned long long)value : (unsigned long long)value;
    std::string digits = std::to_string(v);
    int exponent = int(digits.size()) - 1;
    if (digits.size() > 7) {
        // Rounded to seven significant digits, half up.
        unsigned long long scale = 1;
        for (std::size_t k = 7; k < digits.size(); k++)
            scale *= 10;
        const unsigned long long kept = (v + scale / 2) / scale;
        digits = std::to_string(kept);
        if (digits.size() > 7) {
            digits.pop_back();
            exponent++;
        }
    }
    digits.resize(7, '0');
    std::string e = std::to_string(exponent);
    if (e.size() < 2)
        e.insert(0, "0");
    return sign + digits.substr(0, 1) + "." + digits.substr(1) + "E+" + e;
}

}  // namespace

const char *errorText(int error)
{
    switch (error) {
    case NO_ERROR: return "No error";
    case COMMAND_ERROR: return "Command error";
    case SYNTAX_ERROR: return "Syntax error";
    case DATA_TYPE_ERROR: return "Data type error";
    case PARAMETER_NOT_ALLOWED: return "Parameter not allowed";
    case MISSING_PARAMETER: return "Missing parameter";
    case UNDEFINED_HEADER: return "Undefined header";
    case INVALID_SUFFIX: return "Invalid suffix";
    case DATA_OUT_OF_RANGE: return "Data out of range";
    case ILLEGAL_PARAMETER_VALUE: return "Illegal parameter value";
    case HARDWARE_ERROR: return "Hardware error";
    case QUEUE_OVERFLOW: return "Queue overflow";
    case INPUT_BUFFER_OVERRUN: return "Input buffer overrun";
    }
    return "Unknown error";
}

std::string errorReply(int error)
{
    return std::to_string(error) + ",\"" + errorText(error) + "\"";
}

bool onInstrument(Op op)
{
    switch (op) {
    case Op::RES_SET:
    case Op::RES_QUERY:
    case Op::VOLT_QUERY:
    case Op::REMOTE:
    case Op::LOCAL:
    case Op::POWER_OFF:
        return true;
    default:
        return false;
    }
}

std::vector<Unit> parseLine(std::string_view line)
{
    std::vector<Unit> units;
    std::vector<std::string_view> path;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t k = 0; k <= line.size(); k++) {
        const char c = k < line.size() ? line[k] : ';';
        if (k < line.size() && quote) {
            if (c == quote)
                quote = 0;
            continue;
        }
        if (k < line.size() && (c == '"' || c == '\'')) {
            quote = c;
            continue;
        }
        if (c != ';')
            continue;
        const std::string_view text = trim(line.substr(start, k - start));
        start = k + 1;
        if (text.empty())
            continue;
        units.push_back(parseUnit(text, path));
        if (isCommandError(units.back().error))
            break;
    }
    return units;
}

Resistance parseResistance(std::string_view p)
{
    Resistance r;
    p = trim(p);
    const Kind kind = kindOf(p);
    if (kind == Kind::CHARACTER) {
        if (equalsNoCase(p, "MIN") || equalsNoCase(p, "MINIMUM"))
            r.mohm = MIN_MOHM;
        else if (equalsNoCase(p, "MAX") || equalsNoCase(p, "MAXIMUM"))
            r.mohm = MAX_MOHM;
        else
            r.error = ILLEGAL_PARAMETER_VALUE;
        return r;
    }
    if (kind == Kind::STRING) {
        r.error = DATA_TYPE_ERROR;
        return r;
    }
    // [+-] (digits [. digits] | . digits) [E [+-] digits] [blanks] [suffix]
    std::size_t k = 0;
    bool negative = false;
    if (k < p.size() && (p[k] == '+' || p[k] == '-'))
        negative = p[k++] == '-';
    const std::size_t mantissa = k;
    std::size_t digits = 0;
    while (k < p.size() && isDigit(p[k]))
        k++, digits++;
    if (k < p.size() && p[k] == '.') {
        k++;
        while (k < p.size() && isDigit(p[k]))
            k++, digits++;
    }
    if (digits == 0) {
        r.error = SYNTAX_ERROR;
        return r;
    }
    bool tiny = false;   // a negative exponent: out of range is towards 0
    if (k < p.size() && (p[k] == 'E' || p[k] == 'e')) {
        std::size_t e = k + 1;
        tiny = e < p.size() && p[e] == '-';
        if (e < p.size() && (p[e] == '+' || p[e] == '-'))
            e++;
        if (e < p.size() && isDigit(p[e])) {
            while (e < p.size() && isDigit(p[e]))
                e++;
            k = e;
        }
    }
    double value = 0;
    const auto parsed = std::from_chars(p.data() + mantissa, p.data() + k, value);
    if (parsed.ec == std::errc::invalid_argument || parsed.ptr != p.data() + k) {
        r.error = SYNTAX_ERROR;
        return r;
    }
    if (parsed.ec == std::errc::result_out_of_range)
        value = tiny ? 0 : HUGE_VAL;
    if (negative)
        value = -value;
    std::string_view suffix = trim(p.substr(k));
    double scale = 1;
    if (!suffix.empty()) {
        if (equalsNoCase(suffix, "OHM"))
            scale = 1;
        else if (equalsNoCase(suffix, "KOHM"))
            scale = 1e3;
        else if (equalsNoCase(suffix, "MOHM"))   // mega, as SCPI reads it
            scale = 1e6;
        else if (equalsNoCase(suffix, "GOHM"))
            scale = 1e9;
        else {
            bool word = true;
            for (char c : suffix)
                word = word && isLetter(c);
            r.error = word ? INVALID_SUFFIX : SYNTAX_ERROR;
            return r;
        }
    }
    const double mohm = value * scale / 1e6;
    if (!std::isfinite(mohm) || mohm < MIN_MOHM - 0.5 || mohm > MAX_MOHM + 0.5) {
        r.error = DATA_OUT_OF_RANGE;
        return r;
    }
    const long long n = std::llround(mohm);
    if (std::abs(mohm - double(n)) > 1e-9 * std::max(1.0, std::abs(mohm)) || n < MIN_MOHM || n > MAX_MOHM) {
        r.error = DATA_OUT_OF_RANGE;
        return r;
    }
    r.mohm = int(n);
    return r;
}

std::string formatOhms(int mohm)
{
    return nr3((long long)mohm * 1000000LL);
}

Outcome execute(const Command &command, Instrument &instrument, DeviceState &state)
{
    Outcome out;
    const auto fail = [&out] { out.error = HARDWARE_ERROR; };
    switch (command.op) {
    case Op::RES_SET:
        if (!state.remote) {
            if (!instrument.setRemote(true)) {
                fail();
                break;
            }
            state.remote = true;
        }
        if (!instrument.setResistance(command.value))
            fail();
        break;
    case Op::RES_QUERY: {
        out.hasReply = true;
        const auto r = instrument.resistance();
        if (r)
            out.reply = formatOhms(*r);
        else
            out.reply = NOT_A_NUMBER, fail();
        break;
    }
    case Op::VOLT_QUERY: {
        out.hasReply = true;
        const auto v = instrument.voltage();
        if (v)
            out.reply = std::to_string(*v);
        else
            out.reply = NOT_A_NUMBER, fail();
        break;
    }
    case Op::REMOTE:
        state.remote = instrument.setRemote(true);
        if (!state.remote)
            fail();
        break;
    case Op::LOCAL:
        state.remote = false;
        if (!instrument.setRemote(false))
            fail();
        break;
    case Op::POWER_OFF:
        state.remote = false;
        if (!instrument.powerOff())
            fail();
        break;
    default:
        break;
    }
    return out;
}

void Session::pushError(int error)
{
    if (errors_.size() < ERROR_QUEUE)
        errors_.push_back(error);
    else
        errors_.back() = QUEUE_OVERFLOW;
}

void Session::endLine(const std::string &text)
{
    if (text.size() > MAX_LINE) {
        Line overrun;
        overrun.units.push_back(failed(INPUT_BUFFER_OVERRUN));
        lines_.push_back(std::move(overrun));
        return;
    }
    Line line;
    line.units = parseLine(text);
    if (!line.units.empty())
        lines_.push_back(std::move(line));
}

void Session::feed(std::string_view bytes)
{
    while (!bytes.empty()) {
        const std::size_t lf = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, lf);
        if (!discarding_) {
            // A CR may still come before the LF: one byte more is kept.
            const std::size_t room = MAX_LINE + 1 - partial_.size();
            partial_.append(piece.substr(0, room));
            if (piece.size() > room) {
                endLine(std::string(MAX_LINE + 1, ' '));   // queues -363
                partial_.clear();
                discarding_ = true;
            }
        }
        if (lf == std::string_view::npos)
            break;
        if (!discarding_) {
            if (!partial_.empty() && partial_.back() == '\r')
                partial_.pop_back();
            endLine(partial_);
        }
        partial_.clear();
        discarding_ = false;
        bytes.remove_prefix(lf + 1);
    }
}

void Session::finishUnit()
{
    Line &line = lines_.front();
    line.done++;
    if (line.done < line.units.size())
        return;
    if (!line.replies.empty()) {
        for (std::size_t k = 0; k < line.replies.size(); k++) {
            if (k)
                out_ += ';';
            out_ += line.replies[k];
        }
        out_ += '\n';
    }
    lines_.pop_front();
}

std::optional<Command> Session::next()
{
    if (waiting_)
        return std::nullopt;
    while (!lines_.empty()) {
        Line &line = lines_.front();
        const Unit &unit = line.units[line.done];
        if (unit.error) {
            pushError(unit.error);
        } else if (onInstrument(unit.command.op)) {
            waiting_ = true;
            return unit.command;
        } else {
            switch (unit.command.op) {
            case Op::IDENTIFY:
                line.replies.push_back("t483,T-483," + std::to_string(identity_.ident) + "," + identity_.version);
                break;
            case Op::CLEAR:
                errors_.clear();
                break;
            case Op::OPC_QUERY:
                line.replies.push_back("1");
                break;
            case Op::ERROR_NEXT:
                if (errors_.empty()) {
                    line.replies.push_back(errorReply(NO_ERROR));
                } else {
                    line.replies.push_back(errorReply(errors_.front()));
                    errors_.pop_front();
                }
                break;
            case Op::ERROR_COUNT:
                line.replies.push_back(std::to_string(errors_.size()));
                break;
            case Op::VERSION:
                line.replies.push_back("1999.0");
                break;
            case Op::RES_LIMIT:
                line.replies.push_back(formatOhms(unit.command.value));
                break;
            default:
                break;
            }
        }
        finishUnit();
    }
    return std::nullopt;
}

void Session::finish(const Outcome &outcome)
{
    if (!waiting_ || lines_.empty())
        return;
    waiting_ = false;
    if (outcome.hasReply)
        lines_.front().replies.push_back(outcome.reply);
    if (outcome.error)
        pushError(outcome.error);
    finishUnit();
}

std::string Session::take()
{
    std::string out;
    out.swap(out_);
    return out;
}

std::string Session::run(std::string_view bytes, Instrument &instrument, DeviceState &state)
{
    feed(bytes);
    while (const auto command = next())
        finish(execute(*command, instrument, state));
    return take();
}

}  // namespace scpi
