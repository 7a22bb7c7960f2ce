// The report of a record with uncertainties (report_pdf.h):
//
//   page 1      the lab, the record's header data with local times, the
//               summary and overall result, the decision rule with its
//               risk, the traceability of the reference
//   next pages  the table of the points' latest rows
//   annexes     each measured point's uncertainty budget; the rows that
//               later rows superseded, with the reasons given
//   last page   each point's error with its +-U bar against its +-MPE band,
//               the sign-off
//
// Every block has a fixed height, so the count of pages follows from the
// counts of rows alone.
#include "ctl/report_full.h"

#include "ctl/cli.h"
#include "ctl/report_painter.h"
#include "ctl/uncertainty.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <map>

namespace report {

namespace {

constexpr double ROW = 4.5;           // a line of the table and of the annexes
constexpr double PAGE_TOP = TOP + 10;  // below a page's heading
constexpr int TABLE_ROWS = int((CONTENT_END - PAGE_TOP - TABLE_HEAD) / ROW);
constexpr int BUDGET_LINES = 6;       // a point's title, three contributions, u_c, U
constexpr double BUDGET_BLOCK = BUDGET_LINES * ROW + 2.5;
constexpr double BUDGET_HEAD = 8;
constexpr int BUDGETS_PER_PAGE = int((CONTENT_END - PAGE_TOP - BUDGET_HEAD) / BUDGET_BLOCK);
constexpr int SUPERSEDED_ROWS = int((CONTENT_END - PAGE_TOP - ROW - 2) / (2 * ROW));
static_assert(TABLE_ROWS == 52 && BUDGETS_PER_PAGE == 8 && SUPERSEDED_ROWS == 26);

// Page 1: where each block starts and how many header lines it has room for.
constexpr double HEADER_TOP = 44;
constexpr double DATA_LINE = 4.3;
constexpr int HEADER_ROOM = 28;
constexpr double SUMMARY_TOP = HEADER_TOP + HEADER_ROOM * DATA_LINE + 3;

int pagesFor(int count, int perPage)
{
    return (count + perPage - 1) / perPage;
}

QString sig6(double v)
{
    return QString::number(v, 'g', 6);
}

QString signedSig6(double v)
{
    return (v > 0 ? "+" : "") + sig6(v);
}

QString signedPct(double v)
{
    const std::string t = errorText(v);
    return qs(t[0] == '-' ? t : "+" + t);
}

QString nuText(double nu)
{
    return std::isinf(nu) ? QString("\u221e") : QString::number(nu, 'f', 0);
}

QString turCell(double tur)
{
    if (std::isinf(tur))
        return "\u221e";
    return QString::number(tur, 'f', 2) + (tur < TUR_LOW ? " low" : "");
}

// A time the record gives in UTC, as local time with its offset beside it.
QString localAndUtc(const std::string &utc)
{
    const QDateTime t = QDateTime::fromString(qs(utc), Qt::ISODate);
    if (!t.isValid())
        return qs(utc);
    const QDateTime local = t.toLocalTime();
    return local.toString("yyyy-MM-dd HH:mm:ss") + " " + local.timeZone().displayName(local, QTimeZone::OffsetName) +
           "  (" + qs(utc) + ")";
}

// The header's keys shown with their own labels, in this order; any other
// key is shown after them under its own name.
struct Label {
    const char *key, *label;
};
const Label LABELS[] = {
    {"report_number", "Report number"},
    {"customer", "Customer"},
    {"uut", "Unit under test"},
    {"procedure", "Procedure"},
    {"operator", "Operator"},
    {"started_utc", "Started (local, UTC)"},
    {"temperature_c", "Temperature (\u00b0C)"},
    {"humidity_pct", "Humidity (%RH)"},
    {"temperature_c_end", "Temperature at end (\u00b0C)"},
    {"humidity_pct_end", "Humidity at end (%RH)"},
    {"decade_identification", "Decade identification"},
    {"port", "Port"},
    {"device", "Device"},
    {"plan", "Plan file"},
    {"plan_sha256", "Plan file SHA-256"},
    {"plan_points", "Planned points"},
    {"program", "Program"},
    {"record_format", "Record format"},
};
// Shown in blocks of their own, not among the header data.
const char *const ELSEWHERE[] = {"decision_rule",    "decade_certificate", "lab_name",        "lab_address",
                                 "lab_accreditation", "lab_traceability",   "started_local",
                                 "decade_certificate_expired", "reference_uncertainty"};

struct DataLine {
    QString label, value;
    bool mono = false;
};

std::vector<DataLine> headerLines(const Record &record, const ReportSource &source)
{
    std::vector<DataLine> lines{{"Record file", source.fileName}, {"Record file SHA-256", source.sha256, true}};
    for (const Label &l : LABELS)
        if (record.has(l.key)) {
            const std::string v = record.value(l.key);
            const bool started = std::string(l.key) == "started_utc";
            // The local time where the sweep ran, when the record gives it.
            const std::string local = record.value("started_local");
            lines.push_back({l.label, started ? (local.empty() ? localAndUtc(v) : qs(local + "  (" + v + ")")) : qs(v),
                             std::string(l.key) == "plan_sha256"});
        }
    for (const auto &[key, value] : record.header) {
        const auto known = [&](const char *k) { return key == k; };
        if (key.empty() || key == RECORD_TITLE || std::any_of(std::begin(ELSEWHERE), std::end(ELSEWHERE), known) ||
            std::any_of(std::begin(LABELS), std::end(LABELS), [&](const Label &l) { return key == l.key; }))
            continue;
        lines.push_back({qs(key), qs(value)});
    }
    return lines;
}

}  // namespace

bool isFullRecord(const Record &record)
{
    return record.has("record_format");
}

// Whether the reference values are nominal ones (no certificate), whose
// uncertainty, when given, is a rectangular half-width.
static bool nominalReference(const Record &record)
{
    const std::string c = record.value("decade_certificate");
    return c.empty() || c == "none";
}

// The points a certificate did not cover, as reference_uncertainty lists
// them: "the certified values (normal, U / k); points 3, 5: the nominal
// values ..." ("point 3: ..." for one).
static std::set<int> nominalPoints(const Record &record)
{
    std::set<int> points;
    const QRegularExpressionMatch m =
        QRegularExpression("; points? ([0-9, ]+):").match(qs(record.value("reference_uncertainty")));
    if (!m.hasMatch())
        return points;
    for (const QString &n : m.captured(1).split(',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int point = n.trimmed().toInt(&ok);
        if (ok)
            points.insert(point);
    }
    return points;
}

PointFigures figuresOf(const RecordRow &row, bool nominal)
{
    PointFigures f;
    f.reference_mohm = row.reference_mohm.value_or(row.resistance_mohm);
    f.readings = row.readings;
    f.n = row.n;
    f.mean_mohm = row.reading_mohm.value_or(0);
    f.s_mohm = row.s_mohm.value_or(0);
    f.error_mohm = row.error_mohm.value_or(f.mean_mohm - f.reference_mohm);
    f.error_pct = row.error_pct.value_or(0);
    f.mpe_mohm = row.mpe_mohm.value_or(row.tolerance_pct / 100 * f.reference_mohm);
    f.u_ref_mohm = row.u_ref_mohm.value_or(0);
    f.resolution_mohm = row.u_res_mohm ? std::optional<double>(*row.u_res_mohm * 2 * std::sqrt(3.0)) : std::nullopt;
    f.u_res_mohm = row.u_res_mohm.value_or(0);
    f.u_rep_mohm = row.u_rep_mohm.value_or(0);
    f.u_c_mohm = row.u_c_mohm.value_or(0);
    f.nu_eff = row.nu_eff.value_or(INFINITY);
    f.k = row.k.value_or(0);
    f.expanded_u_mohm = row.expanded_u_mohm.value_or(0);
    f.tur = row.tur.value_or(INFINITY);
    f.u_ref_rectangular = nominal;
    switch (row.verdict) {
    case Verdict::Pass:
        f.decision = Decision::Pass;
        break;
    case Verdict::ConditionalPass:
        f.decision = Decision::ConditionalPass;
        break;
    case Verdict::ConditionalFail:
        f.decision = Decision::ConditionalFail;
        break;
    case Verdict::Fail:
    case Verdict::Skipped:
        f.decision = Decision::Fail;
        break;
    }
    return f;
}

ReportView::ReportView(const Record &record)
    : record(record), allNominal(nominalReference(record)), nominal(nominalPoints(record))
{
    for (size_t k = 0; k < record.rows.size(); k++)
        (::superseded(record.rows, k) ? superseded : shown).push_back(&record.rows[k]);
    std::stable_sort(shown.begin(), shown.end(), [](const RecordRow *a, const RecordRow *b) { return a->point < b->point; });
    for (const RecordRow *r : shown)
        if (r->verdict != Verdict::Skipped)
            measured.push_back(r);
    for (const RecordRow &r : record.rows)
        if (r.supersedes && size_t(*r.supersedes) <= record.rows.size())
            reasons[&record.rows[size_t(*r.supersedes - 1)]] = qs(r.redo_note);
    rule = ruleOf(record);
}

std::optional<DecisionRule> ReportView::ruleOf(const Record &record)
{
    const std::string v = record.value("decision_rule");
    for (DecisionRule r : {DecisionRule::Simple, DecisionRule::Guarded, DecisionRule::NonBinary}) {
        const std::string name = decisionRuleName(r);
        if (v == name || v.rfind(name + ":", 0) == 0 || v.rfind(name + " ", 0) == 0 ||
            v.find(decisionRuleWords(r)) != std::string::npos)
            return r;
    }
    return std::nullopt;
}

int fullReportPages(const Record &record)
{
    const ReportView v(record);
    return 1 + std::max(1, pagesFor(int(v.shown.size()), TABLE_ROWS)) + pagesFor(int(v.measured.size()), BUDGETS_PER_PAGE) +
           pagesFor(int(v.superseded.size()), SUPERSEDED_ROWS) + 1;
}

ReportOutcome fullReportOutcome(const Record &record)
{
    const RecordSummary sum = summarize(record.rows);
    ReportOutcome o = countedOutcome(record, sum);
    const auto points = [](int n) { return QString("%1 point%2").arg(n).arg(n == 1 ? "" : "s"); };
    if (o.failed) {
        o.result = "FAIL";
        o.reason = points(o.failed) + " not passed.";
    } else if (o.planned < 0) {
        o.result = "INCOMPLETE";
        o.reason = "The record does not say how many points were planned.";
    } else if (o.skipped) {
        o.result = "INCOMPLETE";
        o.reason = points(o.skipped) + " skipped, not measured.";
    } else if (o.recorded != o.planned || o.recorded == 0) {
        o.result = "INCOMPLETE";
        o.reason = QString("%1 of %2 planned points recorded.").arg(o.recorded).arg(o.planned);
    } else {
        o.result = "PASS";
        o.reason = QString("All %1 planned points passed").arg(o.planned) +
                   (sum.conditionalPassed ? QString(", %1 of them conditionally (non-binary rule).").arg(sum.conditionalPassed)
                                          : QString("."));
    }
    return o;
}

namespace {

class FullPages : public Painter
{
public:
    FullPages(QPdfWriter &writer, const Record &record, const ReportSource &source)
        : Painter(writer, source, fullReportPages(record)), view_(record)
    {
        if (!source.altered.isEmpty())
            banner_ = "ALTERED after recording: " + source.altered;
    }

    bool paint();

private:
    const ReportView view_;

    const Record &record() const { return view_.record; }
    double block(double y, const QString &title, const QString &body, double height, const QColor &colour = INK);
    void firstPage();
    void lab();
    void headerData();
    double summary(double y);
    double ruleAndTraceability(double y);
    void table();
    void tableRow(double y, const RecordRow &row, bool stripe);
    void budgets();
    void budget(double y, const RecordRow &row);
    void supersededRows();
    void plotPage();
    void plotPoints(const PlotScale &s);
    void plotLegend(const PlotFrame &f);
    void signOff(double y);
    void endPage()
    {
        footer();
        newPage();
    }
};

bool FullPages::paint()
{
    if (!begin())
        return false;
    firstPage();
    table();
    budgets();
    supersededRows();
    plotPage();
    footer();
    Q_ASSERT(page_ == total_);
    return p_.end();
}

// A heading and a paragraph wrapped into a box of the height given.
double FullPages::block(double y, const QString &title, const QString &body, double height, const QColor &colour)
{
    heading(y, title);
    p_.setFont(font(8.5));
    p_.setPen(colour);
    p_.drawText(rect(LEFT, y + 7, WIDTH, height), int(Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap), body);
    return y + 7 + height + 2;
}

void FullPages::firstPage()
{
    text(LEFT, TOP, 120, 9, "Calibration report \u2014 insulation resistance tester", font(14, true));
    text(LEFT + 120, TOP, WIDTH - 120, 9, qs(record().value("report_number")), font(11, true), Qt::AlignRight);
    lab();
    hline(LEFT, RIGHT, TOP + 21, INK, 0.4);
    headerData();
    double y = summary(SUMMARY_TOP);
    ruleAndTraceability(y);
    endPage();
}

void FullPages::lab()
{
    const QString name = qs(record().value("lab_name")), address = qs(record().value("lab_address")),
                  accreditation = qs(record().value("lab_accreditation"));
    text(LEFT, TOP + 9, WIDTH, 5, name.isEmpty() ? QString("Laboratory not named") : name, font(9, true));
    QStringList rest;
    if (!address.isEmpty())
        rest << address;
    if (!accreditation.isEmpty())
        rest << "accreditation " + accreditation;
    text(LEFT, TOP + 14, WIDTH, 5, rest.join(" \u00b7 "), font(8), Qt::AlignLeft, GREY);
}

void FullPages::headerData()
{
    std::vector<DataLine> lines = headerLines(record(), source_);
    lines.push_back({"Date of issue", QDate::currentDate().toString(Qt::ISODate)});
    if (int(lines.size()) > HEADER_ROOM) {
        const int cut = int(lines.size()) - HEADER_ROOM + 1;
        lines.resize(HEADER_ROOM - 1);
        lines.push_back({"", QString("(%1 further header lines in the record file)").arg(cut)});
    }
    double y = HEADER_TOP;
    for (const DataLine &l : lines) {
        text(LEFT, y, 46, DATA_LINE, l.label, font(8, true));
        text(LEFT + 46, y, WIDTH - 46, DATA_LINE, l.value.isEmpty() ? "\u2014" : l.value, font(8, false, l.mono));
        y += DATA_LINE;
    }
}

double FullPages::summary(double y)
{
    const ReportOutcome o = fullReportOutcome(record());
    const bool altered = !source_.altered.isEmpty();
    heading(y, "Summary");
    y += 7;
    text(LEFT, y, WIDTH, DATA_LINE,
         QString("%1 planned, %2 recorded: %3 passed, %4 not passed, %5 skipped; %6 superseded")
             .arg(o.planned < 0 ? QString("\u2014") : QString::number(o.planned))
             .arg(o.recorded).arg(o.passed).arg(o.failed).arg(o.skipped)
             .arg(view_.superseded.size() == 1 ? QString("1 row") : QString("%1 rows").arg(view_.superseded.size())),
         font(8.5));
    y += DATA_LINE;
    text(LEFT, y, WIDTH, DATA_LINE,
         o.worstPoint ? QString("Worst point by |E| / MPE: point %1, error %2 %").arg(o.worstPoint).arg(o.worstError, 0, 'f', 3)
                      : QString("No point measured."),
         font(8.5));
    y += DATA_LINE + 2;
    pen(INK, 0.4);
    p_.setBrush(Qt::NoBrush);
    p_.drawRect(rect(LEFT, y, WIDTH, 9));
    text(LEFT + 2, y, 38, 9, "Overall result", font(10, true));
    if (altered) {
        text(LEFT + 40, y, 70, 9, "ALTERED after recording", font(11, true), Qt::AlignLeft, FAIL_INK);
        text(LEFT + 110, y, WIDTH - 112, 9, "No overall result is given.", font(8.5));
    } else {
        text(LEFT + 40, y, 30, 9, o.result, font(12, true), Qt::AlignLeft, o.result == "FAIL" ? FAIL_INK : INK);
        text(LEFT + 70, y, WIDTH - 72, 9, o.reason, font(8.5));
    }
    return y + 12;
}

double FullPages::ruleAndTraceability(double y)
{
    const auto rule = view_.rule;
    const QString words = rule ? QString("%1: %2").arg(decisionRuleName(*rule), qs(decisionRuleWords(*rule)))
                               : qs(record().value("decision_rule"));
    y = block(y, "Decision rule", words + (rule ? "\n" + qs(decisionRuleRisk(*rule)) : QString()), 17);
    const std::string certificate = record().value("decade_certificate");
    QString trace = "The decade's certificate: " + (certificate.empty() ? QString("none") : qs(certificate)) + ".";
    if (record().has("decade_certificate_expired"))
        trace += " EXPIRED: " + qs(record().value("decade_certificate_expired")) + ".";
    if (record().has("reference_uncertainty"))
        trace += "\nReference values: " + qs(record().value("reference_uncertainty")) + ".";
    const std::string statement = record().value("lab_traceability");
    if (!statement.empty())
        trace += "\n" + qs(statement);
    block(y, "Traceability", trace, CONTENT_END - y - 9);
    return CONTENT_END;
}


// The table's columns: heads, widths in mm, alignment.
const Column COLUMNS[] = {
    {"Point", 8, Qt::AlignRight},          {"Nominal\n(MOhm)", 12, Qt::AlignRight},
    {"Voltage\n(V)", 10, Qt::AlignRight},  {"Reference\n(MOhm)", 14, Qt::AlignRight},
    {"Mean\n(MOhm)", 14, Qt::AlignRight},  {"s\n(MOhm)", 12, Qt::AlignRight},
    {"n", 5, Qt::AlignRight},              {"E\n(MOhm)", 13, Qt::AlignRight},
    {"E\n(%)", 12, Qt::AlignRight},        {"MPE\n(MOhm)", 13, Qt::AlignRight},
    {"U (k)\n(MOhm)", 21, Qt::AlignRight}, {"TUR", 13, Qt::AlignRight},
    {"Verdict", 23, Qt::AlignLeft},
};
constexpr double PAD = 1.2;

void FullPages::table()
{
    const auto &rows = view_.shown;
    size_t next = 0;
    do {
        heading(TOP, next == 0 ? "Measurements" : "Measurements (continued)");
        columnHeads(PAGE_TOP, COLUMNS, TABLE_HEAD, 6.2, PAD);
        hline(LEFT, RIGHT, PAGE_TOP + TABLE_HEAD, INK, 0.3);
        if (rows.empty())
            text(LEFT, PAGE_TOP + TABLE_HEAD + 2, WIDTH, ROW, "No points recorded.", font(9, false, false, true));
        for (int k = 0; k < TABLE_ROWS && next < rows.size(); k++, next++)
            tableRow(PAGE_TOP + TABLE_HEAD + k * ROW, *rows[next], k % 2 == 1);
        endPage();
    } while (next < rows.size());
}

void FullPages::tableRow(double y, const RecordRow &row, bool stripe)
{
    if (stripe)
        p_.fillRect(rect(LEFT, y, WIDTH, ROW), STRIPE);
    const bool skipped = row.verdict == Verdict::Skipped;
    const PointFigures f = view_.figures(row);
    const bool bad = !skipped && (f.decision == Decision::Fail || f.decision == Decision::ConditionalFail);
    const QString none("\u2014");
    const QString cells[] = {
        QString::number(row.point),
        QString::number(row.resistance_mohm),
        QString::number(row.voltage_v),
        sig6(f.reference_mohm),
        skipped ? none : sig6(f.mean_mohm),
        skipped ? none : sig6(f.s_mohm),
        skipped ? none : QString::number(f.n),
        skipped ? none : signedSig6(f.error_mohm),
        skipped ? none : signedPct(f.error_pct),
        skipped ? none : sig6(f.mpe_mohm),
        skipped ? none : QString("%1 (%2)").arg(sig6(f.expanded_u_mohm), QString::number(f.k, 'f', 3)),
        skipped ? none : turCell(f.tur),
        skipped ? QString("skipped") : QString(decisionWord(f.decision)).toUpper(),
    };
    double x = LEFT;
    for (size_t k = 0; k < std::size(COLUMNS); k++) {
        const bool verdict = k + 1 == std::size(COLUMNS);
        const bool lowTur = k + 2 == std::size(COLUMNS) && !skipped && f.tur < TUR_LOW;
        text(x + PAD, y, COLUMNS[k].width - 2 * PAD, ROW, cells[k], font(7, (verdict && bad) || lowTur, false,
             verdict && skipped), COLUMNS[k].align, verdict && bad ? FAIL_INK : verdict && skipped ? GREY : INK);
        x += COLUMNS[k].width;
    }
    if (bad)  // a mark in the margin, seen in black and white
        text(RIGHT + 1, y, 6, ROW, "\u25c0", font(7), Qt::AlignLeft, FAIL_INK);
    hline(LEFT, RIGHT, y + ROW, GRID, 0.1);
}

// The budget's columns.
const Column BUDGET[] = {
    {"Contribution", 52, Qt::AlignLeft}, {"Type", 12, Qt::AlignLeft},
    {"Distribution", 28, Qt::AlignLeft}, {"Divisor", 20, Qt::AlignRight},
    {"Standard\nuncertainty (MOhm)", 32, Qt::AlignRight}, {"Degrees of\nfreedom", 26, Qt::AlignRight},
};

void FullPages::budgets()
{
    const auto &rows = view_.measured;
    for (size_t next = 0; next < rows.size();) {
        heading(TOP, "Annex A: uncertainty budget of each point");
        columnHeads(PAGE_TOP, BUDGET, BUDGET_HEAD, 7, PAD);
        for (int k = 0; k < BUDGETS_PER_PAGE && next < rows.size(); k++, next++)
            budget(PAGE_TOP + BUDGET_HEAD + 1.5 + k * BUDGET_BLOCK, *rows[next]);
        endPage();
    }
}

void FullPages::budget(double y, const RecordRow &row)
{
    const PointFigures f = view_.figures(row);
    QStringList readings;
    for (double r : f.readings)
        readings << sig6(r);
    text(LEFT, y, WIDTH, ROW,
         QString("Point %1: %2 MOhm at %3 V; reference %4 MOhm; readings (MOhm): %5")
             .arg(row.point).arg(row.resistance_mohm).arg(row.voltage_v).arg(sig6(f.reference_mohm), readings.join("; ")),
         font(7.5, true));
    const QString inf("\u221e");
    const bool noRef = f.u_ref_rectangular && f.u_ref_mohm == 0;
    const QString rows[4][6] = {
        {noRef ? "Reference (nominal value, no uncertainty given)"
               : f.u_ref_rectangular ? "Reference (nominal value)" : "Reference (decade's certificate)",
         "B", noRef ? "\u2014" : f.u_ref_rectangular ? "rectangular" : "normal",
         noRef ? "\u2014" : f.u_ref_rectangular ? "\u221a3" : "k (certificate)", sig6(f.u_ref_mohm), inf},
        {f.resolution_mohm ? QString("Resolution (%1 MOhm)").arg(sig6(*f.resolution_mohm)) : "Resolution (none given)",
         "B", "rectangular", "2\u221a3", sig6(f.u_res_mohm), inf},
        {f.n > 1 ? QString("Repeatability (s = %1 MOhm)").arg(sig6(f.s_mohm)) : QString("Repeatability (one reading)"),
         "A", "normal", f.n > 1 ? QString("\u221a%1").arg(f.n) : QString("\u2014"), sig6(f.u_rep_mohm),
         f.n > 1 ? QString::number(f.n - 1) : QString("\u2014")},
        {"Combined standard uncertainty u_c", "", "", "", sig6(f.u_c_mohm), "\u03bd_eff = " + nuText(f.nu_eff)},
    };
    double ly = y + ROW;
    for (const auto &cells : rows) {
        double x = LEFT;
        for (size_t k = 0; k < std::size(BUDGET); k++) {
            text(x + PAD, ly, BUDGET[k].width - 2 * PAD, ROW, cells[k], font(7), BUDGET[k].align);
            x += BUDGET[k].width;
        }
        ly += ROW;
    }
    text(LEFT + PAD, ly, WIDTH - 2 * PAD, ROW,
         QString("Expanded uncertainty U = k \u00d7 u_c = %1 \u00d7 %2 = %3 MOhm (k for 95.45 % at \u03bd_eff = %4); "
                 "MPE %5 MOhm; TUR %6")
             .arg(QString::number(f.k, 'f', 3), sig6(f.u_c_mohm), sig6(f.expanded_u_mohm), nuText(f.nu_eff),
                  sig6(f.mpe_mohm), turCell(f.tur)),
         font(7));
    hline(LEFT, RIGHT, ly + ROW + 0.8, GRID, 0.15);
}

void FullPages::supersededRows()
{
    const auto &rows = view_.superseded;
    for (size_t next = 0; next < rows.size();) {
        heading(TOP, "Annex B: rows superseded by a later row of their point");
        text(LEFT, PAGE_TOP, WIDTH, ROW, "Each stays in the record as it was written; the table shows the latest row.",
             font(7.5, false, false, true), Qt::AlignLeft, GREY);
        for (int k = 0; k < SUPERSEDED_ROWS && next < rows.size(); k++, next++) {
            const RecordRow &r = *rows[next];
            const PointFigures f = view_.figures(r);
            const double y = PAGE_TOP + ROW + 2 + k * 2 * ROW;
            text(LEFT, y, WIDTH, ROW,
                 QString("Point %1, recorded %2: %3, %4")
                     .arg(r.point).arg(qs(r.time_utc))
                     .arg(r.verdict == Verdict::Skipped ? QString("skipped")
                                                        : QString("mean %1 MOhm, error %2 %").arg(sig6(f.mean_mohm), signedPct(f.error_pct)))
                     .arg(r.verdict == Verdict::Skipped ? QString() : QString(decisionWord(f.decision))),
                 font(7.5, true));
            const QString why = view_.reasons.count(&r) ? view_.reasons.at(&r) : QString();
            text(LEFT + 4, y + ROW, WIDTH - 4, ROW, why.isEmpty() ? QString("(no reason recorded)") : "Superseded: " + why,
                 font(7.5));
        }
        endPage();
    }
}

// The plot's vertical range: set by the points' tolerances, never by their
// errors, so one outlier does not flatten the rest.
double plotRange(const ReportView &view, const std::vector<const RecordRow *> &points)
{
    double mpe = 0, u = 0;
    for (const RecordRow *r : points) {
        const PointFigures f = view.figures(*r);
        if (f.reference_mohm > 0) {
            mpe = std::max(mpe, f.mpe_mohm / f.reference_mohm * 100);
            u = std::max(u, f.expanded_u_mohm / f.reference_mohm * 100);
        }
    }
    return mpe > 0 ? mpe * 1.5 : u > 0 ? u * 1.5 : 1;
}

void FullPages::plotPage()
{
    heading(TOP, "Error against nominal resistance, with \u00b1U against \u00b1MPE");
    const PlotFrame f{LEFT + 18, TOP + 10, WIDTH - 22, 118};
    plotFrame(f, LEFT, "Error (% of reference)");
    std::vector<const RecordRow *> points;
    for (const RecordRow *r : view_.measured)
        if (r->resistance_mohm > 0)
            points.push_back(r);
    if (points.empty()) {
        text(f.x, f.y, f.w, f.h, "No measured points to plot.", font(10, false, false, true), Qt::AlignHCenter);
    } else {
        PlotScale sc;
        sc.frame = f;
        double lo = 1e300, hi = 0;
        for (const RecordRow *r : points) {
            lo = std::min(lo, double(r->resistance_mohm));
            hi = std::max(hi, double(r->resistance_mohm));
        }
        sc.dlo = int(std::floor(std::log10(lo) + 1e-9));
        sc.xmin = sc.dlo;
        sc.xmax = std::max(std::log10(hi), sc.dlo + 1.0);
        const double range = plotRange(view_, points);
        sc.step = niceStep(range, 4);
        sc.ymax = std::ceil(range / sc.step - 1e-9) * sc.step;
        plotGrid(f, sc);
        plotPoints(sc);
        plotLegend(f);
    }
    signOff(TOP + 168);
}

void FullPages::plotPoints(const PlotScale &s)
{
    const PlotFrame &f = s.frame;
    std::map<int, int> atResistance, placed;
    for (const RecordRow *r : view_.measured)
        atResistance[r->resistance_mohm]++;
    p_.save();
    p_.setClipRect(rect(f.x, f.y, f.w, f.h));
    pen(INK, 0.35);
    p_.drawLine(pt(f.x, s.Y(0)), pt(f.x + f.w, s.Y(0)));
    const double top = s.ymax, half = 1.1;
    for (const RecordRow *r : view_.measured) {
        if (r->resistance_mohm <= 0)
            continue;
        const int n = atResistance[r->resistance_mohm], k = placed[r->resistance_mohm]++;
        const double x = s.X(r->resistance_mohm) + (k - (n - 1) / 2.0) * (n > 1 ? std::min(3.2, 12.0 / (n - 1)) : 0);
        const PointFigures fig = view_.figures(*r);
        const double ref = fig.reference_mohm > 0 ? fig.reference_mohm : 1;
        const double e = fig.error_pct, m = fig.mpe_mohm / ref * 100, u = fig.expanded_u_mohm / ref * 100;
        const auto y = [&](double v) { return s.Y(std::clamp(v, -top, top)); };
        // The tolerance: a grey band with its limits marked.
        p_.fillRect(QRectF(pt(x - half, y(m)), pt(x + half, y(-m))), BAND);
        pen(INK, 0.25);
        p_.drawLine(pt(x - half, y(m)), pt(x + half, y(m)));
        p_.drawLine(pt(x - half, y(-m)), pt(x + half, y(-m)));
        const bool pass = fig.decision == Decision::Pass;
        const QColor ink = pass || fig.decision == Decision::ConditionalPass ? INK : FAIL_INK;
        if (std::fabs(e) > top) {
            // Beyond the axis: an arrow at its edge, pointing on, with the value.
            const double edge = e > 0 ? f.y + 0.4 : f.y + f.h - 0.4, dir = e > 0 ? 1 : -1;
            QPolygonF arrow;
            arrow << pt(x, edge) << pt(x - 1.3, edge + 2.6 * dir) << pt(x + 1.3, edge + 2.6 * dir);
            p_.setPen(Qt::NoPen);
            p_.setBrush(ink);
            p_.drawPolygon(arrow);
            p_.setBrush(Qt::NoBrush);
            // Its label inside the frame's width, left of the arrow near the right side.
            const bool left = x + 26 > f.x + f.w;
            p_.setClipping(false);
            text(left ? x - 25.8 : x + 1.8, e > 0 ? edge : edge - 3.5, 24, 3.5,
                 QString("%1: %2 %").arg(r->point).arg(signedPct(e)), font(6.5, true),
                 left ? Qt::AlignRight : Qt::AlignLeft, ink);
            p_.setClipping(true);
            continue;
        }
        // The expanded uncertainty: a bar with caps where it ends on the plot.
        pen(ink, 0.3);
        p_.drawLine(pt(x, y(e - u)), pt(x, y(e + u)));
        for (double end : {e - u, e + u})
            if (std::fabs(end) < top)
                p_.drawLine(pt(x - 0.6, s.Y(end)), pt(x + 0.6, s.Y(end)));
        const QPointF c = pt(x, s.Y(e));
        if (fig.decision == Decision::Fail) {
            failMark(c);
        } else {
            pen(ink, 0.3);
            p_.setBrush(Qt::white);
            if (pass)
                p_.drawEllipse(c, 1.0 * unit_, 1.0 * unit_);
            else
                p_.drawRect(QRectF(c - QPointF(unit_, unit_), c + QPointF(unit_, unit_)));
            p_.setBrush(Qt::NoBrush);
        }
        if (!pass)
            text(x + 1.6, s.Y(e) - 4.5, 10, 3.5, QString::number(r->point), font(6.5, true), Qt::AlignLeft, ink);
    }
    p_.restore();
}

void FullPages::plotLegend(const PlotFrame &f)
{
    const double ly = f.y + f.h + 15;
    pen(INK, 0.3);
    p_.setBrush(Qt::white);
    p_.drawEllipse(pt(f.x + 2, ly + 2.5), 1.0 * unit_, 1.0 * unit_);
    text(f.x + 5, ly, 14, 5, "pass", font(7.5));
    p_.drawRect(rect(f.x + 20, ly + 1.5, 2, 2));
    text(f.x + 24, ly, 26, 5, "conditional", font(7.5));
    p_.setBrush(Qt::NoBrush);
    failMark(pt(f.x + 51, ly + 2.5));
    text(f.x + 54, ly, 12, 5, "fail", font(7.5));
    p_.fillRect(QRectF(pt(f.x + 67, ly + 0.5), pt(f.x + 69.2, ly + 4.5)), BAND);
    text(f.x + 71, ly, 22, 5, "\u00b1MPE", font(7.5));
    pen(INK, 0.3);
    p_.drawLine(pt(f.x + 92, ly + 0.5), pt(f.x + 92, ly + 4.5));
    text(f.x + 94, ly, 14, 5, "\u00b1U", font(7.5));
    text(f.x, ly + 5, f.w, 5,
         "The axis is set by the tolerances: a point beyond it is drawn at its edge, with an arrow and its error. "
         "Numbers name points not passed.",
         font(7), Qt::AlignLeft, GREY);
}

void FullPages::signOff(double y)
{
    heading(y, "Sign-off");
    y += 8;
    text(LEFT, y, WIDTH, LINE,
         "This report shows the record file named below, which is the original record. "
         "The results relate only to the item calibrated.",
         font(8), Qt::AlignLeft, GREY);
    y += LINE + 2;
    text(LEFT, y, 30, LINE, "Remarks", font(9, true));
    pen(RULE, 0.25);
    p_.drawRect(rect(LEFT, y + LINE, WIDTH, 14));
    y += LINE + 14 + 10;
    const QString performer = qs(record().value("operator"));
    const std::pair<QString, QString> roles[] = {{"Performed by", performer}, {"Checked / approved by", QString()}};
    for (const auto &[role, name] : roles) {
        text(LEFT, y - LINE, 38, LINE, role, font(9, true));
        text(LEFT + 39, y - LINE, 50, LINE, name, font(9));
        hline(LEFT + 39, LEFT + 92, y, INK, 0.25);
        text(LEFT + 96, y - LINE, 20, LINE, "Signature", font(9, true));
        hline(LEFT + 115, RIGHT, y, INK, 0.25);
        y += 11;
    }
    text(LEFT, y - LINE, 38, LINE, "Date of issue", font(9, true));
    text(LEFT + 39, y - LINE, 50, LINE, QDate::currentDate().toString(Qt::ISODate), font(9));
}

}  // namespace

bool paintFullReport(QPdfWriter &writer, const Record &record, const ReportSource &source)
{
    return FullPages(writer, record, source).paint();
}

}  // namespace report
