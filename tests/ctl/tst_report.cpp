// t483ctl report: the PDF painted in-process (report_pdf.h) and by the verb
// (T483_CTL) from records written here, read back with poppler's pdfinfo
// (pages) and pdftotext (the values as text).
#include <QtTest>

#include "ctl/record.h"
#include "ctl/report_pdf.h"
#include "ctl/uncertainty.h"
#include "ctl_run.h"
#include "slack.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

const char HEADER[] =
    "# t483ctl sweep record\n"
    "# program: t483ctl 1.0\n"
    "# started_utc: 2026-12-08T10:49:18Z\n"
    "# decade_identification: 48305\n"
    "# port: COM1\n"
    "# device: /dev/ttyUSB0\n"
    "# uut: Megger MIT1025 s/n 123\n"
    "# operator: J. Nov\u00e1k\n"
    "# plan: plan.csv\n"
    "# plan_sha256: 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\n"
    "# plan_points: %1\n"
    "# decision_rule: pass when |error| <= tolerance; no guard band\n"
    "%2";

// A record of the rows given (without their line ends).
QByteArray recordText(const QString &planned, const QStringList &rows, const QString &extraHeader = {})
{
    QString text = QString::fromUtf8(HEADER).arg(planned, extraHeader) + RECORD_COLUMNS + "\n";
    for (const QString &row : rows)
        text += row + "\n";
    return text.toUtf8();
}

// Rows 1..n, all passing, each with a reading of its own.
QStringList passingRows(int n)
{
    QStringList rows;
    for (int k = 1; k <= n; k++)
        rows << QString("%1,2026-12-08T11:00:00Z,%2,500,%3.25,0.125,2,pass").arg(k).arg(k * 10).arg(k * 10);
    return rows;
}

const QStringList SMALL = {
    "1,2026-12-08T10:49:31Z,100,1000,100.4,0.400,2,pass",
    "2,2026-12-08T10:49:40Z,1000,2500,,,2,skipped",
    "3,2026-12-08T10:49:52Z,1000,1000,1023,2.300,2,fail",
    "4,2026-12-08T10:50:05Z,10000,5000,9650,-3.500,5,pass",
};

// A record with uncertainties: its header, then each row (without its
// chain) followed by the chain of hashes over what was written.
const char FULL_HEADER[] =
    "# t483ctl sweep record\n"
    "# record_format: 2\n"
    "# program: t483ctl 1.1\n"
    "# started_utc: 2026-12-08T10:49:18Z\n"
    "# report_number: R-2026-0042\n"
    "# lab_name: Kalibra\u010dn\u00ed laborato\u0159 Brno\n"
    "# lab_traceability: Traceable to the SI through the national standards.\n"
    "# customer: Elektro Nov\u00e1k s.r.o.\n"
    "# uut: Megger MIT1025 s/n 123\n"
    "# operator: J. Nov\u00e1k\n"
    "# plan_points: %1\n"
    "# decision_rule: %2\n"
    "# decade_certificate: 1234/2026, CMI, calibrated 2026-01-10, due 2027-01-10\n"
    "# reference_uncertainty: the certified values (normal, U / k); point 2: the nominal values, rectangular\n"
    "point,time_utc,resistance_mohm,voltage_v,reading_mohm,error_pct,tolerance_pct,verdict,reference_mohm,readings,"
    "n,s_mohm,error_mohm,mpe_mohm,u_ref_mohm,u_res_mohm,u_rep_mohm,u_c_mohm,nu_eff,k,expanded_u_mohm,tur,"
    "supersedes,chain\n";

// Lines that are rows (up to their chain) or "#" lines written before one.
QByteArray fullRecordText(int planned, DecisionRule rule, const QStringList &lines)
{
    QByteArray text = QString::fromUtf8(FULL_HEADER)
                          .arg(planned)
                          .arg(QString("%1: %2").arg(decisionRuleName(rule), QString::fromStdString(decisionRuleWords(rule))))
                          .toUtf8();
    QByteArray pending = text, previous;
    for (const QString &line : lines) {
        if (line.startsWith('#')) {
            pending += line.toUtf8() + "\n";
            continue;
        }
        pending += line.toUtf8() + ",";
        const QByteArray chain = QCryptographicHash::hash(previous + pending, QCryptographicHash::Sha256).toHex();
        text += (previous.isEmpty() ? pending.mid(text.size()) : pending) + chain + "\n";
        previous = chain;
        pending.clear();
    }
    return text;
}

// The worked example of the calibration guide as a row, its verdict given.
QString exampleRow(int point, const QString &verdict, const QString &supersedes = {})
{
    return QString("%1,2026-12-08T10:50:00Z,1000,1000,1019,1.819,3,%2,1000.8,1012;1018;1027,3,7.54983,18.2,35.57,"
                   "1,0.288675,4.3589,4.48144,2,4.527,20.2875,1.75 low,%3")
        .arg(point).arg(verdict, supersedes);
}

// Point 4 skipped: its reference and u_ref alone.
const char SKIPPED_ROW[] = "4,2026-12-08T11:00:00Z,1000,2500,,,2,skipped,1000,,0,,,,0.25,,,,,,,,";

// A point read once, U 0.5 at k 2: its error, MPE and verdict given.
QString singleRow(int point, double nominal, double reading, double mpe, const QString &verdict,
                  const QString &supersedes = {})
{
    const double e = reading - nominal;
    return QString("%1,2026-12-08T11:00:00Z,%2,1000,%3,%4,2,%5,%2,%3,1,0,%6,%7,0.25,0,0,0.25,inf,2.000,0.5,%8,%9")
        .arg(point).arg(nominal).arg(reading).arg(QString::fromStdString(errorText(e / nominal * 100)), verdict)
        .arg(e).arg(mpe).arg(QString::number(mpe / 0.5, 'f', 2)).arg(supersedes);
}

QString tool(const QString &name, const QStringList &args)
{
    QProcess p;
    p.start(name, args);
    if (!p.waitForStarted(slack(10000)) || !p.waitForFinished(slack(60000)) || p.exitCode() != 0)
        qWarning() << name << "failed:" << p.errorString() << p.readAllStandardError();
    return QString::fromUtf8(p.readAllStandardOutput());
}

int pdfPages(const QString &pdf)
{
    const QString info = tool("pdfinfo", {pdf});
    const QRegularExpressionMatch m = QRegularExpression("^Pages:\\s+(\\d+)", QRegularExpression::MultilineOption)
                                          .match(info);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

// The text of the PDF, or of one page of it.
QString pdfText(const QString &pdf, int page = 0)
{
    QStringList args{"-layout"};
    if (page)
        args << "-f" << QString::number(page) << "-l" << QString::number(page);
    return tool("pdftotext", args << pdf << "-");
}

}  // namespace

class ReportTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QString write(const QString &name, const QByteArray &content)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    Record load(const QByteArray &text)
    {
        Record record;
        std::string error;
        if (!readRecord(std::string_view(text.constData(), size_t(text.size())), "record.csv", &record, &error))
            qWarning("%s", error.c_str());
        return record;
    }

    // The record painted in-process to a PDF of its own.
    QString render(const Record &record, const QString &name)
    {
        const QString pdf = dir.filePath(name);
        QString error;
        if (!writeReport(record, {"record.csv", QString(64, 'e'), "t483ctl test"}, pdf, &error))
            qWarning() << error;
        return pdf;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        // The report tests need poppler's tools (scripts/dev installs them).
        QVERIFY2(!QStandardPaths::findExecutable("pdfinfo").isEmpty(), "pdfinfo (poppler-utils) is missing");
        QVERIFY2(!QStandardPaths::findExecutable("pdftotext").isEmpty(), "pdftotext (poppler-utils) is missing");
        QVERIFY(!qEnvironmentVariableIsEmpty("T483_CTL"));
    }

    // PASS only for every planned point recorded and passed.
    void outcome_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("result");
        QTest::addColumn<int>("passed");
        QTest::addColumn<int>("failed");
        QTest::addColumn<int>("skipped");
        QTest::addColumn<double>("worst");
        QTest::addColumn<int>("worstPoint");

        QTest::newRow("all passed") << recordText("3", passingRows(3)) << "PASS" << 3 << 0 << 0 << 0.125 << 1;
        QTest::newRow("a fail, a skip, worst negative")
            << recordText("4", SMALL) << "FAIL" << 2 << 1 << 1 << 3.5 << 4;
        QTest::newRow("fewer rows than planned") << recordText("4", passingRows(3)) << "INCOMPLETE" << 3 << 0 << 0
                                                 << 0.125 << 1;
        QTest::newRow("a fail in a short record") << recordText("9", SMALL) << "FAIL" << 2 << 1 << 1 << 3.5 << 4;
        QTest::newRow("a skip, the rest passed")
            << recordText("2", {SMALL[0], SMALL[1]}) << "INCOMPLETE" << 1 << 0 << 1 << 0.4 << 1;
        QTest::newRow("planned points not a number")
            << recordText("many", passingRows(2)) << "INCOMPLETE" << 2 << 0 << 0 << 0.125 << 1;
        QTest::newRow("no rows") << recordText("5", {}) << "INCOMPLETE" << 0 << 0 << 0 << -1.0 << 0;
        QTest::newRow("nothing planned, nothing recorded")
            << recordText("0", {}) << "INCOMPLETE" << 0 << 0 << 0 << -1.0 << 0;
    }

    void outcome()
    {
        QFETCH(QByteArray, record);
        const ReportOutcome o = reportOutcome(load(record));
        QTEST(o.result, "result");
        QTEST(o.passed, "passed");
        QTEST(o.failed, "failed");
        QTEST(o.skipped, "skipped");
        QTEST(o.worstError, "worst");
        QTEST(o.worstPoint, "worstPoint");
        QVERIFY(!o.reason.isEmpty());
    }

    // The pages the PDF has: page 1 with the first rows, full pages of rows
    // after it, then the plot; a record with no rows is one page.
    void pages_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("extraKeys");
        QTest::addColumn<int>("pages");

        const int first = REPORT_FIRST_PAGE_ROWS, next = REPORT_PAGE_ROWS;
        QTest::newRow("no rows") << 0 << 0 << 1;
        QTest::newRow("one row") << 1 << 0 << 2;
        QTest::newRow("page 1 full") << first << 0 << 2;
        QTest::newRow("one row over page 1") << first + 1 << 0 << 3;
        QTest::newRow("page 2 full") << first + next << 0 << 3;
        QTest::newRow("one row over page 2") << first + next + 1 << 0 << 4;
        QTest::newRow("100 rows") << 100 << 0 << 2 + (100 - first + next - 1) / next;
        QTest::newRow("header keys of another program push rows on") << first << 2 << 3;
        QTest::newRow("header keys of another program, room left") << first - 2 << 2 << 2;
    }

    void pages()
    {
        QFETCH(int, rows);
        QFETCH(int, extraKeys);
        QFETCH(int, pages);
        QString extra;
        for (int k = 0; k < extraKeys; k++)
            extra += QString("# station_%1: bench %1\n").arg(k);
        const Record record = load(recordText(QString::number(rows), passingRows(rows), extra));
        QCOMPARE(int(record.rows.size()), rows);
        QCOMPARE(reportPages(record), pages);
        const QString pdf = render(record, QString("pages-%1-%2.pdf").arg(rows).arg(extraKeys));
        QCOMPARE(pdfPages(pdf), pages);
        const QString last = pdfText(pdf, pages);
        QVERIFY(last.contains(QString("page %1 of %1").arg(pages)));
        QVERIFY(last.contains("Performed by") && last.contains("Reviewed by"));
        if (rows == 0)
            QVERIFY(last.contains("No points recorded."));
        else
            QVERIFY(last.contains("Error against nominal resistance"));
        // Every row in the table, once, and each table page with the column heads.
        const QString text = pdfText(pdf);
        for (int k = 1; k <= rows; k++)
            QCOMPARE(text.count(QRegularExpression(QString("\\b%1\\.25\\b").arg(k * 10))), 1);
        for (int page = 1; page < pages; page++)
            QVERIFY2(pdfText(pdf, page).contains("Reading"), qPrintable(QString("page %1").arg(page)));
        for (int k = 0; k < extraKeys; k++)
            QVERIFY(text.contains(QString("bench %1").arg(k)));
    }

    // The header data, the summary and the table's values as text.
    void content()
    {
        const Record record = load(recordText("4", SMALL).replace("s/n 123", "s/n 123 (Nov\u00e1k, fine)"));
        const QString pdf = render(record, "content.pdf");
        QCOMPARE(pdfPages(pdf), 2);
        const QString text = pdfText(pdf);
        for (const char *wanted : {
                 "Calibration record", "Megger MIT1025 s/n 123 (Nov\u00e1k, fine)", "J. Nov\u00e1k", "48305", "COM1",
                 "/dev/ttyUSB0", "2026-12-08T10:49:18Z", "plan.csv",
                 "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
                 "pass when |error| <= tolerance; no guard band", "record.csv", "page 1 of 2", "page 2 of 2",
                 "4 planned, 4 recorded", "2 pass, 1 fail, 1 skipped", "3.500 % at point 4", "t483ctl test",
             })
            QVERIFY2(text.contains(QString::fromUtf8(wanted)), wanted);
        QCOMPARE(text.count(QString(64, 'e')), 3);  // in the header data and both footers
        QVERIFY(QRegularExpression("Overall result\\s+FAIL").match(text).hasMatch());
        // The table's rows: point, time, nominal, voltage, reading, error, tolerance, verdict.
        for (const char *row : {
                 "1 +2026-12-08T10:49:31Z +100 +1000 +100.4 +\\+0.400 +2 +PASS",
                 "2 +2026-12-08T10:49:40Z +1000 +2500 +\u2014 +\u2014 +2 +skipped",
                 "3 +2026-12-08T10:49:52Z +1000 +1000 +1023 +\\+2.300 +2 +FAIL",
                 "4 +2026-12-08T10:50:05Z +10000 +5000 +9650 +-3.500 +5 +PASS",
             })
            QVERIFY2(QRegularExpression(QString::fromUtf8(row)).match(text).hasMatch(), row);
        // The plot says the skipped point is left out.
        QVERIFY(pdfText(pdf, 2).contains("1 skipped point is not plotted."));
    }

    // A record with uncertainties: the latest row of each point decides;
    // a conditional pass passes under the non-binary rule alone; the worst
    // point is the one with the largest |E| / MPE.
    void fullOutcome_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("result");
        QTest::addColumn<int>("passed");
        QTest::addColumn<int>("failed");
        QTest::addColumn<int>("worstPoint");
        const QString redo = "# redo of point 1: typed 16.1G for 1.01G (operator: J. Nov\u00e1k)";
        QTest::newRow("conditional pass, non-binary")
            << fullRecordText(2, DecisionRule::NonBinary, {exampleRow(1, "conditional pass"), singleRow(2, 100, 100.4, 2, "pass")})
            << "PASS" << 2 << 0 << 1;
        QTest::newRow("conditional fail") << fullRecordText(1, DecisionRule::NonBinary, {singleRow(1, 100, 102.3, 2, "conditional fail")})
                                          << "FAIL" << 0 << 1 << 1;
        QTest::newRow("conditional pass, a skip")
            << fullRecordText(2, DecisionRule::NonBinary, {exampleRow(1, "conditional pass"), SKIPPED_ROW})
            << "INCOMPLETE" << 1 << 0 << 1;
        QTest::newRow("guarded fail") << fullRecordText(1, DecisionRule::Guarded, {exampleRow(1, "fail")}) << "FAIL" << 0 << 1 << 1;
        QTest::newRow("a redo replaces a fail")
            << fullRecordText(1, DecisionRule::Simple, {singleRow(1, 1000, 16100, 20, "fail"), redo,
                                                        singleRow(1, 1000, 1010, 20, "pass", "1")})
            << "PASS" << 1 << 0 << 1;
        QTest::newRow("worst by |E| / MPE, not |E|")
            << fullRecordText(2, DecisionRule::Simple, {singleRow(1, 1000, 1020, 50, "pass"), singleRow(2, 100, 101.5, 2, "pass")})
            << "PASS" << 2 << 0 << 2;
    }

    void fullOutcome()
    {
        QFETCH(QByteArray, record);
        const ReportOutcome o = reportOutcome(load(record));
        QTEST(o.result, "result");
        QTEST(o.passed, "passed");
        QTEST(o.failed, "failed");
        QTEST(o.worstPoint, "worstPoint");
    }

    // Every row's U, k and TUR, the rule's words and risk, the annexes, the
    // traceability and the sign-off, as text; the pages as counted.
    void fullContent()
    {
        const QByteArray text = fullRecordText(
            4, DecisionRule::NonBinary,
            {exampleRow(1, "conditional pass"), singleRow(2, 100, 100.4, 2, "pass"), singleRow(3, 1000, 16100, 20, "fail"),
             SKIPPED_ROW, "# redo of point 3: typed 16.1G for 1.01G (operator: J. Nov\u00e1k)",
             singleRow(3, 1000, 1010, 20, "pass", "3")});
        const Record record = load(text);
        const QString pdf = render(record, "full.pdf");
        const int pages = reportPages(record);
        QCOMPARE(pages, 5);  // page 1, the table, the budgets, the superseded row, the plot
        QCOMPARE(pdfPages(pdf), pages);
        const QString shown = pdfText(pdf).simplified();
        for (const QString &wanted : QStringList{
                 "20.2875 (4.527) 1.75 low CONDITIONAL PASS", "0.5 (2.000) 4.00 PASS", "0.5 (2.000) 40.00 PASS",
                 QString::fromStdString(decisionRuleRisk(DecisionRule::NonBinary)).simplified(),
                 "1234/2026, CMI, calibrated 2026-01-10, due 2027-01-10",
                 "Traceable to the SI through the national standards.", "R-2026-0042", QString::fromUtf8("Elektro Nov\u00e1k s.r.o."),
                 "Annex A", QString::fromUtf8("4.48144 \u03bd_eff = 2"), "Annex B",
                 // Point 2's reference is its nominal value, the others' certified.
                 QString::fromUtf8("Point 2: 100 MOhm at 1000 V; reference 100 MOhm; readings (MOhm): 100.4 "
                                   "Reference (nominal value) B rectangular \u221a3 0.25"),
                 QString::fromUtf8("Point 3: 1000 MOhm at 1000 V; reference 1000 MOhm; readings (MOhm): 1010 "
                                   "Reference (decade's certificate) B normal k (certificate) 0.25"),
                 QString::fromUtf8("typed 16.1G for 1.01G (operator: J. Nov\u00e1k)"),
                 "Checked / approved by", "Date of issue", "1 point skipped, not measured.",
                 "4 1000 2500 1000 \u2014 \u2014 \u2014 \u2014 \u2014 \u2014 \u2014 \u2014 skipped",
                 QString("page %1 of %1").arg(pages),
             })
            QVERIFY2(shown.contains(wanted), qPrintable(wanted));
        // PDF/A: every font embedded, the part declared.
        const QStringList fonts = tool("pdffonts", {pdf}).split('\n', Qt::SkipEmptyParts).mid(2);
        QVERIFY(!fonts.isEmpty());
        for (const QString &font : fonts)
            QVERIFY2(font.contains(QRegularExpression("\\s+yes\\s+(yes|no)\\s+(yes|no)\\s+\\d+\\s+\\d+$")), qPrintable(font));
        QVERIFY(tool("pdfinfo", {"-meta", pdf}).contains("pdfaid:part"));
        // The rule's words, wrapped where the page wraps them.
        const QString words = QString::fromStdString(decisionRuleWords(DecisionRule::NonBinary));
        QVERIFY2(shown.contains(words), qPrintable(words));
    }

    // One outlier no longer flattens the plot: the axis follows the
    // tolerances and the outlier is drawn at its edge with its value.
    void plotOutlier()
    {
        const Record record = load(fullRecordText(
            2, DecisionRule::Simple, {singleRow(1, 1000, 16100, 20, "fail"), singleRow(2, 100, 103, 2, "fail")}));
        const QString pdf = render(record, "outlier.pdf");
        const QString plot = pdfText(pdf, reportPages(record));
        QVERIFY2(plot.contains("1: +1510.000 %"), qPrintable(plot));
        QVERIFY2(!plot.contains(QRegularExpression("\\b1500\\b")), qPrintable(plot));
        QVERIFY(plot.contains(QRegularExpression("^\\s*-3\\s", QRegularExpression::MultilineOption)));
    }

    // A record edited by hand is reported ALTERED, with no overall result.
    void altered_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::newRow("as recorded") << QByteArray() << QByteArray();
        QTest::newRow("a reading edited") << QByteArray(",1019,1.819,") << QByteArray(",1009,0.819,");
        QTest::newRow("planned points edited") << QByteArray("plan_points: 2") << QByteArray("plan_points: 1");
    }

    void altered()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QByteArray text = fullRecordText(2, DecisionRule::NonBinary, {exampleRow(1, "conditional pass"), singleRow(2, 100, 100.4, 2, "pass")});
        if (!from.isEmpty()) {
            QVERIFY(text.contains(from));
            text.replace(from, to);
        }
        const QString pdf = dir.filePath("altered.pdf");
        const CtlRun r = runCtl({"report", write("altered.csv", text), "--pdf", pdf});
        QCOMPARE(r.status, 0);
        const QString shown = pdfText(pdf);
        QCOMPARE(shown.contains("ALTERED after recording"), !from.isEmpty());
        QCOMPARE(QRegularExpression("Overall result\\s+PASS").match(shown).hasMatch(), from.isEmpty());
    }

    // A 100-point record with 3 readings a point renders well within a second.
    void hundredPoints()
    {
        QStringList rows;
        for (int k = 1; k <= 100; k++)
            rows << exampleRow(k, "conditional pass");
        const Record record = load(fullRecordText(100, DecisionRule::NonBinary, rows));
        QCOMPARE(int(record.rows.size()), 100);
        std::vector<qint64> took;
        for (int run = 0; run < 3; run++) {
            QElapsedTimer t;
            t.start();
            render(record, "hundred.pdf");
            took.push_back(t.elapsed());
        }
        std::sort(took.begin(), took.end());
        qInfo("100 points, 3 readings each: %lld ms (median of 3)", took[1]);
        QVERIFY(took[1] < slack(1000));
        QCOMPARE(pdfPages(dir.filePath("hundred.pdf")), reportPages(record));
    }

    // The verb: the record read, hashed and painted to --pdf, replacing a file there.
    void verb()
    {
        const QByteArray text = recordText("3", passingRows(3));
        const QString record = write("verb.csv", text);
        const QString pdf = write("verb.pdf", "an older report");
        const CtlRun plain = runCtl({"report", record, "--pdf", pdf});
        QCOMPARE(plain.status, 0);
        QCOMPARE(plain.out, (pdf + "\n").toUtf8());
        QCOMPARE(pdfPages(pdf), 2);
        const QString shown = pdfText(pdf);
        QVERIFY(shown.contains("verb.csv"));
        QVERIFY(shown.contains(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex()));
        QVERIFY(QRegularExpression("Overall result\\s+PASS").match(shown).hasMatch());

        const CtlRun json = runCtl({"--json", "report", "--pdf", pdf, record});
        QCOMPARE(json.status, 0);
        const QJsonObject o = QJsonDocument::fromJson(json.out).object();
        QCOMPARE(o.value("pdf").toString(), pdf);
        QCOMPARE(o.value("pages").toInt(), 2);

        // A record an editor saved with a byte-order mark.
        const CtlRun marked = runCtl({"report", write("bom.csv", "\xEF\xBB\xBF" + text), "--pdf", pdf});
        QVERIFY2(marked.status == 0, marked.err.constData());
    }

    // A --pdf that is no regular file this user may write is refused, named,
    // and left as it was: never replaced by a regular file (as root, --pdf
    // /dev/null once replaced the system's /dev/null).
    void pdfLeftAlone_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("a pipe") << "fifo" << "a pipe, not a file";
        QTest::newRow("a device") << "device" << "a device, not a file";
        QTest::newRow("a folder") << "folder" << "a folder, not a file";
        QTest::newRow("a read-only file") << "read-only" << "a read-only file";
    }
    void pdfLeftAlone()
    {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        const QString record = write("alone.csv", recordText("1", passingRows(1)));
        const QString pdf = dir.filePath("alone-" + kind);
        const QByteArray name = QFile::encodeName(pdf);
        if (kind == "fifo")
            QCOMPARE(mkfifo(name.constData(), 0600), 0);
        else if (kind == "device" && mknod(name.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("making a device node (/dev/null's) needs root");
        else if (kind == "folder")
            QVERIFY(QDir(dir.path()).mkdir("alone-folder"));
        else if (kind == "read-only")
            QVERIFY(write("alone-read-only", "kept") == pdf && chmod(name.constData(), 0444) == 0);
        struct stat before {};
        QCOMPARE(::stat(name.constData(), &before), 0);

        const CtlRun r = runCtl({"report", record, "--pdf", pdf});
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains(name) && r.err.contains(message.toUtf8()), r.err.constData());
        struct stat after {};
        QCOMPARE(::stat(name.constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(QDir(dir.path()).entryList({"alone-" + kind + "*"}, QDir::AllEntries | QDir::System | QDir::Hidden).size(), 1);
    }

    // What the verb refuses, with a message and status 2, leaving a file
    // at --pdf as it was.
    void refused_data()
    {
        QTest::addColumn<QStringList>("args");  // RECORD and PDF stand for the paths
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("message");

        const QByteArray good = recordText("1", passingRows(1));
        QTest::newRow("no --pdf") << QStringList{"RECORD"} << good << "--pdf";
        QTest::newRow("no record") << QStringList{"--pdf", "PDF"} << good << "RECORD";
        QTest::newRow("two records") << QStringList{"RECORD", "RECORD", "--pdf", "PDF"} << good << "RECORD";
        QTest::newRow("missing record") << QStringList{"MISSING", "--pdf", "PDF"} << good << "missing.csv";
        QTest::newRow("not a record") << QStringList{"RECORD", "--pdf", "PDF"} << QByteArray("a,b\n1,2\n")
                                      << "refused.csv";
        QTest::newRow("a row of text") << QStringList{"RECORD", "--pdf", "PDF"}
                                       << recordText("1", {"1,2026-12-08T11:00:00Z,ten,500,10,0,2,pass"})
                                       << "refused.csv";
        QTest::newRow("pdf over the record") << QStringList{"RECORD", "--pdf", "RECORD"} << good << "the record itself";
        QTest::newRow("pdf in no folder") << QStringList{"RECORD", "--pdf", "NOWHERE"} << good << "no-such-folder";
        // Only a regular file is read, and only up to 64 MiB.
        QTest::newRow("record a device") << QStringList{"/dev/zero", "--pdf", "PDF"} << good << "/dev/zero: a device";
        QTest::newRow("record over 64 MiB") << QStringList{"HUGE", "--pdf", "PDF"} << good << "larger than 64 MiB";
    }

    void refused()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, record);
        QFETCH(QString, message);
        const QString recordPath = write("refused.csv", record);
        const QString pdf = write("refused.pdf", "an older report");
        for (QString &a : args)
            a = a == "RECORD" ? recordPath : a == "PDF" ? pdf : a == "MISSING" ? dir.filePath("missing.csv")
              : a == "NOWHERE" ? dir.filePath("no-such-folder/out.pdf") : a == "HUGE" ? dir.filePath("refused-huge") : a;
        if (args.contains(dir.filePath("refused-huge")))
            QVERIFY(QFile(write("refused-huge", recordText("1", passingRows(1)))).resize((64 << 20) + 1));
        const CtlRun r = runCtl(QStringList{"report"} + args);
        QCOMPARE(r.status, 2);
        QCOMPARE(r.out, QByteArray());
        QVERIFY2(r.err.contains(message.toUtf8()), r.err.constData());
        QFile left(pdf), original(recordPath);
        QVERIFY(left.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly));
        QCOMPARE(left.readAll(), QByteArray("an older report"));
        QCOMPARE(original.readAll(), record);
        QCOMPARE(QDir(dir.path()).entryList({"refused.pdf*"}, QDir::Files | QDir::Hidden),
                 QStringList{"refused.pdf"});
    }
};

QTEST_MAIN(ReportTest)
#include "tst_report.moc"
