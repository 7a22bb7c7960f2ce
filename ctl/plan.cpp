// Plans, readings and verdicts of a calibration sweep. Numbers are read
// and written with from_chars and to_chars: the same in every locale.
#include "ctl/plan.h"

#include "ctl/decade.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

namespace {

std::string trim(const std::string &s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    const size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return s;
}

std::vector<std::string> splitFields(const std::string &line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t comma = line.find(',', start);
        std::string f = trim(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (f.size() >= 2 && f.front() == '"' && f.back() == '"')
            f = trim(f.substr(1, f.size() - 2));
        fields.push_back(f);
        if (comma == std::string::npos)
            return fields;
        start = comma + 1;
    }
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

std::string quoted(const std::string &s)
{
    return "'" + s + "'";
}

}  // namespace

bool parsePlan(const std::string &bytes, std::vector<PlanPoint> *points, std::string *error)
{
    static const char *const names[] = {"resistance_mohm", "voltage_v", "tolerance_pct", "dwell_s"};
    points->clear();
    std::vector<int> column;  // the plan's field for each of names[], by the header
    size_t fieldCount = 0;
    int lineNo = 0;
    size_t pos = 0;
    auto fail = [&](const std::string &text) {
        *error = "line " + std::to_string(lineNo) + ", " + text;
        points->clear();
        return false;
    };
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        pos = 3;
    while (pos < bytes.size()) {
        size_t nl = bytes.find('\n', pos);
        if (nl == std::string::npos)
            nl = bytes.size();
        std::string line = bytes.substr(pos, nl - pos);
        pos = nl + 1;
        lineNo++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        const std::vector<std::string> fields = splitFields(t);
        if (column.empty()) {
            if (fields.size() == 1 && t.find(';') != std::string::npos)
                return fail("column 1: the columns must be separated by commas, not semicolons");
            column.assign(4, -1);
            for (size_t f = 0; f < fields.size(); f++) {
                const std::string name = lower(fields[f]);
                const auto known = std::find(std::begin(names), std::end(names), name);
                if (known == std::end(names))
                    return fail("column " + std::to_string(f + 1) + ": unknown column " + quoted(fields[f]) +
                                " (the columns are " + PLAN_COLUMNS + ")");
                const size_t which = size_t(known - std::begin(names));
                if (column[which] >= 0)
                    return fail("column " + std::to_string(f + 1) + ": " + name + " named twice");
                column[which] = int(f);
            }
            for (size_t n = 0; n < 4; n++)
                if (column[n] < 0)
                    return fail(std::string("column ") + names[n] + ": missing from the header (the columns are " +
                                PLAN_COLUMNS + ")");
            fieldCount = fields.size();
            continue;
        }
        if (fields.size() != fieldCount)
            return fail("column " + std::to_string(std::min(fields.size(), fieldCount) + 1) + ": " +
                        std::to_string(fields.size()) + " fields where the header has " + std::to_string(fieldCount));
        PlanPoint p;
        p.line = lineNo;
        for (size_t n = 0; n < 4; n++) {
            const std::string &v = fields[size_t(column[n])];
            const std::string where = std::string("column ") + names[n] + ": ";
            const std::optional<double> num = plainNumber(v);
            switch (n) {
            case 0:
                if (!num || *num != std::floor(*num) || !Decade::validResistance((long long)std::min(*num, 1e12)) ||
                    *num == 0)
                    return fail(where + quoted(v) + " is no resistance the decade can be set to for a sweep: a whole number of MOhm, 1 to " +
                                std::to_string(DECADE_MAX_MOHM) + " (0 has no percent error)");
                p.resistance_mohm = int(*num);
                break;
            case 1:
                if (!num || std::find(std::begin(DECADE_VOLTAGES), std::end(DECADE_VOLTAGES), *num) ==
                                std::end(DECADE_VOLTAGES))
                    return fail(where + quoted(v) + " is no test voltage of the decade: 1000, 2500 or 5000");
                p.voltage_v = int(*num);
                break;
            case 2:
                if (!num)
                    return fail(where + quoted(v) + " is no tolerance: a number of percent, 0 or more");
                p.tolerance_pct = *num;
                p.tolerance_text = v;
                break;
            case 3:
                if (!num || *num > PLAN_MAX_DWELL_S)
                    return fail(where + quoted(v) + " is no dwell time: a number of seconds, 0 to 3600");
                p.dwell_s = *num;
                break;
            }
        }
        points->push_back(p);
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

ReadingInput parseReading(const std::string &text)
{
    ReadingInput in;
    const std::string t = trim(text);
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
    std::string unit = trim(t.substr(n));
    if (!unit.empty() && unit[0] == ',') {
        in.why = quoted(t) + " is no reading: use a decimal point, not a comma";
        return in;
    }
    double scale = exponent ? 1e-6 : 1;  // to MOhm: bare numbers are MOhm, with an exponent ohms
    // An optional "ohm" or "Ω" last.
    bool ohm = false;
    if (unit.size() >= 3 && lower(unit.substr(unit.size() - 3)) == "ohm") {
        unit = trim(unit.substr(0, unit.size() - 3));
        ohm = true;
    } else if (unit.size() >= 2 && unit.substr(unit.size() - 2) == "\xCE\xA9") {
        unit = trim(unit.substr(0, unit.size() - 2));
        ohm = true;
    }
    if (unit.empty()) {
        if (ohm)
            scale = 1e-6;
    } else if (unit == "T" || unit == "t") {
        scale = 1e6;
    } else if (unit == "G" || unit == "g") {
        scale = 1e3;
    } else if (unit == "M") {
        scale = 1;
    } else if (unit == "k" || unit == "K") {
        scale = 1e-3;
    } else {
        if (unit == "m")
            in.why = quoted(t) + " is no reading: 'm' would be milli; MOhm is 'M'";
        return in;
    }
    double v = 0;
    const auto r = std::from_chars(t.data(), t.data() + n, v);
    if (r.ec != std::errc() || r.ptr != t.data() + n || !std::isfinite(v * scale))
        return in;
    in.kind = ReadingInput::Value;
    in.mohm = v * scale;
    in.why.clear();
    return in;
}

Verdict judge(double reading_mohm, int nominal_mohm, double tolerance_pct)
{
    Verdict v;
    const double error = (reading_mohm - nominal_mohm) / nominal_mohm * 100;
    char buf[512];  // any finite double in fixed notation
    const auto r = std::to_chars(buf, buf + sizeof buf, error, std::chars_format::fixed, 3);
    v.error_text.assign(buf, r.ptr);
    if (v.error_text == "-0.000")
        v.error_text = "0.000";
    std::from_chars(v.error_text.data(), v.error_text.data() + v.error_text.size(), v.error_pct);
    v.pass = std::fabs(v.error_pct) <= tolerance_pct;
    return v;
}
