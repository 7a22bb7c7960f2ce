// The record's report painted page by page with QPainter on a QPdfWriter.
// Positions are in millimetres from the page's top left corner; the page
// is A4 portrait with a 20 mm margin left and right. Rows are a fixed
// height, so the count of pages follows from the count of rows alone.
#include "ctl/report_pdf.h"

#include "ctl/cli.h"
#include "ctl/report_full.h"
#include "ctl/report_painter.h"

#include <QFile>
#include <QFontMetricsF>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace report;

// Why no PDF may be written at `path`: empty when nothing is there (a new
// file) or a regular file this user may write, which the PDF replaces. A
// folder, a device, a pipe or a read-only file (read-only for root too) is
// left as it is.
QString unwritable(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0)
        return errno == ENOENT ? QString() : QString::fromLocal8Bit(strerror(errno));
    if (S_ISDIR(st.st_mode))
        return "a folder, not a file";
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        return "a pipe, not a file";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return "a device, not a file";
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if ((st.st_mode & 0222) == 0 || ::access(name.constData(), W_OK) != 0)
        return "a read-only file";
    return {};
}

// Where the table starts on page 1 (with the sweep's header keys) and on
// the pages after.
constexpr double HEADER_DATA_TOP = 45;
constexpr int HEADER_LINES = 13;     // the record file, its hash and the sweep's 11 keys
constexpr double FIRST_TABLE_TOP = HEADER_DATA_TOP + HEADER_LINES * LINE + 50;
constexpr double NEXT_TABLE_TOP = TOP + 10;
static_assert(FIRST_TABLE_TOP + TABLE_HEAD + REPORT_FIRST_PAGE_ROWS * LINE <= CONTENT_END);
static_assert(FIRST_TABLE_TOP + TABLE_HEAD + (REPORT_FIRST_PAGE_ROWS + 1) * LINE > CONTENT_END);
static_assert(NEXT_TABLE_TOP + TABLE_HEAD + REPORT_PAGE_ROWS * LINE <= CONTENT_END);
static_assert(NEXT_TABLE_TOP + TABLE_HEAD + (REPORT_PAGE_ROWS + 1) * LINE > CONTENT_END);

// The sweep's header keys, in the order shown, with their labels.
struct Key {
    const char *key, *label;
    bool mono;
};
const Key KEYS[] = {
    {"program", "Program", false},
    {"started_utc", "Started (UTC)", false},
    {"decade_identification", "Decade identification", false},
    {"port", "Port", false},
    {"device", "Device", false},
    {"uut", "Unit under test", false},
    {"operator", "Operator", false},
    {"plan", "Plan file", false},
    {"plan_sha256", "Plan file SHA-256", true},
    {"plan_points", "Planned points", false},
    {"decision_rule", "Decision rule", false},
};
static_assert(std::size(KEYS) + 2 == HEADER_LINES);

// The header's keys that are not the sweep's: each is a line of its own.
std::vector<std::pair<QString, QString>> otherKeys(const Record &record)
{
    std::vector<std::pair<QString, QString>> other;
    for (const auto &[key, value] : record.header) {
        if (key.empty() || key == RECORD_TITLE)
            continue;
        if (std::none_of(std::begin(KEYS), std::end(KEYS), [&](const Key &k) { return key == k.key; }))
            other.emplace_back(qs(key), qs(value));
    }
    return other;
}

// Page 1 keeps at least a few rows of the table.
constexpr int MAX_OTHER_LINES = REPORT_FIRST_PAGE_ROWS - 4;

int firstPageRows(const Record &record)
{
    return REPORT_FIRST_PAGE_ROWS - std::min(int(otherKeys(record).size()), MAX_OTHER_LINES);
}

QString number(double v)
{
    return QString::number(v, 'g', 12);
}

// The error with its sign always shown: "+0.400", "-2.000", "+0.000".
QString signedError(double v)
{
    const std::string text = errorText(v);
    return qs(text[0] == '-' ? text : "+" + text);
}

class Pages : public Painter
{
public:
    Pages(QPdfWriter &writer, const Record &record, const ReportSource &source)
        : Painter(writer, source, reportPages(record)), record_(record)
    {
    }

    bool paint();

private:
    const Record &record_;

    double titleBlock();
    double headerData(double y);
    double summary(double y);
    void tableHead(double y);
    void tableRow(double y, const RecordRow &row, bool stripe);
    void plotPage();
    void plot(double x, double y, double w, double h);
    PlotScale plotScale(const PlotFrame &f, const std::vector<const RecordRow *> &points);
    void plotPoints(const PlotScale &s, const std::vector<const RecordRow *> &points);
    void plotLegend(const PlotFrame &f, int skipped, int atZero);
    void signOff(double y);
};

bool Pages::paint()
{
    if (!begin())
        return false;

    double y = titleBlock();
    y = headerData(y);
    y = summary(y);
    heading(y, "Measurements");
    const auto &rows = record_.rows;
    if (rows.empty()) {
        text(LEFT, y + 8, WIDTH, LINE, "No points recorded.", font(9, false, false, true));
        signOff(y + 20);
        footer();
        return p_.end();
    }
    size_t next = 0;
    double top = y + 8;
    Q_ASSERT(top == FIRST_TABLE_TOP + (REPORT_FIRST_PAGE_ROWS - firstPageRows(record_)) * LINE);
    int capacity = firstPageRows(record_);
    for (;;) {
        tableHead(top);
        for (int k = 0; k < capacity && next < rows.size(); k++, next++)
            tableRow(top + TABLE_HEAD + k * LINE, rows[next], k % 2 == 1);
        footer();
        newPage();
        if (next == rows.size())
            break;
        heading(TOP, "Measurements (continued)");
        top = NEXT_TABLE_TOP;
        capacity = REPORT_PAGE_ROWS;
    }
    plotPage();
    footer();
    return p_.end();
}

double Pages::titleBlock()
{
    text(LEFT, TOP, WIDTH, 9, "Calibration record \u2014 insulation resistance tester check", font(15, true));
    text(LEFT, TOP + 10, WIDTH, 5,
         "The tester's readings of the resistances of a T-483 high-resistance decade, point by point.",
         font(9), Qt::AlignLeft, GREY);
    hline(LEFT, RIGHT, TOP + 17, INK, 0.4);
    heading(TOP + 22, "Record");
    return HEADER_DATA_TOP;
}

double Pages::headerData(double y)
{
    const double labelW = 42;
    auto line = [&](const QString &label, const QString &value, bool mono) {
        text(LEFT, y, labelW, LINE, label, font(9, true));
        text(LEFT + labelW, y, WIDTH - labelW, LINE, value.isEmpty() ? "\u2014" : value, font(9, false, mono));
        y += LINE;
    };
    line("Record file", source_.fileName, false);
    line("Record file SHA-256", source_.sha256, true);
    for (const Key &k : KEYS)
        line(k.label, qs(record_.value(k.key)), k.mono);
    const auto other = otherKeys(record_);
    for (size_t k = 0; k < other.size(); k++) {
        if (int(k) == MAX_OTHER_LINES - 1 && other.size() > size_t(MAX_OTHER_LINES)) {
            line("", QString("(%1 further header lines in the record file)").arg(other.size() - k), false);
            break;
        }
        line(other[k].first, other[k].second, false);
    }
    return y + 3;
}

double Pages::summary(double y)
{
    const ReportOutcome o = reportOutcome(record_);
    heading(y, "Summary");
    y += 8;
    const double labelW = 42;
    auto line = [&](const QString &label, const QString &value) {
        text(LEFT, y, labelW, LINE, label, font(9, true));
        text(LEFT + labelW, y, WIDTH - labelW, LINE, value, font(9));
        y += LINE;
    };
    line("Points", QString("%1 planned, %2 recorded").arg(o.planned < 0 ? QString("\u2014") : QString::number(o.planned))
                       .arg(o.recorded));
    line("Verdicts", QString("%1 pass, %2 fail, %3 skipped").arg(o.passed).arg(o.failed).arg(o.skipped));
    line("Worst |error|", o.worstError < 0 ? QString("\u2014")
                                           : QString("%1 % at point %2").arg(o.worstError, 0, 'f', 3).arg(o.worstPoint));
    // The overall result, framed.
    y += 2;
    pen(INK, 0.4);
    p_.setBrush(Qt::NoBrush);
    p_.drawRect(rect(LEFT, y, WIDTH, 9));
    text(LEFT + 2, y, labelW - 2, 9, "Overall result", font(10, true));
    text(LEFT + labelW, y, 38, 9, o.result, font(12, true), Qt::AlignLeft, o.result == "FAIL" ? FAIL_INK : INK);
    text(LEFT + labelW + 38, y, WIDTH - labelW - 40, 9, o.reason, font(8.5));
    return y + 14;
}

// The table's columns: heads, widths in mm, alignment.
const Column COLUMNS[] = {
    {"Point", 12, Qt::AlignRight},
    {"Time (UTC)", 38, Qt::AlignLeft},
    {"Nominal\n(MOhm)", 20, Qt::AlignRight},
    {"Voltage\n(V)", 16, Qt::AlignRight},
    {"Reading\n(MOhm)", 24, Qt::AlignRight},
    {"Error\n(%)", 20, Qt::AlignRight},
    {"Tolerance\n(\u00b1%)", 20, Qt::AlignRight},
    {"Verdict", 20, Qt::AlignLeft},
};
constexpr double PAD = 1.5;  // inside a cell, left and right

void Pages::tableHead(double y)
{
    pen(INK, 0);
    columnHeads(y, COLUMNS, TABLE_HEAD, 8, PAD);
    hline(LEFT, RIGHT, y + TABLE_HEAD, INK, 0.3);
}

void Pages::tableRow(double y, const RecordRow &row, bool stripe)
{
    if (stripe)
        p_.fillRect(rect(LEFT, y, WIDTH, LINE), STRIPE);
    const bool skipped = row.verdict == Verdict::Skipped;
    const bool fail = row.verdict == Verdict::Fail;
    const QString cells[] = {
        QString::number(row.point),
        qs(row.time_utc),
        QString::number(row.resistance_mohm),
        QString::number(row.voltage_v),
        row.reading_mohm ? number(*row.reading_mohm) : QString("\u2014"),
        row.error_pct ? signedError(*row.error_pct) : QString("\u2014"),
        number(row.tolerance_pct),
        skipped ? QString(verdictWord(row.verdict)) : QString(verdictWord(row.verdict)).toUpper(),
    };
    double x = LEFT;
    for (size_t k = 0; k < std::size(COLUMNS); k++) {
        const bool verdict = k + 1 == std::size(COLUMNS);
        text(x + PAD, y, COLUMNS[k].width - 2 * PAD, LINE, cells[k],
             font(8, verdict && fail, false, verdict && skipped), COLUMNS[k].align,
             verdict && fail ? FAIL_INK : skipped && verdict ? GREY : INK);
        x += COLUMNS[k].width;
    }
    if (fail)  // a mark in the margin, seen in black and white
        text(RIGHT + 1, y, 6, LINE, "\u25c0", font(7), Qt::AlignLeft, FAIL_INK);
    hline(LEFT, RIGHT, y + LINE, GRID, 0.1);
}

void Pages::plotPage()
{
    heading(TOP, "Error against nominal resistance");
    plot(LEFT, TOP + 8, WIDTH, 150);
    signOff(TOP + 172);
}

void Pages::plot(double x0, double y0, double w, double h)
{
    // The measured points at resistances a log axis can show.
    std::vector<const RecordRow *> points;
    int skipped = 0, atZero = 0;
    for (const RecordRow &row : record_.rows) {
        if (row.verdict == Verdict::Skipped)
            skipped++;
        else if (row.resistance_mohm <= 0)
            atZero++;
        else
            points.push_back(&row);
    }
    // The frame of the axes, room for labels left and below.
    const PlotFrame f{x0 + 18, y0 + 2, w - 22, h - 30};
    plotFrame(f, x0);
    if (points.empty()) {
        text(f.x, f.y, f.w, f.h, "No measured points to plot.", font(10, false, false, true), Qt::AlignHCenter);
        return;
    }
    const PlotScale s = plotScale(f, points);
    plotGrid(f, s);
    plotPoints(s, points);
    plotLegend(f, skipped, atZero);
}

PlotScale Pages::plotScale(const PlotFrame &f, const std::vector<const RecordRow *> &points)
{
    double lo = 1e300, hi = 0, range = 0;
    for (const RecordRow *r : points) {
        lo = std::min(lo, double(r->resistance_mohm));
        hi = std::max(hi, double(r->resistance_mohm));
        range = std::max({range, std::fabs(*r->error_pct), r->tolerance_pct});
    }
    // From the decade below the smallest resistance to the largest (a
    // decade at least), inside the frame by a little either side.
    PlotScale s;
    s.frame = f;
    s.dlo = int(std::floor(std::log10(lo) + 1e-9));
    s.xmin = s.dlo;
    s.xmax = std::max(std::log10(hi), s.dlo + 1.0);
    if (range <= 0)
        range = 1;
    s.step = niceStep(range * 1.1, 4);
    s.ymax = std::ceil(range * 1.1 / s.step) * s.step;
    return s;
}

void Pages::plotPoints(const PlotScale &s, const std::vector<const RecordRow *> &points)
{
    const PlotFrame &f = s.frame;
    // Points at the same resistance are spread apart sideways.
    std::map<int, int> atResistance, placed;
    for (const RecordRow *r : points)
        atResistance[r->resistance_mohm]++;
    std::vector<double> xs;
    for (const RecordRow *r : points) {
        const int n = atResistance[r->resistance_mohm];
        const int k = placed[r->resistance_mohm]++;
        const double gap = n > 1 ? std::min(3.0, 12.0 / (n - 1)) : 0;
        xs.push_back(s.X(r->resistance_mohm) + (k - (n - 1) / 2.0) * gap);
    }

    // The tolerance of each point: a grey band with its limits marked.
    const double half = 1.1;
    for (size_t k = 0; k < points.size(); k++) {
        const double t = points[k]->tolerance_pct;
        p_.fillRect(QRectF(pt(xs[k] - half, s.Y(t)), pt(xs[k] + half, s.Y(-t))), BAND);
        pen(INK, 0.25);
        p_.drawLine(pt(xs[k] - half, s.Y(t)), pt(xs[k] + half, s.Y(t)));
        p_.drawLine(pt(xs[k] - half, s.Y(-t)), pt(xs[k] + half, s.Y(-t)));
    }
    pen(INK, 0.35);
    p_.drawLine(pt(f.x, s.Y(0)), pt(f.x + f.w, s.Y(0)));
    // Passes as open circles, fails as crosses with their point's number.
    for (size_t k = 0; k < points.size(); k++) {
        const QPointF c = pt(xs[k], s.Y(*points[k]->error_pct));
        if (points[k]->verdict != Verdict::Pass) {
            failMark(c);
            text(xs[k] + 1.6, s.Y(*points[k]->error_pct) - 4.5, 10, 3.5, QString::number(points[k]->point),
                 font(6.5, true), Qt::AlignLeft, FAIL_INK);
        } else {
            pen(INK, 0.3);
            p_.setBrush(Qt::white);
            p_.drawEllipse(c, 1.0 * unit_, 1.0 * unit_);
        }
    }
    p_.setBrush(Qt::NoBrush);
}

// The legend and what the plot leaves out.
void Pages::plotLegend(const PlotFrame &f, int skipped, int atZero)
{
    const double ly = f.y + f.h + 15;
    pen(INK, 0.3);
    p_.setBrush(Qt::white);
    p_.drawEllipse(pt(f.x + 2, ly + 2.5), 1.0 * unit_, 1.0 * unit_);
    text(f.x + 5, ly, 20, 5, "pass", font(8));
    failMark(pt(f.x + 27, ly + 2.5));
    text(f.x + 30, ly, 40, 5, "fail (its point number)", font(8));
    p_.fillRect(QRectF(pt(f.x + 72, ly + 0.5), pt(f.x + 74.2, ly + 4.5)), BAND);
    pen(INK, 0.25);
    p_.drawLine(pt(f.x + 72, ly + 0.5), pt(f.x + 74.2, ly + 0.5));
    p_.drawLine(pt(f.x + 72, ly + 4.5), pt(f.x + 74.2, ly + 4.5));
    text(f.x + 76, ly, f.w - 76, 5, "\u00b1 tolerance of the point", font(8));
    QStringList notes;
    notes << "Points at the same nominal resistance are spread apart sideways.";
    if (skipped)
        notes << QString("%1 skipped %2 not plotted.").arg(skipped).arg(skipped == 1 ? "point is" : "points are");
    if (atZero)
        notes << QString("%1 %2 at 0 MOhm, off the log axis, only in the table.")
                     .arg(atZero).arg(atZero == 1 ? "point is" : "points are");
    text(f.x, ly + 5, f.w, 5, notes.join(' '), font(7.5), Qt::AlignLeft, GREY);
}

void Pages::signOff(double y)
{
    heading(y, "Review and sign-off");
    y += 8;
    text(LEFT, y, WIDTH, LINE,
         "This document shows the record file named below; the record file is the original record. "
         "The results relate only to the unit tested.",
         font(8), Qt::AlignLeft, GREY);
    y += LINE + 2;
    text(LEFT, y, 30, LINE, "Remarks", font(9, true));
    pen(RULE, 0.25);
    p_.setBrush(Qt::NoBrush);
    p_.drawRect(rect(LEFT, y + LINE, WIDTH, 18));
    y += LINE + 18 + 9;
    for (const char *role : {"Performed by", "Reviewed by"}) {
        text(LEFT, y - LINE, 26, LINE, role, font(9, true));
        hline(LEFT + 27, LEFT + 85, y, INK, 0.25);
        text(LEFT + 90, y - LINE, 20, LINE, "Signature", font(9, true));
        hline(LEFT + 109, LEFT + 143, y, INK, 0.25);
        text(LEFT + 146, y - LINE, 10, LINE, "Date", font(9, true));
        hline(LEFT + 155, RIGHT, y, INK, 0.25);
        y += 12;
    }
}

}  // namespace

ReportOutcome countedOutcome(const Record &record, const RecordSummary &sum)
{
    ReportOutcome o;
    bool ok = false;
    const int planned = qs(record.value("plan_points")).trimmed().toInt(&ok);
    if (ok && planned >= 0)
        o.planned = planned;
    o.recorded = sum.recorded;
    o.passed = sum.passed;
    o.failed = sum.failed;
    o.skipped = sum.skipped;
    if (sum.worst) {
        o.worstError = std::fabs(*sum.worst->error_pct);
        o.worstPoint = sum.worst->point;
    }
    return o;
}

ReportOutcome reportOutcome(const Record &record)
{
    if (report::isFullRecord(record))
        return report::fullReportOutcome(record);
    ReportOutcome o = countedOutcome(record, summarize(record.rows));
    const auto points = [](int n) { return QString("%1 point%2").arg(n).arg(n == 1 ? "" : "s"); };
    if (o.failed) {
        o.result = "FAIL";
        o.reason = points(o.failed) + " out of tolerance.";
    } else if (o.planned < 0) {
        o.result = "INCOMPLETE";
        o.reason = "The record does not say how many points were planned.";
    } else if (o.recorded < o.planned) {
        o.result = "INCOMPLETE";
        o.reason = QString("Only %1 of %2 planned points recorded.").arg(o.recorded).arg(o.planned);
    } else if (o.skipped) {
        o.result = "INCOMPLETE";
        o.reason = points(o.skipped) + " skipped, not measured.";
    } else if (o.recorded > o.planned) {
        o.result = "INCOMPLETE";
        o.reason = QString("%1 rows recorded for %2 planned points.").arg(o.recorded).arg(o.planned);
    } else if (o.recorded == 0) {
        o.result = "INCOMPLETE";
        o.reason = "No points recorded.";
    } else {
        o.result = "PASS";
        o.reason = QString("All %1 planned points recorded and within tolerance.").arg(o.planned);
    }
    return o;
}

int reportPages(const Record &record)
{
    if (report::isFullRecord(record))
        return report::fullReportPages(record);
    const int rows = int(record.rows.size());
    if (rows == 0)
        return 1;
    const int rest = std::max(0, rows - firstPageRows(record));
    return 1 + (rest + REPORT_PAGE_ROWS - 1) / REPORT_PAGE_ROWS + 1;
}

bool writeReport(const Record &record, const ReportSource &source, const QString &pdfPath, QString *error)
{
    if (const QString why = unwritable(pdfPath); !why.isEmpty()) {
        *error = QString("cannot write %1: %2; it is left as it is").arg(pdfPath, why);
        return false;
    }
    QSaveFile file(pdfPath);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QString("cannot write %1: %2").arg(pdfPath, file.errorString());
        return false;
    }
    {
        QPdfWriter writer(&file);
        writer.setPdfVersion(QPagedPaintDevice::PdfVersion_A1b);  // for archives
        writer.setResolution(1200);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF()));
        writer.setTitle("Calibration record " + source.fileName);
        writer.setCreator(source.producer);
        const bool painted = report::isFullRecord(record) ? report::paintFullReport(writer, record, source)
                                                          : Pages(writer, record, source).paint();
        if (!painted) {
            file.cancelWriting();
            *error = QString("cannot paint %1").arg(pdfPath);
            return false;
        }
    }
    if (!file.commit()) {
        *error = QString("cannot write %1: %2").arg(pdfPath, file.errorString());
        return false;
    }
    return true;
}
