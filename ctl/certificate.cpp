// Certificates of the decade and the lab's profile, read from their bytes.
#include "ctl/certificate.h"

#include "ctl/csv.h"
#include "ctl/decade.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

const char *const CERTIFICATE_NAMES[] = {"resistance_mohm", "voltage_v", "certified_mohm",
                                         "expanded_uncertainty_mohm", "coverage_factor"};
enum CertificateColumn { RESISTANCE, VOLTAGE, CERTIFIED, EXPANDED, COVERAGE, CERTIFICATE_COLUMN_COUNT };

std::optional<double> number(const std::string &s)
{
    double v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

struct Fault {
    std::string column, why;
};

std::optional<Fault> certificateHeader(const std::vector<std::string> &fields, std::vector<int> *column)
{
    column->assign(CERTIFICATE_COLUMN_COUNT, -1);
    for (size_t f = 0; f < fields.size(); f++) {
        const auto known = std::find(std::begin(CERTIFICATE_NAMES), std::end(CERTIFICATE_NAMES), fields[f]);
        if (known == std::end(CERTIFICATE_NAMES) || (*column)[size_t(known - std::begin(CERTIFICATE_NAMES))] >= 0)
            return Fault{std::to_string(f + 1), "unknown or repeated column " + quoted(fields[f]) + " (the columns are " +
                                                    CERTIFICATE_COLUMNS + ")"};
        (*column)[size_t(known - std::begin(CERTIFICATE_NAMES))] = int(f);
    }
    for (size_t n = 0; n < CERTIFICATE_COLUMN_COUNT; n++)
        if ((*column)[n] < 0)
            return Fault{CERTIFICATE_NAMES[n], std::string("missing (the columns are ") + CERTIFICATE_COLUMNS + ")"};
    return std::nullopt;
}

std::optional<Fault> certificateRow(const std::vector<std::string> &fields, const std::vector<int> &column,
                                    CertificateRow *row)
{
    if (fields.size() != size_t(CERTIFICATE_COLUMN_COUNT))
        return Fault{std::to_string(std::min(fields.size(), size_t(CERTIFICATE_COLUMN_COUNT)) + 1),
                     std::to_string(fields.size()) + " fields where the column line has 5"};
    const auto field = [&](CertificateColumn n) { return fields[size_t(column[n])]; };
    const auto bad = [&](CertificateColumn n, const std::string &what) {
        return Fault{CERTIFICATE_NAMES[n], quoted(field(n)) + " is " + what};
    };
    const std::optional<double> r = number(field(RESISTANCE));
    if (!r || *r != std::floor(*r) || *r < 1 || *r > double(DECADE_MAX_MOHM))
        return bad(RESISTANCE, "no setting of the decade (a whole number of MOhm, 1 to 16221)");
    row->resistance_mohm = int(*r);
    if (field(VOLTAGE) != "*") {
        const std::optional<double> v = number(field(VOLTAGE));
        if (!v || std::find(std::begin(DECADE_VOLTAGES), std::end(DECADE_VOLTAGES), *v) == std::end(DECADE_VOLTAGES))
            return bad(VOLTAGE, "no test voltage of the decade (1000, 2500, 5000, or * for any)");
        row->voltage_v = int(*v);
    }
    const std::optional<double> c = number(field(CERTIFIED)), u = number(field(EXPANDED)), k = number(field(COVERAGE));
    if (!c || *c <= 0)
        return bad(CERTIFIED, "no certified value (MOhm, above 0)");
    if (!u || *u < 0)
        return bad(EXPANDED, "no expanded uncertainty (MOhm, 0 or more)");
    if (!k || *k <= 0)
        return bad(COVERAGE, "no coverage factor (above 0)");
    row->certified_mohm = *c;
    row->expanded_uncertainty_mohm = *u;
    row->coverage_factor = *k;
    return std::nullopt;
}

// "# key: value" into the certificate's fields; other comments are passed over.
std::optional<Fault> certificateKey(const std::string &line, Certificate *c)
{
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    const std::string key = trimmed(line.substr(1, colon - 1)), value = trimmed(line.substr(colon + 1));
    std::string *const fields[] = {&c->number, &c->laboratory, &c->calibrated, &c->due};
    const char *const keys[] = {"certificate", "laboratory", "calibrated", "due"};
    for (size_t k = 0; k < std::size(keys); k++)
        if (key == keys[k]) {
            if (k >= 2 && !validDate(value))
                return Fault{"", quoted(value) + " is no date YYYY-MM-DD for " + key};
            *fields[k] = value;
        }
    return std::nullopt;
}

}  // namespace

bool validDate(const std::string &t)
{
    if (t.size() != 10 || t[4] != '-' || t[7] != '-')
        return false;
    for (size_t k : {0, 1, 2, 3, 5, 6, 8, 9})
        if (t[k] < '0' || t[k] > '9')
            return false;
    const int y = std::stoi(t.substr(0, 4)), m = std::stoi(t.substr(5, 2)), d = std::stoi(t.substr(8, 2));
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m >= 1 && m <= 12 && d >= 1 && d <= days[m - 1] + (m == 2 && leap);
}

bool parseCertificate(const std::string &bytes, Certificate *certificate, std::string *error)
{
    *certificate = Certificate();
    std::vector<int> column;
    CsvLines lines(bytes, CsvLines::SkipBom);
    std::string_view line;
    while (lines.next(&line)) {
        const std::string t = trimmed(line);
        std::optional<Fault> fault;
        if (t.empty())
            continue;
        if (t[0] == '#') {
            fault = certificateKey(t, certificate);
        } else if (column.empty()) {
            fault = certificateHeader(csvFields(t, CsvQuotes::AroundField), &column);
        } else {
            CertificateRow row;
            row.line = lines.lineNo();
            fault = certificateRow(csvFields(t, CsvQuotes::AroundField), column, &row);
            for (const CertificateRow &other : certificate->rows)
                if (!fault && other.resistance_mohm == row.resistance_mohm && other.voltage_v == row.voltage_v)
                    fault = Fault{"", "the setting and voltage of line " + std::to_string(other.line) + " again"};
            certificate->rows.push_back(row);
        }
        if (fault) {
            *error = lineError("", lines.lineNo(), fault->column, fault->why);
            return false;
        }
    }
    for (const auto &[value, key] : {std::pair{&certificate->number, "certificate"}, std::pair{&certificate->laboratory, "laboratory"},
                                     std::pair{&certificate->calibrated, "calibrated"}, std::pair{&certificate->due, "due"}})
        if (value->empty()) {
            *error = std::string("no \"# ") + key + ":\" line";
            return false;
        }
    if (column.empty()) {
        *error = std::string("no column line (") + CERTIFICATE_COLUMNS + ")";
        return false;
    }
    return true;
}

const CertificateRow *Certificate::find(int resistance_mohm, int voltage_v) const
{
    const CertificateRow *any = nullptr;
    for (const CertificateRow &r : rows) {
        if (r.resistance_mohm != resistance_mohm)
            continue;
        if (r.voltage_v == voltage_v)
            return &r;
        if (!r.voltage_v)
            any = &r;
    }
    return any;
}

std::string Certificate::summary() const
{
    return number + ", " + laboratory + ", calibrated " + calibrated + ", due " + due;
}

bool parseLabProfile(const std::string &bytes, LabProfile *lab, std::string *error)
{
    *lab = LabProfile();
    CsvLines lines(bytes, CsvLines::SkipBom);
    std::string_view line;
    std::string *const fields[] = {&lab->name, &lab->address, &lab->accreditation, &lab->traceability};
    const char *const keys[] = {"name", "address", "accreditation", "traceability"};
    while (lines.next(&line)) {
        const std::string t = trimmed(line);
        if (t.empty() || t[0] == ';' || t[0] == '#' || (t[0] == '[' && t.back() == ']'))
            continue;
        const size_t eq = t.find('=');
        const std::string key = eq == std::string::npos ? t : trimmed(t.substr(0, eq));
        const auto known = std::find_if(std::begin(keys), std::end(keys), [&](const char *k) { return key == k; });
        if (eq == std::string::npos || known == std::end(keys)) {
            *error = lineError("", lines.lineNo(), "",
                               quoted(t) + " is no \"key = value\" line of name, address, accreditation, traceability");
            return false;
        }
        *fields[known - std::begin(keys)] = trimmed(t.substr(eq + 1));
    }
    return true;
}
