// SCPI for the T-483: message units parsed and their headers resolved in the
// table of commands; resistances read and written; the errors' texts.
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
// A mnemonic: a letter, then letters, digits and '_'.
bool isMnemonic(std::string_view s)
{
    if (s.empty() || !isLetter(s.front()))
        return false;
    for (char c : s)
        if (!isLetter(c) && !isDigit(c) && c != '_')
            return false;
    return true;
}

// Headers in the table of commands.

bool isQuery(std::string_view header)
{
    return !header.empty() && header.back() == '?';
}

struct Node {
    std::string_view name;
    bool optional;
};

// "[SOURce]:RESistance?" as its nodes: SOURce (optional), RESistance.
std::vector<Node> nodesOf(std::string_view header)
{
    if (isQuery(header))
        header.remove_suffix(1);
    std::vector<Node> nodes;
    while (!header.empty()) {
        const std::size_t colon = header.find(':');
        std::string_view piece = header.substr(0, colon);
        const bool optional = piece.size() > 2 && piece.front() == '[';
        if (optional)
            piece = piece.substr(1, piece.size() - 2);
        nodes.push_back({piece, optional});
        header = colon == std::string_view::npos ? std::string_view() : header.substr(colon + 1);
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
    return t < tokens.size() && matchesMnemonic(tokens[t], nodes[n].name) &&
           matchNodes(tokens, t + 1, nodes, n + 1);
}

// The row for a header (its mnemonics, '?' and ':' taken off), none when
// it has none. Of two rows with the header, the one that takes parameters
// only when some are given.
const CommandRow *findRow(const std::vector<std::string_view> &tokens, bool query, bool hasParameters)
{
    const CommandRow *found = nullptr;
    for (const CommandRow &row : COMMANDS) {
        if (row.header[0] == '*' || isQuery(row.header) != query || !matchNodes(tokens, 0, nodesOf(row.header), 0))
            continue;
        if ((row.parameters == noParameters) != hasParameters)
            return &row;
        if (!found)
            found = &row;
    }
    return found;
}

// Message units.

bool isCommandError(int error)
{
    return error <= -100 && error > -200;
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

Unit withParameters(const CommandRow &row, const std::vector<std::string_view> &params)
{
    Unit u;
    u.command.row = &row;
    const int error = row.parameters(params, &u.command.value);
    return error ? failed(error) : u;
}

// A common command: '*', letters, an optional '?'.
Unit parseCommon(std::string_view header, const std::vector<std::string_view> &params)
{
    std::size_t k = 1;
    while (k < header.size() && isLetter(header[k]))
        k++;
    if (k == 1 || !(k == header.size() || (k + 1 == header.size() && header[k] == '?')))
        return failed(SYNTAX_ERROR);
    for (const CommandRow &row : COMMANDS)
        if (row.header[0] == '*' && equalsNoCase(header, row.header))
            return withParameters(row, params);
    return failed(UNDEFINED_HEADER);
}

// [':'] mnemonic (':' mnemonic)* ['?'] resolved under `path` (the header
// path left by the unit before; updated) or from the root.
Unit parseTreeHeader(std::string_view h, const std::vector<std::string_view> &params,
                     std::vector<std::string_view> &path)
{
    const bool query = isQuery(h);
    if (query)
        h.remove_suffix(1);
    const bool fromRoot = !h.empty() && h.front() == ':';
    if (fromRoot)
        h.remove_prefix(1);
    std::vector<std::string_view> tokens;
    while (true) {
        const std::size_t colon = h.find(':');
        const std::string_view token = h.substr(0, colon);
        if (!isMnemonic(token))
            return failed(SYNTAX_ERROR);
        tokens.push_back(token);
        if (colon == std::string_view::npos)
            break;
        h.remove_prefix(colon + 1);
    }

    const CommandRow *row = nullptr;
    std::vector<std::string_view> full;
    if (!fromRoot && !path.empty()) {
        full = path;
        full.insert(full.end(), tokens.begin(), tokens.end());
        row = findRow(full, query, !params.empty());
    }
    if (!row) {
        full = tokens;
        row = findRow(full, query, !params.empty());
    }
    if (!row)
        return failed(UNDEFINED_HEADER);
    full.pop_back();
    path = full;
    return withParameters(*row, params);
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
        if (dataTypeOf(p) == DataType::BAD)
            return failed(SYNTAX_ERROR);

    if (header.front() == '*')
        return parseCommon(header, params);
    return parseTreeHeader(header, params, path);
}

// Resistances.

// [+-] (digits [. digits] | . digits) [E [+-] digits] at the start of p: its
// value (infinite when too large, 0 when too small) and its length.
// SYNTAX_ERROR when there is none.
int readNumber(std::string_view p, double *value, std::size_t *length)
{
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
    if (digits == 0)
        return SYNTAX_ERROR;
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
    const auto parsed = std::from_chars(p.data() + mantissa, p.data() + k, *value);
    if (parsed.ec == std::errc::invalid_argument || parsed.ptr != p.data() + k)
        return SYNTAX_ERROR;
    if (parsed.ec == std::errc::result_out_of_range)
        *value = tiny ? 0 : HUGE_VAL;
    if (negative)
        *value = -*value;
    *length = k;
    return NO_ERROR;
}

// What a unit suffix (trimmed; none: ohms) multiplies by to give ohms.
int suffixScale(std::string_view suffix, double *scale)
{
    *scale = 1;
    if (suffix.empty() || equalsNoCase(suffix, "OHM"))
        return NO_ERROR;
    if (equalsNoCase(suffix, "KOHM"))
        *scale = 1e3;
    else if (equalsNoCase(suffix, "MOHM"))   // mega, as SCPI reads it
        *scale = 1e6;
    else if (equalsNoCase(suffix, "GOHM"))
        *scale = 1e9;
    else
        return std::all_of(suffix.begin(), suffix.end(), isLetter) ? INVALID_SUFFIX : SYNTAX_ERROR;
    return NO_ERROR;
}

// A number of MOhm as a whole one the decade takes, or the error.
Resistance wholeMohm(double mohm)
{
    Resistance r;
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

// Integers as NR3 with six decimals: 4072000000 -> 4.072000E+09. Not
// std::to_chars: it rounds a tie to even (12345665 MOhm: 1.234566e+13) where
// this has always rounded it up, and writes 'e'.
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
    // Appended, not inserted before: GCC 12 takes an insert at 0 for an
    // overlapping copy (-Wrestrict).
    std::string e = exponent < 10 ? "0" : "";
    e += std::to_string(exponent);
    return sign + digits.substr(0, 1) + "." + digits.substr(1) + "E+" + e;
}

}  // namespace

const char *errorText(int error)
{
    switch (error) {
#define T483_SCPI_ERROR_TEXT(name, number, text) \
    case name:                                   \
        return text;
        T483_SCPI_ERRORS(T483_SCPI_ERROR_TEXT)
#undef T483_SCPI_ERROR_TEXT
    }
    return "Unknown error";
}

std::string errorReply(int error)
{
    return std::to_string(error) + ",\"" + errorText(error) + "\"";
}

bool matchesMnemonic(std::string_view word, std::string_view mnemonic)
{
    if (equalsNoCase(word, mnemonic))
        return true;
    std::size_t shortLen = 0;
    while (shortLen < mnemonic.size() && !(mnemonic[shortLen] >= 'a' && mnemonic[shortLen] <= 'z'))
        shortLen++;
    return equalsNoCase(word, mnemonic.substr(0, shortLen));
}

DataType dataTypeOf(std::string_view p)
{
    if (p.empty())
        return DataType::BAD;
    if (p.front() == '"' || p.front() == '\'') {
        if (p.size() < 2 || p.back() != p.front())
            return DataType::BAD;
        return DataType::STRING;
    }
    if (isLetter(p.front()))
        return isMnemonic(p) ? DataType::CHARACTER : DataType::BAD;
    if (isDigit(p.front()) || p.front() == '+' || p.front() == '-' || p.front() == '.')
        return DataType::NUMERIC;
    return DataType::BAD;
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
    p = trim(p);
    Resistance r;
    const DataType type = dataTypeOf(p);
    if (type == DataType::CHARACTER) {
        if (equalsNoCase(p, "MIN") || equalsNoCase(p, "MINIMUM"))
            r.mohm = MIN_MOHM;
        else if (equalsNoCase(p, "MAX") || equalsNoCase(p, "MAXIMUM"))
            r.mohm = MAX_MOHM;
        else
            r.error = ILLEGAL_PARAMETER_VALUE;
        return r;
    }
    if (type == DataType::STRING) {
        r.error = DATA_TYPE_ERROR;
        return r;
    }
    double value = 0, scale = 1;
    std::size_t length = 0;
    r.error = readNumber(p, &value, &length);
    if (!r.error)
        r.error = suffixScale(trim(p.substr(length)), &scale);
    return r.error ? r : wholeMohm(value * scale / 1e6);
}

int parseMask(std::string_view p, int *mask)
{
    p = trim(p);
    const DataType type = dataTypeOf(p);
    if (type == DataType::CHARACTER || type == DataType::STRING)
        return DATA_TYPE_ERROR;
    double value = 0;
    std::size_t length = 0;
    if (const int error = readNumber(p, &value, &length))
        return error;
    if (const std::string_view rest = trim(p.substr(length)); !rest.empty())
        return std::all_of(rest.begin(), rest.end(), isLetter) ? INVALID_SUFFIX : SYNTAX_ERROR;
    value = std::round(value);
    if (!(value >= 0 && value <= 255))
        return DATA_OUT_OF_RANGE;
    *mask = int(value);
    return NO_ERROR;
}

std::string formatOhms(int mohm)
{
    return nr3((long long)mohm * 1000000LL);
}

}  // namespace scpi
