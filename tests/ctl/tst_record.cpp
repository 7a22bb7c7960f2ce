// Records with readings, budgets and a chain: written row by row (a redo's
// note with its row), read back value for value, edits found, a redo cut
// short by a crash, and the worst point by its share of the tolerance.
#include "ctl/certificate.h"
#include "ctl/record_file.h"
#include "ctl/sha256.h"
#include "files.h"
#include "record_rows.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

namespace {

RecordRow measured(int point, std::vector<double> readings, Verdict verdict, double e, double mpe)
{
    RecordRow r = plainRow(point, "2026-12-09T10:00:00Z", 1000, 1000, 1000 + e, e / 10, 3, verdict);
    r.reference_mohm = 1000;
    r.readings = std::move(readings);
    r.n = int(r.readings.size());
    r.s_mohm = 0.5;
    r.error_mohm = e;
    r.mpe_mohm = mpe;
    r.u_ref_mohm = 1.25;
    r.u_rep_mohm = 0.288675135;
    r.u_c_mohm = 1.28290258;
    r.nu_eff = std::numeric_limits<double>::infinity();
    r.k = 2;
    r.expanded_u_mohm = 2.56580516;
    r.tur = mpe / 2.56580516;
    return r;
}

}  // namespace

class RecordTest : public QObject {
    Q_OBJECT

private slots:
    void sha256_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("hex");
        QTest::newRow("empty") << QByteArray() << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        QTest::newRow("abc") << QByteArray("abc") << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        // Two blocks: the length goes in a block of its own.
        QTest::newRow("56 bytes") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                  << QByteArray("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
        QTest::newRow("a million a") << QByteArray(1000000, 'a')
                                     << QByteArray("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
    void sha256()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, hex);
        QCOMPARE(QByteArray::fromStdString(sha256Hex(bytes.toStdString())), hex);
    }

    // Made, added to, read back as written; reopened and added to again;
    // the chain holds throughout.
    void chained()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("rec.csv");
        const std::string p = path.toStdString();
        RecordFile file;
        std::string error, chain;
        QVERIFY2(file.create(p, {{"record_format", "2"}, {"plan_points", "2"}}, &error, nullptr, true), error.c_str());
        RecordRow first = measured(1, {1009, 1010, 1010.5}, Verdict::Pass, 9.83333333, 31);
        QVERIFY(file.append(first, &error, &chain));
        QCOMPARE(int(chain.size()), 64);
        RecordRow skipped = plainRow(2, "2026-12-09T10:01:00Z", 2000, 2500, {}, {}, 3, Verdict::Skipped);
        skipped.reference_mohm = 2000.5;
        skipped.u_ref_mohm = 2.5;
        QVERIFY(file.append(skipped, &error));
        file.close();

        Record rec;
        QVERIFY2(file.reopen(p, &rec, &error), error.c_str());
        QVERIFY2(rec.altered.empty(), rec.altered.c_str());
        QCOMPARE(rec.format, 2);
        RecordRow redo = measured(1, {1003}, Verdict::ConditionalFail, 3, 31);
        redo.supersedes = 1;
        redo.redo_note = "typed 16.1G for 1.01G (operator: J. Novák)";
        redo.nu_eff = 7;
        redo.tur = 3.1234;
        QVERIFY(file.append(redo, &error));
        QVERIFY(file.appendComment("temperature_c_end", "23.4", &error));
        file.close();

        const QByteArray bytes = bytesOf(path);
        QVERIFY2(bytes.contains("\n# redo of point 1: typed 16.1G for 1.01G (operator: J. Novák)\n1,"), bytes.constData());
        QVERIFY2(bytes.contains(",1003,1,0.5,3,31,1.25,,0.288675135,1.28290258,7,2.000,2.56580516,3.12 low,1,"), bytes.constData());
        QVERIFY2(bytes.contains(",1009;1010;1010.5,3,"), bytes.constData());
        QVERIFY(bytes.contains(",inf,2.000,2.56580516,12.08,,"));
        QVERIFY2(readRecordFile(p, &rec, &error), error.c_str());
        QVERIFY2(rec.altered.empty(), rec.altered.c_str());
        QCOMPARE(rec.rows.size(), size_t(3));
        QCOMPARE(rec.rows[0].readings, (std::vector<double>{1009, 1010, 1010.5}));
        QCOMPARE(rec.rows[0].chain, chain);
        QCOMPARE(rec.rows[0].nu_eff, std::optional(std::numeric_limits<double>::infinity()));
        QCOMPARE(rec.rows[1].n, 0);
        QCOMPARE(rec.rows[1].reference_mohm, std::optional(2000.5));
        QCOMPARE(rec.rows[1].u_res_mohm, std::optional<double>());
        QCOMPARE(rec.rows[2].supersedes, std::optional(1));
        QCOMPARE(rec.rows[2].redo_note, redo.redo_note);
        QCOMPARE(rec.rows[2].verdict, Verdict::ConditionalFail);
        QCOMPARE(rec.rows[2].tur, std::optional(3.12));
        QCOMPARE(rec.value("temperature_c_end"), std::string("23.4"));
        const RecordSummary sum = summarize(rec.rows);
        QCOMPARE(sum.recorded, 2);
        QCOMPARE(sum.superseded, 1);
        QCOMPARE(sum.failed, 1);
        QCOMPARE(sum.conditionalFailed, 1);
        QCOMPARE(sum.skipped, 1);
    }

    // Any byte changed by hand in the header, a row or a redo's note breaks
    // the chain; a record without its format line or without a chain
    // column too. Each row: what is replaced, and by what.
    void altered_data()
    {
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("why");
        QTest::newRow("a reading") << QByteArray(";1010;") << QByteArray(";1500;") << "row 1 (point 1)";
        QTest::newRow("the mean") << QByteArray(",1009.83333,") << QByteArray(",1009.83334,") << "row 1 (point 1)";
        QTest::newRow("plan_points") << QByteArray("plan_points: 2") << QByteArray("plan_points: 1") << "row 1 (point 1)";
        QTest::newRow("the note") << QByteArray("typed 16.1G") << QByteArray("typed 16.2G") << "row 3 (point 1)";
        QTest::newRow("a later chain") << QByteArray("skipped,2000") << QByteArray("skipped,2000.5") << "row 2 (point 2)";
        QTest::newRow("the format line") << QByteArray("# record_format: 2\n") << QByteArray() << "row 1 (point 1)";
    }
    void altered()
    {
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, why);
        QTemporaryDir dir;
        const std::string p = dir.filePath("rec.csv").toStdString();
        RecordFile file;
        std::string error;
        QVERIFY(file.create(p, {{"record_format", "2"}, {"plan_points", "2"}}, &error, nullptr, true));
        RecordRow first = measured(1, {1009, 1010, 1010.5}, Verdict::Pass, 9.83333, 31);
        QVERIFY(file.append(first, &error));
        RecordRow skipped = plainRow(2, "t", 2000, 2500, {}, {}, 3, Verdict::Skipped);
        skipped.reference_mohm = 2000;
        QVERIFY(file.append(skipped, &error));
        RecordRow redo = measured(1, {1003}, Verdict::Pass, 3, 31);
        redo.supersedes = 1;
        redo.redo_note = "typed 16.1G for 1.01G";
        QVERIFY(file.append(redo, &error));
        file.close();
        const QString path = QString::fromStdString(p);
        QByteArray bytes = bytesOf(path);
        QVERIFY2(bytes.contains(from), bytes.constData());
        QVERIFY(writeFile(path, bytes.replace(from, to)));
        Record rec;
        QVERIFY2(readRecordFile(p, &rec, &error), error.c_str());
        QVERIFY2(QString::fromStdString(rec.altered).contains(why), rec.altered.c_str());
    }

    // A crash in the middle of a redo: its note on disk, its row cut. The
    // note goes with the cut, and the row that follows chains on.
    void redoCut()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("rec.csv");
        const std::string p = path.toStdString();
        RecordFile file;
        std::string error;
        QVERIFY(file.create(p, {{"record_format", "2"}}, &error, nullptr, true));
        QVERIFY(file.append(measured(1, {1010}, Verdict::Pass, 10, 31), &error));
        file.close();
        const QByteArray whole = bytesOf(path);
        QVERIFY(writeFile(path, whole + "# redo of point 1: typo\n1,2026-12-09T10:0"));
        Record rec;
        QVERIFY2(file.reopen(p, &rec, &error), error.c_str());
        QCOMPARE(rec.completeBytes, std::uint64_t(whole.size()));
        QVERIFY(rec.partialLine);
        QCOMPARE(rec.rows.size(), size_t(1));
        QVERIFY(file.cutPartialLine(rec.completeBytes, &error));
        RecordRow redo = measured(1, {1001}, Verdict::Pass, 1, 31);
        redo.supersedes = 1;
        redo.redo_note = "typo";
        QVERIFY(file.append(redo, &error));
        file.close();
        QVERIFY(readRecordFile(p, &rec, &error));
        QVERIFY2(rec.altered.empty(), rec.altered.c_str());
        QCOMPARE(rec.rows.size(), size_t(2));
    }

    // Lines after the column line that a chained record does not allow.
    void badChained_data()
    {
        QTest::addColumn<QByteArray>("tail");
        QTest::addColumn<QString>("error");
        QTest::newRow("other comment") << QByteArray("# late: 1\n") << "a comment after";
        QTest::newRow("note before another point")
            << QByteArray("# redo of point 2: x\n1,t,1000,1000,1000,0.000,3,pass,1000,1000,1,,0,30,,,,0,inf,2.000,0,inf,1,"
                          "0000000000000000000000000000000000000000000000000000000000000000\n")
            << "a redo note is not followed";
        QTest::newRow("supersedes a later row")
            << QByteArray("1,t,1000,1000,1000,0.000,3,pass,1000,1000,1,,0,30,,,,0,inf,2.000,0,inf,1,"
                          "0000000000000000000000000000000000000000000000000000000000000000\n")
            << "supersedes: no earlier row";
        QTest::newRow("n not the count")
            << QByteArray("1,t,1000,1000,1000,0.000,3,pass,1000,1000;1001,1,,0,30,,,,0,inf,2.000,0,inf,,"
                          "0000000000000000000000000000000000000000000000000000000000000000\n")
            << "n: '1' is not the count";
    }
    void badChained()
    {
        QFETCH(QByteArray, tail);
        QFETCH(QString, error);
        const QByteArray head = QByteArray("# t483ctl sweep record\n# record_format: 2\n") + RECORD_COLUMNS + "," +
                                RECORD_COLUMNS_ADDED + "\n";
        Record rec;
        std::string why;
        QVERIFY(!readRecord((head + tail).toStdString(), "r", &rec, &why));
        QVERIFY2(QString::fromStdString(why).contains(error), why.c_str());
    }

    // The worst point is the one furthest into its tolerance, not the one
    // with the largest error; an older record's by |error_pct|, as before.
    void worst()
    {
        std::vector<RecordRow> rows{measured(1, {1030}, Verdict::Pass, 30, 100), measured(2, {1010}, Verdict::Pass, 10, 20),
                                    measured(3, {1004}, Verdict::Pass, 4, 10)};
        QCOMPARE(summarize(rows).worst->point, 2);
        rows[2].error_mohm = 6;  // 0.6 of its MPE
        QCOMPARE(summarize(rows).worst->point, 3);
        // A superseded row is no point's result any more.
        rows.push_back(measured(3, {1000}, Verdict::Pass, 0, 10));
        rows.back().supersedes = 3;
        QCOMPARE(summarize(rows).worst->point, 2);
        const std::vector<RecordRow> older{plainRow(1, "t", 100, 1000, 101.5, 1.5, 5, Verdict::Pass),
                                           plainRow(2, "t", 100, 1000, 101, 1, 1, Verdict::Pass)};
        QCOMPARE(summarize(older).worst->point, 1);
    }

    // The decade's certificate: a voltage's own row before the "*" row.
    void certificate()
    {
        const std::string text = "# certificate: 0412/2026\n# laboratory: CMI\n# calibrated: 2026-03-02\n# due: 2028-02-29\n"
                                 "# a note\n" + std::string(CERTIFICATE_COLUMNS) + "\n1000,*,1000.25,1.1,2\n1000,5000,1000.5,0.8,2.1\n";
        Certificate c;
        std::string error;
        QVERIFY2(parseCertificate(text, &c, &error), error.c_str());
        QCOMPARE(c.summary(), std::string("0412/2026, CMI, calibrated 2026-03-02, due 2028-02-29"));
        QCOMPARE(c.find(1000, 5000)->certified_mohm, 1000.5);
        QCOMPARE(c.find(1000, 1000)->certified_mohm, 1000.25);
        QCOMPARE(c.find(100, 1000), nullptr);
    }
    void badCertificate_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        const QString h = "# certificate: 1\n# laboratory: L\n# calibrated: 2026-03-02\n# due: 2027-03-02\n" +
                          QString(CERTIFICATE_COLUMNS) + "\n";
        QTest::newRow("no due") << "# certificate: 1\n# laboratory: L\n# calibrated: 2026-03-02\n" + QString(CERTIFICATE_COLUMNS) + "\n"
                                << "no \"# due:\" line";
        QTest::newRow("due no date") << "# due: 2027-02-29\n" << "line 1: '2027-02-29' is no date";
        QTest::newRow("voltage") << h + "1000,1500,1000.2,1,2\n" << "line 6, column voltage_v: '1500'";
        QTest::newRow("setting") << h + "1000.5,*,1000.2,1,2\n" << "line 6, column resistance_mohm: '1000.5'";
        QTest::newRow("uncertainty") << h + "1000,*,1000.2,-1,2\n" << "line 6, column expanded_uncertainty_mohm: '-1'";
        QTest::newRow("coverage") << h + "1000,*,1000.2,1,0\n" << "line 6, column coverage_factor: '0'";
        QTest::newRow("short") << h + "1000,*,1000.2\n" << "line 6, column 4: 3 fields";
        QTest::newRow("twice") << h + "1000,*,1000.2,1,2\n1000,*,1000.3,1,2\n" << "line 7: the setting and voltage of line 6";
        QTest::newRow("column") << "resistance_mohm,voltage_v,value\n" << "line 1, column 3: unknown or repeated column 'value'";
    }
    void badCertificate()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        Certificate c;
        std::string why;
        QVERIFY(!parseCertificate(text.toStdString(), &c, &why));
        QVERIFY2(QString::fromStdString(why).startsWith(error), why.c_str());
    }

    void labProfile()
    {
        LabProfile lab;
        std::string error;
        QVERIFY2(parseLabProfile("; lab\n[lab]\nname = Kalibrace s.r.o.\ntraceability=to SI through CMI\n", &lab, &error), error.c_str());
        QCOMPARE(lab.name, std::string("Kalibrace s.r.o."));
        QCOMPARE(lab.traceability, std::string("to SI through CMI"));
        QVERIFY(!parseLabProfile("name = A\nphone = 1\n", &lab, &error));
        QVERIFY2(error.find("line 2: 'phone = 1'") == 0, error.c_str());
    }
};

QTEST_GUILESS_MAIN(RecordTest)
#include "tst_record.moc"
