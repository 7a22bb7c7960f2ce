// Records of calibration sweeps as data: read from their bytes, their rows
// as lines, the numbers as written and the summary of the verdicts.
#include "ctl/record.h"

#include "ctl/csv.h"
#include "ctl/sha256.h"
#include "ctl/uncertainty.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

const char *const COLUMN_NAMES[] = {
    "point",     "time_utc",  "resistance_mohm", "voltage_v",  "reading_mohm", "error_pct",  "tolerance_pct",
    "verdict",   "reference_mohm", "readings",   "n",          "s_mohm",       "error_mohm", "mpe_mohm",
    "u_ref_mohm", "u_res_mohm", "u_rep_mohm",     "u_c_mohm",   "nu_eff",       "k",          "expanded_u_mohm",
    "tur",       "supersedes", "chain"};
enum Column {
    POINT, TIME, RESISTANCE, VOLTAGE, READING, ERROR, TOLERANCE, VERDICT,
    REFERENCE, READINGS, N, S, ERROR_MOHM, MPE, U_REF, U_RES, U_REP, U_C, NU_EFF, K, EXPANDED_U, TUR, SUPERSEDES, CHAIN,
    COLUMNS
};
constexpr size_t OLD_COLUMNS = REFERENCE;  // the columns of every record
static_assert(std::size(COLUMN_NAMES) == COLUMNS);

const char REDO_NOTE[] = "# redo of point ";
const char *const TRAILER_KEYS[] = {"temperature_c_end", "humidity_pct_end"};

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

// Where each of the known columns is in the column line: the first eight
// always, the others all when the line has a chain.
bool columnLine(const std::vector<std::string> &fields, std::vector<int> *column, bool *chained, std::string *why)
{
    column->assign(COLUMNS, -1);
    for (size_t f = 0; f < fields.size(); f++)
        for (size_t n = 0; n < COLUMNS; n++)
            if (fields[f] == COLUMN_NAMES[n])
                (*column)[n] = int(f);
    *chained = (*column)[CHAIN] >= 0;
    for (size_t n = 0; n < (*chained ? size_t(COLUMNS) : OLD_COLUMNS); n++)
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

// A count or ordinal: none for an empty field.
bool optionalInt(const std::string &field, std::optional<int> *value)
{
    int v = 0;
    if (field.empty())
        return true;
    if (!toInt(field, &v) || v < 1)
        return false;
    *value = v;
    return true;
}

// nu_eff and tur may be "inf"; tur may end in " low".
bool optionalRatio(std::string field, std::optional<double> *value)
{
    if (field.size() > 4 && field.compare(field.size() - 4, 4, " low") == 0)
        field.resize(field.size() - 4);
    if (field == "inf") {
        *value = std::numeric_limits<double>::infinity();
        return true;
    }
    return optionalNumber(field, value);
}

bool readingsField(const std::string &field, std::vector<double> *readings)
{
    readings->clear();
    size_t at = 0;
    while (at < field.size()) {
        size_t end = field.find(';', at);
        if (end == std::string::npos)
            end = field.size();
        double v = 0;
        if (!toDouble(field.substr(at, end - at), &v))
            return false;
        readings->push_back(v);
        at = end + 1;
        if (end + 1 == field.size())
            return false;  // a trailing ';'
    }
    return true;
}

// The columns of format 2.
bool rowAdded(const std::vector<std::string> &fields, const std::vector<int> &column, RecordRow *row, std::string *why)
{
    const auto field = [&](Column n) -> const std::string & { return fields[size_t(column[n])]; };
    const auto bad = [&](Column n, const std::string &what) {
        *why = std::string(COLUMN_NAMES[n]) + ": " + quoted(field(n)) + " is " + what;
        return false;
    };
    const std::pair<Column, std::optional<double> *> numbers[] = {
        {REFERENCE, &row->reference_mohm}, {S, &row->s_mohm},       {ERROR_MOHM, &row->error_mohm},
        {MPE, &row->mpe_mohm},             {U_REF, &row->u_ref_mohm}, {U_RES, &row->u_res_mohm},
        {U_REP, &row->u_rep_mohm},         {U_C, &row->u_c_mohm},     {K, &row->k},
        {EXPANDED_U, &row->expanded_u_mohm},
    };
    for (const auto &[n, value] : numbers)
        if (!optionalNumber(field(n), value))
            return bad(n, "no number");
    if (!optionalRatio(field(NU_EFF), &row->nu_eff))
        return bad(NU_EFF, "no number");
    if (!optionalRatio(field(TUR), &row->tur))
        return bad(TUR, "no ratio");
    if (!readingsField(field(READINGS), &row->readings))
        return bad(READINGS, "no list of readings");
    if (!toInt(field(N), &row->n) || row->n != int(row->readings.size()))
        return bad(N, "not the count of the readings");
    if (!optionalInt(field(SUPERSEDES), &row->supersedes))
        return bad(SUPERSEDES, "no row's ordinal");
    row->chain = field(CHAIN);
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
        return bad(VERDICT, "none of pass, fail, conditional pass, conditional fail, skipped");
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
    case Verdict::ConditionalPass:
        return "conditional pass";
    case Verdict::ConditionalFail:
        return "conditional fail";
    case Verdict::Skipped:
        break;
    }
    return "skipped";
}

std::optional<Verdict> verdictNamed(std::string_view word)
{
    for (Verdict v : {Verdict::Pass, Verdict::Fail, Verdict::Skipped, Verdict::ConditionalPass, Verdict::ConditionalFail})
        if (word == verdictWord(v))
            return v;
    return std::nullopt;
}

std::string Record::value(const std::string &key) const
{
    for (const auto &kv : header)
        if (kv.first == key)
            return kv.second;
    for (auto kv = trailer.rbegin(); kv != trailer.rend(); ++kv)
        if (kv->first == key)
            return kv->second;
    return {};
}

bool Record::has(const std::string &key) const
{
    const auto named = [&](const auto &kv) { return kv.first == key; };
    return std::any_of(header.begin(), header.end(), named) || std::any_of(trailer.begin(), trailer.end(), named);
}

namespace {

// A record being read: where its lines stand, and the chain as checked so far.
struct RecordReading {
    std::string_view bytes;
    Record *record = nullptr;
    std::vector<int> column;  // the file's field of each known column; empty before the column line
    size_t fieldCount = 0;
    size_t mark = 0;           // where the bytes after the last row begin
    std::string lastChain;     // the last row's
    std::optional<int> notePoint;  // the redo note waiting for its row
    std::string note;
    size_t noteStart = 0;

    size_t offset(std::string_view line) const { return size_t(line.data() - bytes.data()); }
    size_t lineEnd(std::string_view line) const
    {
        const size_t lf = bytes.find('\n', offset(line) + line.size());
        return lf == std::string_view::npos ? bytes.size() : lf + 1;
    }
};

// A "#" line after the column line: a redo note or an end value, in a
// record since format 2 alone.
bool lateComment(RecordReading &r, std::string_view line, std::string *why)
{
    if (r.record->chained && line.substr(0, sizeof REDO_NOTE - 1) == REDO_NOTE && !r.notePoint) {
        const std::string_view rest = line.substr(sizeof REDO_NOTE - 1);
        const size_t colon = rest.find(": ");
        int point = 0;
        if (colon != std::string_view::npos && toInt(std::string(rest.substr(0, colon)), &point) && point >= 1) {
            r.notePoint = point;
            r.note = std::string(rest.substr(colon + 2));
            r.noteStart = r.offset(line);
            return true;
        }
    }
    if (r.record->chained && !r.notePoint)
        for (const char *key : TRAILER_KEYS) {
            const std::string prefix = std::string("# ") + key + ": ";
            if (line.substr(0, prefix.size()) == prefix) {
                r.record->trailer.emplace_back(key, std::string(line.substr(prefix.size())));
                return true;
            }
        }
    *why = "a comment after the column line";
    return false;
}

// A row's chain against the bytes before it.
void checkChain(RecordReading &r, std::string_view line, const RecordRow &row)
{
    const size_t comma = line.rfind(',');
    const size_t upTo = r.offset(line) + comma + 1;
    const std::string expected = sha256Hex(r.lastChain + std::string(r.bytes.substr(r.mark, upTo - r.mark)));
    if (expected != row.chain && r.record->altered.empty())
        r.record->altered = "row " + std::to_string(r.record->rows.size() + 1) + " (point " +
                            std::to_string(row.point) + ") does not match its chain";
    r.lastChain = row.chain;
    r.mark = r.lineEnd(line);
}

bool dataRow(RecordReading &r, std::string_view line, std::string *why)
{
    const std::vector<std::string> fields = csvFields(line, CsvQuotes::Escaped);
    RecordRow row;
    if (fields.size() != r.fieldCount) {
        *why = std::to_string(fields.size()) + " fields where the column line has " + std::to_string(r.fieldCount);
        return false;
    }
    if (!rowLine(fields, r.column, &row, why) || (r.record->chained && !rowAdded(fields, r.column, &row, why)))
        return false;
    if (r.notePoint) {
        if (*r.notePoint != row.point || !row.supersedes) {
            *why = "a redo note is not followed by the row of its point's redo";
            return false;
        }
        row.redo_note = r.note;
        r.notePoint.reset();
    }
    if (row.supersedes && (size_t(*row.supersedes) > r.record->rows.size() ||
                           r.record->rows[size_t(*row.supersedes - 1)].point != row.point)) {
        *why = "supersedes: no earlier row of point " + std::to_string(row.point);
        return false;
    }
    if (r.record->chained)
        checkChain(r, line, row);
    r.record->rows.push_back(row);
    return true;
}

// After the lines: the format, and what the next row's chain starts from.
bool finishRecord(RecordReading &r, const std::string &name, std::string *error)
{
    Record *record = r.record;
    if (record->has("record_format")) {
        const std::string v = record->value("record_format");
        if (!toInt(v, &record->format) || record->format < 2 || v != std::to_string(record->format)) {
            *error = name + ": record_format " + quoted(v) + " is none this program reads (1 or " + RECORD_FORMAT + ")";
            return false;
        }
        if (record->format > 2) {
            *error = name + ": record_format " + v + " is newer than this program reads (" + RECORD_FORMAT + ")";
            return false;
        }
    }
    if ((record->format >= 2) != record->chained && record->altered.empty())
        record->altered = record->chained ? "its rows have a chain but the header no record_format"
                                          : "its header has a record_format but the rows no chain";
    // A redo note whose row a crash cut off is no part of the record.
    if (r.notePoint) {
        record->completeBytes = r.noteStart;
        record->partialLine = true;
    }
    record->chainState = r.lastChain + std::string(r.bytes.substr(r.mark, record->completeBytes - r.mark));
    return true;
}

}  // namespace

bool readRecord(std::string_view bytes, const std::string &name, Record *record, std::string *error)
{
    *record = Record();
    const size_t lastLf = bytes.rfind('\n');
    record->completeBytes = lastLf == std::string_view::npos ? 0 : lastLf + 1;
    record->partialLine = record->completeBytes < bytes.size();

    RecordReading r;
    r.bytes = bytes;
    r.record = record;
    CsvLines lines(bytes.substr(0, record->completeBytes), CsvLines::SkipBom);
    std::string why;
    std::string_view line;
    while (lines.next(&line)) {
        if (lines.lineNo() == 1) {
            if (line != std::string("# ") + RECORD_TITLE)
                why = std::string("not a record of a sweep (it does not start \"# ") + RECORD_TITLE + "\")";
        } else if (r.column.empty() && !line.empty() && line[0] == '#') {
            headerLine(line, record, &why);
        } else if (line.empty()) {
            continue;
        } else if (r.column.empty()) {
            const std::vector<std::string> fields = csvFields(line, CsvQuotes::Escaped);
            if (columnLine(fields, &r.column, &record->chained, &why)) {
                r.fieldCount = fields.size();
                r.mark = 0;
            } else {
                r.column.clear();
            }
        } else if (line[0] == '#') {
            lateComment(r, line, &why);
        } else {
            dataRow(r, line, &why);
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
    if (r.column.empty()) {
        *error = name + ": the header is incomplete: no column line (" + RECORD_COLUMNS + ")";
        return false;
    }
    return finishRecord(r, name, error);
}

bool superseded(const std::vector<RecordRow> &rows, size_t index)
{
    for (size_t later = index + 1; later < rows.size(); later++)
        if (rows[later].supersedes == int(index + 1))
            return true;
    return false;
}

namespace {

// How far a row's error is into its tolerance: |E| / MPE, infinite for
// an error beyond a zero MPE. Older records' rows, without an MPE, are
// ranked by |error_pct| as they always were.
double errorShare(const RecordRow &r)
{
    if (!r.error_mohm || !r.mpe_mohm)
        return std::fabs(*r.error_pct);
    const double e = std::fabs(*r.error_mohm);
    if (*r.mpe_mohm > 0)
        return e / *r.mpe_mohm;
    return e == 0 ? 0 : std::numeric_limits<double>::infinity();
}

}  // namespace

RecordSummary summarize(const std::vector<RecordRow> &rows)
{
    RecordSummary s;
    for (size_t k = 0; k < rows.size(); k++) {
        const RecordRow &r = rows[k];
        if (superseded(rows, k)) {
            s.superseded++;
            continue;
        }
        s.recorded++;
        s.passed += r.verdict == Verdict::Pass || r.verdict == Verdict::ConditionalPass;
        s.failed += r.verdict == Verdict::Fail || r.verdict == Verdict::ConditionalFail;
        s.conditionalPassed += r.verdict == Verdict::ConditionalPass;
        s.conditionalFailed += r.verdict == Verdict::ConditionalFail;
        s.skipped += r.verdict == Verdict::Skipped;
        if (!r.error_pct)
            continue;
        const double share = errorShare(r), worst = s.worst ? errorShare(*s.worst) : -1;
        if (share > worst || (share == worst && std::isinf(share) && std::fabs(*r.error_pct) > std::fabs(*s.worst->error_pct)))
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

namespace {

std::string optionalText(const std::optional<double> &v)
{
    return v ? recordNumber(*v) : "";
}

}  // namespace

std::string turText(double tur)
{
    if (std::isinf(tur))
        return "inf";
    char buf[512];
    const auto r = std::to_chars(buf, buf + sizeof buf, tur, std::chars_format::fixed, 2);
    std::string text(buf, r.ptr);
    double written = 0;
    std::from_chars(text.data(), text.data() + text.size(), written);
    return written < TUR_LOW ? text + " low" : text;
}

std::string recordLineUnchained(const RecordRow &row)
{
    std::string line = recordLine(row);
    line.pop_back();
    std::string readings;
    for (double v : row.readings)
        readings += (readings.empty() ? "" : ";") + recordNumber(v);
    const auto ratio = [](const std::optional<double> &v) { return v && std::isinf(*v) ? std::string("inf") : optionalText(v); };
    line += ',' + optionalText(row.reference_mohm) + ',' + readings + ',' + std::to_string(row.n) + ',' +
            optionalText(row.s_mohm) + ',' + optionalText(row.error_mohm) + ',' + optionalText(row.mpe_mohm) + ',' +
            optionalText(row.u_ref_mohm) + ',' + optionalText(row.u_res_mohm) + ',' + optionalText(row.u_rep_mohm) +
            ',' + optionalText(row.u_c_mohm) + ',' + ratio(row.nu_eff) + ',' + (row.k ? fixed3(*row.k) : "") + ',' +
            optionalText(row.expanded_u_mohm) + ',' + (row.tur ? turText(*row.tur) : "") + ',' +
            (row.supersedes ? std::to_string(*row.supersedes) : "") + ',';
    return line;
}

std::string chainOf(const std::string &chainState, const std::string &unchained)
{
    return sha256Hex(chainState + unchained);
}
