// Records of calibration sweeps as data: read from their bytes, their rows
// as lines, the numbers as written and the summary of the verdicts.
#include "ctl/record.h"

#include "ctl/csv.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

const char *const COLUMN_NAMES[] = {"point",        "time_utc",  "resistance_mohm", "voltage_v",
                                    "reading_mohm", "error_pct", "tolerance_pct",   "verdict"};
enum Column { POINT, TIME, RESISTANCE, VOLTAGE, READING, ERROR, TOLERANCE, VERDICT, COLUMNS };
static_assert(std::size(COLUMN_NAMES) == COLUMNS);

bool toInt(const std::string &s, int *v)
{
    const auto r = std::from_chars(s.data(), s.data() + s.size(), *v);
    return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool toDouble(const std::string &s, double *v)
{
    const auto r = std::from_chars(s.data(), s.data() + s.size(), *v);
    return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(*v);
}

// "# key: value", after the title and before the column line.
bool headerLine(std::string_view line, Record *record, std::string *why)
{
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        *why = "a comment line that is no \"# key: value\"";
        return false;
    }
    std::string key(line.substr(1, colon - 1));
    key.erase(0, key.find_first_not_of(' '));
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ')
        value.remove_prefix(1);
    record->header.emplace_back(key, std::string(value));
    return true;
}

// Where each of the known columns is in the column line.
bool columnLine(const std::vector<std::string> &fields, std::vector<int> *column, std::string *why)
{
    column->assign(COLUMNS, -1);
    for (size_t f = 0; f < fields.size(); f++)
        for (size_t n = 0; n < COLUMNS; n++)
            if (fields[f] == COLUMN_NAMES[n])
                (*column)[n] = int(f);
    for (size_t n = 0; n < COLUMNS; n++)
        if ((*column)[n] < 0) {
            *why = std::string("the column line lacks ") + COLUMN_NAMES[n];
            return false;
        }
    return true;
}

// An optional number: none for an empty field.
bool optionalNumber(const std::string &field, std::optional<double> *value)
{
    double d = 0;
    if (field.empty())
        return true;
    if (!toDouble(field, &d))
        return false;
    *value = d;
    return true;
}

bool rowLine(const std::vector<std::string> &fields, const std::vector<int> &column, RecordRow *row, std::string *why)
{
    const auto field = [&](Column n) -> const std::string & { return fields[size_t(column[n])]; };
    const auto bad = [&](Column n, const std::string &what) {
        *why = std::string(COLUMN_NAMES[n]) + ": " + quoted(field(n)) + " is " + what;
        return false;
    };
    if (!toInt(field(POINT), &row->point) || row->point < 1)
        return bad(POINT, "no point number");
    row->time_utc = field(TIME);
    if (!toInt(field(RESISTANCE), &row->resistance_mohm))
        return bad(RESISTANCE, "no whole number");
    if (!toInt(field(VOLTAGE), &row->voltage_v))
        return bad(VOLTAGE, "no whole number");
    if (!optionalNumber(field(READING), &row->reading_mohm))
        return bad(READING, "no number");
    if (!optionalNumber(field(ERROR), &row->error_pct))
        return bad(ERROR, "no number");
    if (!toDouble(field(TOLERANCE), &row->tolerance_pct))
        return bad(TOLERANCE, "no number");
    const std::optional<Verdict> verdict = verdictNamed(field(VERDICT));
    if (!verdict)
        return bad(VERDICT, "none of pass, fail, skipped");
    row->verdict = *verdict;
    if ((row->verdict == Verdict::Skipped) != !row->reading_mohm || row->reading_mohm.has_value() != row->error_pct.has_value()) {
        *why = "a skipped point has no reading and error, any other both";
        return false;
    }
    return true;
}

}  // namespace

const char *verdictWord(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass:
        return "pass";
    case Verdict::Fail:
        return "fail";
    case Verdict::Skipped:
        break;
    }
    return "skipped";
}

std::optional<Verdict> verdictNamed(std::string_view word)
{
    for (Verdict v : {Verdict::Pass, Verdict::Fail, Verdict::Skipped})
        if (word == verdictWord(v))
            return v;
    return std::nullopt;
}

std::string Record::value(const std::string &key) const
{
    for (const auto &kv : header)
        if (kv.first == key)
            return kv.second;
    return {};
}

bool Record::has(const std::string &key) const
{
    return std::any_of(header.begin(), header.end(), [&](const auto &kv) { return kv.first == key; });
}

bool readRecord(std::string_view bytes, const std::string &name, Record *record, std::string *error)
{
    *record = Record();
    const size_t lastLf = bytes.rfind('\n');
    record->completeBytes = lastLf == std::string_view::npos ? 0 : lastLf + 1;
    record->partialLine = record->completeBytes < bytes.size();

    CsvLines lines(bytes.substr(0, record->completeBytes), CsvLines::SkipBom);
    std::vector<int> column;  // the file's field of each known column; empty before the column line
    size_t fieldCount = 0;
    std::string why;
    std::string_view line;
    while (lines.next(&line)) {
        if (lines.lineNo() == 1) {
            if (line != std::string("# ") + RECORD_TITLE)
                why = std::string("not a record of a sweep (it does not start \"# ") + RECORD_TITLE + "\")";
        } else if (column.empty() && !line.empty() && line[0] == '#') {
            headerLine(line, record, &why);
        } else if (line.empty()) {
            continue;
        } else if (column.empty()) {
            const std::vector<std::string> fields = csvFields(line, CsvQuotes::Escaped);
            if (columnLine(fields, &column, &why))
                fieldCount = fields.size();
            else
                column.clear();
        } else if (line[0] == '#') {
            why = "a comment after the column line";
        } else {
            const std::vector<std::string> fields = csvFields(line, CsvQuotes::Escaped);
            RecordRow row;
            if (fields.size() != fieldCount)
                why = std::to_string(fields.size()) + " fields where the column line has " + std::to_string(fieldCount);
            else if (rowLine(fields, column, &row, &why))
                record->rows.push_back(row);
        }
        if (!why.empty()) {
            *error = lineError(name, lines.lineNo(), "", why);
            return false;
        }
    }
    if (lines.lineNo() == 0) {
        *error = name + ": empty, not a record of a sweep";
        return false;
    }
    if (column.empty()) {
        *error = name + ": the header is incomplete: no column line (" + RECORD_COLUMNS + ")";
        return false;
    }
    return true;
}

RecordSummary summarize(const std::vector<RecordRow> &rows)
{
    RecordSummary s;
    s.recorded = int(rows.size());
    for (const RecordRow &r : rows) {
        s.passed += r.verdict == Verdict::Pass;
        s.failed += r.verdict == Verdict::Fail;
        s.skipped += r.verdict == Verdict::Skipped;
        if (r.error_pct && (!s.worst || std::fabs(*r.error_pct) > std::fabs(*s.worst->error_pct)))
            s.worst = &r;
    }
    return s;
}

std::string recordNumber(double value)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 9);
    return std::string(buf, r.ptr);
}

std::string fixed3(double value)
{
    char buf[512];  // any finite double in fixed notation
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 3);
    return std::string(buf, r.ptr);
}

std::string errorText(double pct)
{
    const std::string text = fixed3(pct);
    return text == "-0.000" ? "0.000" : text;
}

std::string recordLine(const RecordRow &row)
{
    return std::to_string(row.point) + ',' + csvField(row.time_utc) + ',' + std::to_string(row.resistance_mohm) + ',' +
           std::to_string(row.voltage_v) + ',' + (row.reading_mohm ? recordNumber(*row.reading_mohm) : "") + ',' +
           (row.error_pct ? errorText(*row.error_pct) : "") + ',' + recordNumber(row.tolerance_pct) + ',' +
           verdictWord(row.verdict) + '\n';
}
