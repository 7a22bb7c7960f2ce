// A sweep's parts without the decade: plans good and bad, readings as
// technicians type them, verdicts at the tolerance's edge, and records
// written, cut short by a crash, read back and continued.
#include "ctl/csv.h"
#include "ctl/plan.h"
#include "ctl/record_file.h"
#include "record_rows.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class PlanTest : public QObject {
    Q_OBJECT

private slots:
    // The one reader under plans and records: its lines (CR-LF, a BOM, no
    // final line end) and its fields in either quoting, each line's fields
    // joined with '|'.
    void csv_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("plan");  // the plan's quoting and its BOM, else the record's
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("CR-LF, no final LF") << QByteArray("a,b\r\n\r\nc") << false << QStringList{"a|b", "", "c"};
        QTest::newRow("plan: BOM skipped") << QByteArray("\xEF\xBB\xBF" "a,b\n") << true << QStringList{"a|b"};
        QTest::newRow("record: BOM kept") << QByteArray("\xEF\xBB\xBF#\n") << false << QStringList{"\xEF\xBB\xBF#"};
        QTest::newRow("quoted comma, \"\"") << QByteArray("\"a,b\", \"say \"\"hi\"\"\",\n") << false
                                            << QStringList{"a,b| say \"hi\"|"};
        QTest::newRow("plan: quotes and spaces go") << QByteArray(" \" 100 \" ,\t2 ,\"\"\n") << true << QStringList{"100|2|"};
        // A plan's columns are counted by its commas, quoted or not.
        QTest::newRow("plan: every comma splits") << QByteArray("\"1,5\",\"a\"\"b\"\n") << true << QStringList{"\"1|5\"|a\"\"b"};
    }
    void csv()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, plan);
        QFETCH(QStringList, lines);
        CsvLines reader(std::string_view(bytes.constData(), size_t(bytes.size())), plan ? CsvLines::SkipBom : CsvLines::KeepBom);
        QStringList got;
        std::string_view line;
        while (reader.next(&line)) {
            QStringList fields;
            for (const std::string &f : csvFields(line, plan ? CsvQuotes::AroundField : CsvQuotes::Escaped))
                fields << QString::fromStdString(f);
            got << fields.join('|');
            QCOMPARE(reader.lineNo(), int(got.size()));
        }
        QCOMPARE(got, lines);
    }

    void goodPlan()
    {
        // Any column order, comments, blank lines, CR-LF, a BOM, spaces, quotes.
        const std::string text = "\xEF\xBB\xBF# lab plan\r\n\r\n"
                                 "voltage_v, resistance_mohm,dwell_s,\"tolerance_pct\"\r\n"
                                 "1000,100,0,2\r\n"
                                 "  # a comment\r\n"
                                 "5000, 16221 ,2.5,0.5\n";
        std::vector<PlanPoint> points;
        std::string error;
        QVERIFY2(parsePlan(text, &points, &error), error.c_str());
        QCOMPARE(points.size(), size_t(2));
        QCOMPARE(points[0].line, 4);
        QCOMPARE(points[0].resistance_mohm, 100);
        QCOMPARE(points[0].voltage_v, 1000);
        QCOMPARE(points[0].tolerance_pct, 2.0);
        QCOMPARE(points[1].line, 6);
        QCOMPARE(points[1].resistance_mohm, 16221);
        QCOMPARE(points[1].voltage_v, 5000);
        QCOMPARE(points[1].dwell_s, 2.5);
        QCOMPARE(points[1].tolerance_pct, 0.5);
        // Without the optional columns: one reading, no digits, no resolution.
        QCOMPARE(points[1].readings, 1);
        QCOMPARE(points[1].resolution_mohm, std::optional<double>());
        QVERIFY(!points[1].basis_reading);

        const std::string withDigits = "resistance_mohm,voltage_v,tolerance_pct,dwell_s,Tolerance_Digits,resolution_mohm,"
                                       "readings,tolerance_basis\n100,1000,5,0,3,0.1,20,Reading\n1000,1000,2,0,0,,1,reference\n";
        QVERIFY2(parsePlan(withDigits, &points, &error), error.c_str());
        QCOMPARE(points[0].tolerance_digits, 3.0);
        QCOMPARE(points[0].resolution_mohm, std::optional(0.1));
        QCOMPARE(points[0].readings, 20);
        QVERIFY(points[0].basis_reading);
        QCOMPARE(points[1].resolution_mohm, std::optional<double>());
        QVERIFY(!points[1].basis_reading);
    }

    void badPlan_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        const QString h = "resistance_mohm,voltage_v,tolerance_pct,dwell_s\n";
        QTest::newRow("unknown column") << "resistance_mohm,voltage,tolerance_pct,dwell_s\n" << "line 1, column 2: unknown column 'voltage'";
        QTest::newRow("missing column") << "resistance_mohm,voltage_v,tolerance_pct\n100,1000,2\n" << "line 1, column dwell_s: missing";
        QTest::newRow("twice") << "resistance_mohm,voltage_v,tolerance_pct,dwell_s,voltage_v\n" << "line 1, column 5: voltage_v named twice";
        QTest::newRow("semicolons") << "resistance_mohm;voltage_v;tolerance_pct;dwell_s\n" << "line 1, column 1: the columns must be separated by commas";
        QTest::newRow("too big") << "#\n" + h + "100,1000,2,0\n16222,1000,2,0\n" << "line 4, column resistance_mohm: '16222'";
        QTest::newRow("zero ohms") << h + "0,1000,2,0\n" << "line 2, column resistance_mohm: '0'";
        QTest::newRow("fraction") << h + "100.5,1000,2,0\n" << "line 2, column resistance_mohm: '100.5'";
        QTest::newRow("negative R") << h + "-5,1000,2,0\n" << "line 2, column resistance_mohm: '-5'";
        QTest::newRow("voltage") << h + "100,1500,2,0\n" << "line 2, column voltage_v: '1500'";
        QTest::newRow("no voltage") << h + "100,,2,0\n" << "line 2, column voltage_v: ''";
        QTest::newRow("negative tolerance") << h + "100,1000,-1,0\n" << "line 2, column tolerance_pct: '-1'";
        QTest::newRow("negative dwell") << h + "\n100,1000,1,-0.5\n" << "line 3, column dwell_s: '-0.5'";
        QTest::newRow("dwell too long") << h + "100,1000,1,3601\n" << "line 2, column dwell_s: '3601'";
        QTest::newRow("text") << h + "100,1000,2%,0\n" << "line 2, column tolerance_pct: '2%'";
        QTest::newRow("short row") << h + "100,1000,2\n" << "line 2, column 4: 3 fields";
        QTest::newRow("long row") << h + "100,1000,2,0,9\n" << "line 2, column 5: 5 fields";
        QTest::newRow("no points") << "# nothing\n" + h << "no points";
        const QString x = "resistance_mohm,voltage_v,tolerance_pct,dwell_s,readings,tolerance_digits,resolution_mohm,tolerance_basis\n";
        QTest::newRow("readings 0") << x + "100,1000,2,0,0,0,,reference\n" << "line 2, column readings: '0'";
        QTest::newRow("readings 21") << x + "100,1000,2,0,21,0,,reference\n" << "line 2, column readings: '21'";
        QTest::newRow("readings 2.5") << x + "100,1000,2,0,2.5,0,,reference\n" << "line 2, column readings: '2.5'";
        QTest::newRow("digits, no resolution") << x + "100,1000,2,0,1,3,,reference\n" << "line 2, column tolerance_digits: digits need";
        QTest::newRow("resolution 0") << x + "100,1000,2,0,1,0,0,reference\n" << "line 2, column resolution_mohm: '0'";
        QTest::newRow("basis") << x + "100,1000,2,0,1,0,,nominal\n" << "line 2, column tolerance_basis: 'nominal'";
        QTest::newRow("empty") << QString() << "no header line";
    }
    void badPlan()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        std::vector<PlanPoint> points;
        std::string why;
        QVERIFY(!parsePlan(text.toStdString(), &points, &why));
        QVERIFY2(QString::fromStdString(why).startsWith(error), why.c_str());
        QVERIFY(points.empty());
    }

    void readings_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind");
        QTest::addColumn<double>("mohm");
        const int V = ReadingInput::Value, B = ReadingInput::Bad;
        QTest::newRow("bare MOhm") << "4072" << V << 4072.0;
        QTest::newRow("decimals") << " 100.4 " << V << 100.4;
        QTest::newRow("G") << "4.07G" << V << 4070.0;
        QTest::newRow("g ohm") << "4.07 gohm" << V << 4070.0;
        QTest::newRow("M") << "4070M" << V << 4070.0;
        QTest::newRow("MOhm") << "4070 MOhm" << V << 4070.0;
        QTest::newRow("MΩ") << "4070 MΩ" << V << 4070.0;
        QTest::newRow("k") << "4070000k" << V << 4070.0;
        QTest::newRow("T") << "1.5T" << V << 1.5e6;
        QTest::newRow("exponent ohms") << "4.07e9" << V << 4070.0;
        QTest::newRow("exponent E+") << "4.07E+9" << V << 4070.0;
        QTest::newRow("exponent with prefix") << "4.07e3M" << V << 4070.0;
        QTest::newRow("ohm") << "4070000000 ohm" << V << 4070.0;
        QTest::newRow("Ω") << "4.07e9Ω" << V << 4070.0;
        QTest::newRow("zero") << "0" << V << 0.0;
        QTest::newRow("milli") << "4070m" << B << 0.0;
        QTest::newRow("comma") << "4,07G" << B << 0.0;
        QTest::newRow("negative") << "-4070" << B << 0.0;
        QTest::newRow("two points") << "4.0.7" << B << 0.0;
        QTest::newRow("text") << "OL" << B << 0.0;
        QTest::newRow("over range") << ">10G" << B << 0.0;
        QTest::newRow("empty") << "" << B << 0.0;
        QTest::newRow("huge") << "1e999" << B << 0.0;
        QTest::newRow("skip") << "s" << int(ReadingInput::Skip) << 0.0;
        QTest::newRow("SKIP") << "SKIP" << int(ReadingInput::Skip) << 0.0;
        QTest::newRow("q") << "q" << int(ReadingInput::Stop) << 0.0;
        QTest::newRow("stop") << " stop" << int(ReadingInput::Stop) << 0.0;
    }
    void readings()
    {
        QFETCH(QString, text);
        QFETCH(int, kind);
        QFETCH(double, mohm);
        const ReadingInput in = parseReading(text.toStdString());
        QCOMPARE(int(in.kind), kind);
        if (kind == ReadingInput::Value)
            QCOMPARE(recordNumber(in.mohm), recordNumber(mohm));
        else if (kind == ReadingInput::Bad)
            QVERIFY(!in.why.empty());
    }

    // The verdict is the written error's: what a reader of the record
    // decides from its columns is what was decided.
    void verdicts_data()
    {
        QTest::addColumn<double>("reading");
        QTest::addColumn<int>("nominal");
        QTest::addColumn<double>("tolerance");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("pass");
        QTest::newRow("in") << 100.4 << 100 << 2.0 << "0.400" << true;
        QTest::newRow("at the edge, above") << 102.0 << 100 << 2.0 << "2.000" << true;
        QTest::newRow("at the edge, below") << 98.0 << 100 << 2.0 << "-2.000" << true;
        QTest::newRow("just out") << 1020.01 << 1000 << 2.0 << "2.001" << false;
        QTest::newRow("rounds to the edge") << 1020.004 << 1000 << 2.0 << "2.000" << true;
        QTest::newRow("0.1 edge") << 4076.072 << 4072 << 0.1 << "0.100" << true;
        QTest::newRow("zero tolerance") << 4072.0 << 4072 << 0.0 << "0.000" << true;
        QTest::newRow("tiny negative") << 4071.99999 << 4072 << 0.0 << "0.000" << true;
        QTest::newRow("reading 0") << 0.0 << 100 << 5.0 << "-100.000" << false;
    }
    void verdicts()
    {
        QFETCH(double, reading);
        QFETCH(int, nominal);
        QFETCH(double, tolerance);
        QFETCH(QString, error);
        QFETCH(bool, pass);
        const Judgement j = judge(reading, nominal, tolerance);
        QCOMPARE(QString::fromStdString(j.error_text), error);
        QCOMPARE(j.verdict, pass ? Verdict::Pass : Verdict::Fail);
        RecordRow row;
        row.error_pct = j.error_pct;
        QVERIFY(recordLine(row).find("," + error.toStdString() + ",") != std::string::npos);
    }

    // Written, cut mid-row by a crash, read back, continued.
    void recordFile()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath("rec.csv").toStdString();
        RecordFile file;
        std::string error;
        QVERIFY2(file.create(path, {{"uut", "Megger\nline"}, {"plan_sha256", "ab"}}, &error), error.c_str());
        RecordRow row = plainRow(1, "2026-12-08T10:49:31Z", 100, 1000, 100.4, 0.4, 2, Verdict::Pass);
        QVERIFY(file.append(row, &error));
        RecordRow skipped = plainRow(2, "2026-12-08T10:49:40Z", 1000, 2500, {}, {}, 2.5, Verdict::Skipped);
        QVERIFY(file.append(skipped, &error));
        // A second run cannot add to a record being written.
        RecordFile second;
        Record read;
        QVERIFY(!second.reopen(path, &read, &error));
        QVERIFY2(error.find("another run") != std::string::npos, error.c_str());
        file.close();

        QFile f(QString::fromStdString(path));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray whole = f.readAll();
        f.close();
        QCOMPARE(whole, QByteArray("# t483ctl sweep record\n# uut: Megger line\n# plan_sha256: ab\n") + RECORD_COLUMNS +
                            "\n1,2026-12-08T10:49:31Z,100,1000,100.4,0.400,2,pass\n"
                            "2,2026-12-08T10:49:40Z,1000,2500,,,2.5,skipped\n");

        // Another create of the same file is refused and changes nothing.
        bool exists = false;
        RecordFile again;
        QVERIFY(!again.create(path, {}, &error, &exists));
        QVERIFY(exists);

        // A crash in the middle of row 3.
        QVERIFY(f.open(QIODevice::Append));
        f.write("3,2026-12-08T10:5");
        f.close();
        Record rec;
        QVERIFY2(readRecordFile(path, &rec, &error), error.c_str());
        QCOMPARE(rec.value("uut"), std::string("Megger line"));
        QVERIFY(rec.has("plan_sha256"));
        QVERIFY(!rec.has("operator"));
        QCOMPARE(rec.rows.size(), size_t(2));
        QVERIFY(rec.partialLine);
        QCOMPARE(rec.completeBytes, std::uint64_t(whole.size()));
        QCOMPARE(rec.rows[0].reading_mohm, std::optional<double>(100.4));
        QCOMPARE(rec.rows[0].error_pct, std::optional<double>(0.4));
        QCOMPARE(rec.rows[1].reading_mohm, std::optional<double>());
        QCOMPARE(rec.rows[1].tolerance_pct, 2.5);
        QCOMPARE(rec.rows[1].verdict, Verdict::Skipped);

        // Continued: read again under the lock, the cut line goes, the new
        // row follows whole.
        QVERIFY2(file.reopen(path, &read, &error), error.c_str());
        QCOMPARE(read.completeBytes, rec.completeBytes);
        QVERIFY(file.cutPartialLine(read.completeBytes, &error));
        RecordRow third = plainRow(3, "2026-12-08T10:51:00Z", 4072, 5000, 4300, 5.599, 3, Verdict::Fail);
        QVERIFY(file.append(third, &error));
        file.close();
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), whole + "3,2026-12-08T10:51:00Z,4072,5000,4300,5.599,3,fail\n");
    }

    void badRecords_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        const QByteArray head = QByteArray("# t483ctl sweep record\n# plan: p.csv\n") + RECORD_COLUMNS + "\n";
        QTest::newRow("empty") << QByteArray() << "empty";
        QTest::newRow("another file") << QByteArray("point,verdict\n") << "line 1: not a record";
        QTest::newRow("header cut") << QByteArray("# t483ctl sweep record\n# plan: p.csv\n# plan_sha") << "the header is incomplete";
        QTest::newRow("column missing") << QByteArray("# t483ctl sweep record\npoint,time_utc\n") << "line 2: the column line lacks resistance_mohm";
        QTest::newRow("bad verdict") << head + "1,t,100,1000,100,0.000,2,ok\n" << "line 4: verdict";
        QTest::newRow("bad number") << head + "1,t,100,1000,1e,0.000,2,pass\n" << "line 4: reading_mohm";
        QTest::newRow("skipped with reading") << head + "1,t,100,1000,100,0.000,2,skipped\n" << "line 4: a skipped point";
        QTest::newRow("short row") << head + "1,t,100\n" << "line 4: 3 fields";
        QTest::newRow("comment after") << head + "# late: 1\n" << "line 4: a comment after";
    }
    void badRecords()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        QTemporaryDir dir;
        QFile f(dir.filePath("rec.csv"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
        f.close();
        Record rec;
        std::string why;
        QVERIFY(!readRecordFile(f.fileName().toStdString(), &rec, &why));
        QVERIFY2(QString::fromStdString(why).contains(error), why.c_str());
    }
};

QTEST_GUILESS_MAIN(PlanTest)
#include "tst_plan.moc"
