// Plans, readings and verdicts of a calibration sweep. Numbers are read
// and written with from_chars and to_chars: the same in every locale.
#include "ctl/plan.h"

#include "ctl/csv.h"
#include "ctl/decade.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

const char *const PLAN_NAMES[] = {"resistance_mohm", "voltage_v",       "tolerance_pct", "dwell_s",
                                  "tolerance_digits", "resolution_mohm", "readings",      "tolerance_basis"};
enum PlanColumn { RESISTANCE, VOLTAGE, TOLERANCE, DWELL, DIGITS, RESOLUTION, READINGS, BASIS, PLAN_COLUMN_COUNT };
constexpr size_t PLAN_REQUIRED = DIGITS;  // the columns every plan has; the others are optional
static_assert(std::size(PLAN_NAMES) == PLAN_COLUMN_COUNT);

std::string lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

// The length of a plain decimal number (digits, at most one point, at least
// one digit, optionally an exponent when `exponent`) at the start of s; 0
// when there is none. *hasExponent tells whether one was taken.
size_t numberLength(const std::string &s, bool exponent, bool *hasExponent)
{
    size_t k = 0, digits = 0;
    bool point = false;
    while (k < s.size() && ((s[k] >= '0' && s[k] <= '9') || (s[k] == '.' && !point))) {
        if (s[k] == '.')
            point = true;
        else
            digits++;
        k++;
    }
    if (digits == 0)
        return 0;
    *hasExponent = false;
    if (exponent && k < s.size() && (s[k] == 'e' || s[k] == 'E')) {
        size_t e = k + 1;
        if (e < s.size() && (s[e] == '+' || s[e] == '-'))
            e++;
        const size_t first = e;
        while (e < s.size() && s[e] >= '0' && s[e] <= '9')
            e++;
        if (e > first) {
            *hasExponent = true;
            k = e;
        }
    }
    return k;
}

// A whole plain decimal number, 0 or more, and nothing else.
std::optional<double> plainNumber(const std::string &s)
{
    bool exp = false;
    const size_t n = numberLength(s, true, &exp);
    if (n == 0 || n != s.size())
        return std::nullopt;
    double v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

// A bad line of a plan: the column to blame (its number or name) and why.
struct PlanFault {
    std::string column, why;
};

// The header line: which field holds each of the plan's columns.
std::optional<PlanFault> planHeader(const std::string &line, const std::vector<std::string> &fields,
                                    std::vector<int> *column)
{
    if (fields.size() == 1 && line.find(';') != std::string::npos)
        return PlanFault{"1", "the columns must be separated by commas, not semicolons"};
    column->assign(PLAN_COLUMN_COUNT, -1);
    for (size_t f = 0; f < fields.size(); f++) {
        const std::string name = lower(fields[f]);
        const auto known = std::find(std::begin(PLAN_NAMES), std::end(PLAN_NAMES), name);
        if (known == std::end(PLAN_NAMES))
            return PlanFault{std::to_string(f + 1), "unknown column " + quoted(fields[f]) + " (the columns are " +
                                                        PLAN_COLUMNS + ", optionally " + PLAN_OPTIONAL_COLUMNS + ")"};
        const size_t which = size_t(known - std::begin(PLAN_NAMES));
        if ((*column)[which] >= 0)
            return PlanFault{std::to_string(f + 1), name + " named twice"};
        (*column)[which] = int(f);
    }
    for (size_t n = 0; n < PLAN_REQUIRED; n++)
        if ((*column)[n] < 0)
            return PlanFault{PLAN_NAMES[n], std::string("missing from the header (the columns are ") + PLAN_COLUMNS + ")"};
    return std::nullopt;
}

// One value of a point, by its column.
std::optional<std::string> planValue(PlanColumn n, const std::string &v, PlanPoint *p)
{
    const std::optional<double> num = plainNumber(v);
    switch (n) {
    case RESISTANCE:
        if (!num || *num != std::floor(*num) || !Decade::validResistance((long long)std::min(*num, 1e12)) || *num == 0)
            return quoted(v) + " is no resistance the decade can be set to for a sweep: a whole number of MOhm, 1 to " +
                   std::to_string(DECADE_MAX_MOHM) + " (0 has no percent error)";
        p->resistance_mohm = int(*num);
        break;
    case VOLTAGE:
        if (!num || std::find(std::begin(DECADE_VOLTAGES), std::end(DECADE_VOLTAGES), *num) == std::end(DECADE_VOLTAGES))
            return quoted(v) + " is no test voltage of the decade: 1000, 2500 or 5000";
        p->voltage_v = int(*num);
        break;
    case TOLERANCE:
        if (!num)
            return quoted(v) + " is no tolerance: a number of percent, 0 or more";
        p->tolerance_pct = *num;
        p->tolerance_text = v;
        break;
    case DWELL:
        if (!num || *num > PLAN_MAX_DWELL_S)
            return quoted(v) + " is no dwell time: a number of seconds, 0 to 3600";
        p->dwell_s = *num;
        break;
    case DIGITS:
        if (!num)
            return quoted(v) + " is no count of digits: a number, 0 or more";
        p->tolerance_digits = *num;
        break;
    case RESOLUTION:
        if (v.empty())
            break;
        if (!num || *num <= 0)
            return quoted(v) + " is no display resolution: a number of MOhm above 0, or nothing for none";
        p->resolution_mohm = *num;
        break;
    case READINGS:
        if (!num || *num != std::floor(*num) || *num < 1 || *num > PLAN_MAX_READINGS)
            return quoted(v) + " is no count of readings: a whole number, 1 to 20";
        p->readings = int(*num);
        break;
    case BASIS:
        if (lower(v) != "reference" && lower(v) != "reading")
            return quoted(v) + " is no tolerance basis: reference (% of the reference value) or reading (% of the mean reading)";
        p->basis_reading = lower(v) == "reading";
        break;
    case PLAN_COLUMN_COUNT:
        break;
    }
    return std::nullopt;
}

// A line of points under the header.
std::optional<PlanFault> planPoint(const std::vector<std::string> &fields, const std::vector<int> &column,
                                   size_t fieldCount, PlanPoint *p)
{
    if (fields.size() != fieldCount)
        return PlanFault{std::to_string(std::min(fields.size(), fieldCount) + 1),
                         std::to_string(fields.size()) + " fields where the header has " + std::to_string(fieldCount)};
    for (size_t n = 0; n < PLAN_COLUMN_COUNT; n++)
        if (column[n] >= 0)
            if (const auto why = planValue(PlanColumn(n), fields[size_t(column[n])], p))
                return PlanFault{PLAN_NAMES[n], *why};
    if (p->tolerance_digits > 0 && !p->resolution_mohm)
        return PlanFault{PLAN_NAMES[DIGITS], "digits need the tester's resolution_mohm at the point"};
    return std::nullopt;
}

}  // namespace

bool parsePlan(const std::string &bytes, std::vector<PlanPoint> *points, std::string *error)
{
    points->clear();
    std::vector<int> column;  // the plan's field for each of PLAN_NAMES, by the header
    size_t fieldCount = 0;
    CsvLines lines(bytes, CsvLines::SkipBom);
    std::string_view line;
    while (lines.next(&line)) {
        const std::string t = trimmed(line);
        if (t.empty() || t[0] == '#')
            continue;
        const std::vector<std::string> fields = csvFields(t, CsvQuotes::AroundField);
        std::optional<PlanFault> fault;
        PlanPoint p;
        p.line = lines.lineNo();
        if (column.empty()) {
            fault = planHeader(t, fields, &column);
            fieldCount = fields.size();
        } else {
            fault = planPoint(fields, column, fieldCount, &p);
            if (!fault)
                points->push_back(p);
        }
        if (fault) {
            *error = lineError("", lines.lineNo(), fault->column, fault->why);
            points->clear();
            return false;
        }
    }
    if (column.empty()) {
        *error = std::string("no header line (") + PLAN_COLUMNS + ")";
        return false;
    }
    if (points->empty()) {
        *error = "no points";
        return false;
    }
    return true;
}

namespace {

// The factor to MOhm of what follows a reading's number: a prefix and an
// optional "ohm" or "Ω". `scale` holds the number's own (1 for a bare
// number, 1e-6 for one with an exponent). False for any other text, with
// the reason in *why when there is a better one than the general.
bool unitScale(std::string unit, double *scale, std::string *why, const std::string &text)
{
    bool ohm = false;
    if (unit.size() >= 3 && lower(unit.substr(unit.size() - 3)) == "ohm") {
        unit = trimmed(unit.substr(0, unit.size() - 3));
        ohm = true;
    } else if (unit.size() >= 2 && unit.substr(unit.size() - 2) == "\xCE\xA9") {
        unit = trimmed(unit.substr(0, unit.size() - 2));
        ohm = true;
    }
    if (unit.empty()) {
        if (ohm)
            *scale = 1e-6;
    } else if (unit == "T" || unit == "t") {
        *scale = 1e6;
    } else if (unit == "G" || unit == "g") {
        *scale = 1e3;
    } else if (unit == "M") {
        *scale = 1;
    } else if (unit == "k" || unit == "K") {
        *scale = 1e-3;
    } else {
        if (unit == "m")
            *why = quoted(text) + " is no reading: 'm' would be milli; MOhm is 'M'";
        return false;
    }
    return true;
}

}  // namespace

ReadingInput parseReading(const std::string &text)
{
    ReadingInput in;
    const std::string t = trimmed(text);
    const std::string l = lower(t);
    if (l == "s" || l == "skip") {
        in.kind = ReadingInput::Skip;
        return in;
    }
    if (l == "q" || l == "quit" || l == "stop") {
        in.kind = ReadingInput::Stop;
        return in;
    }
    in.why = quoted(t) + " is no reading: type one as " + READING_UNITS + ", or s to skip, q to stop";
    bool exponent = false;
    const size_t n = numberLength(t, true, &exponent);
    if (n == 0)
        return in;
    const std::string unit = trimmed(t.substr(n));
    if (!unit.empty() && unit[0] == ',') {
        in.why = quoted(t) + " is no reading: use a decimal point, not a comma";
        return in;
    }
    double scale = exponent ? 1e-6 : 1;  // to MOhm: bare numbers are MOhm, with an exponent ohms
    if (!unitScale(unit, &scale, &in.why, t))
        return in;
    double v = 0;
    const auto r = std::from_chars(t.data(), t.data() + n, v);
    if (r.ec != std::errc() || r.ptr != t.data() + n || !std::isfinite(v * scale))
        return in;
    in.kind = ReadingInput::Value;
    in.mohm = v * scale;
    in.why.clear();
    return in;
}

Judgement judge(double reading_mohm, int nominal_mohm, double tolerance_pct)
{
    Judgement j;
    j.error_text = errorText((reading_mohm - nominal_mohm) / nominal_mohm * 100);
    std::from_chars(j.error_text.data(), j.error_text.data() + j.error_text.size(), j.error_pct);
    j.verdict = std::fabs(j.error_pct) <= tolerance_pct ? Verdict::Pass : Verdict::Fail;
    return j;
}
