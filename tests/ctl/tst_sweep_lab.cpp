// t483ctl sweep against t483-sim as a calibration lab runs it: the
// decade's certificate, three readings a point with digits and resolution,
// each decision rule, the environment and the lab's identity; a point done
// again with --redo, killed during the redo and resumed; edits refused;
// certificates and plans refused before the port is opened.
#include "ctl/record_file.h"
#include "ctl/uncertainty.h"
#include "ctl_run.h"
#include "files.h"
#include "sim_process.h"
#include "slack.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <limits>
#include <memory>

namespace {

// Point 1: 2 % + 3 digits of 1 MOhm against a certified 1000.2; point 2:
// 2 % of the reading, no resolution; point 3 is not on the certificate.
const QByteArray PLAN = "resistance_mohm,voltage_v,tolerance_pct,dwell_s,readings,tolerance_digits,resolution_mohm,tolerance_basis\n"
                        "1000,1000,2,0,3,3,1,reference\n"
                        "100,1000,2,0,3,0,,reading\n"
                        "4072,1000,1,0,3,0,,reference\n";
const QByteArray READINGS = "1021\n1022\n1023\n102.1\n102.1\n102.1\n4072\n4073\n4071\n";

QByteArray certificate(const QString &due)
{
    return "# certificate: 0412/2026\n# laboratory: CMI\n# calibrated: 2025-03-02\n# due: " + due.toUtf8() +
           "\nresistance_mohm,voltage_v,certified_mohm,expanded_uncertainty_mohm,coverage_factor\n"
           "1000,1000,1000.2,0.8,2\n100,*,100,0.1,2\n";
}

Record recordOf(const QString &path)
{
    Record rec;
    std::string error;
    if (!readRecordFile(path.toStdString(), &rec, &error))
        qWarning("%s", error.c_str());
    return rec;
}

// A row as the model makes it from the point's reference and readings,
// written as the record writes it (its time, supersedes and chain left out).
std::string modelRow(const RecordRow &got, double reference, double uRef, double tolerance, double digits,
                     std::optional<double> resolution, bool basisReading, DecisionRule rule)
{
    RecordRow r = got;
    PointInput in{reference, uRef, got.readings, tolerance, digits, resolution, basisReading};
    const PointResult m = evaluatePoint(in, rule);
    r.reading_mohm = m.mean_mohm;
    r.error_pct = std::stod(errorText(m.error_pct));
    r.reference_mohm = reference;
    r.n = m.n;
    r.s_mohm = m.s_mohm;
    r.error_mohm = m.error_mohm;
    r.mpe_mohm = m.mpe_mohm;
    r.u_ref_mohm = m.u_ref_mohm;
    r.u_res_mohm = resolution ? std::optional(m.u_res_mohm) : std::nullopt;
    r.u_rep_mohm = m.u_rep_mohm;
    r.u_c_mohm = m.u_c_mohm;
    r.nu_eff = m.nu_eff;
    r.k = m.k;
    r.expanded_u_mohm = m.expanded_u_mohm;
    r.tur = m.tur;
    r.verdict = m.decision == Decision::Pass              ? Verdict::Pass
                : m.decision == Decision::ConditionalPass ? Verdict::ConditionalPass
                : m.decision == Decision::ConditionalFail ? Verdict::ConditionalFail
                                                          : Verdict::Fail;
    r.time_utc.clear();
    return recordLineUnchained(r);
}

// Reads the terminal's output until it holds `text` (or 20 s pass).
bool expect(int fd, QByteArray *seen, const QByteArray &text)
{
    QDeadlineTimer deadline(slack(20000));
    while (!seen->contains(text) && !deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            seen->append(buf, int(n));
        }
    }
    return seen->contains(text);
}

std::string written(RecordRow r)
{
    r.time_utc.clear();
    return recordLineUnchained(r);
}

}  // namespace

class SweepLabTest : public QObject {
    Q_OBJECT
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<QTemporaryDir> dir;

    QString path(const QString &name) const { return dir->filePath(name); }

    int run(const QStringList &args, QByteArray *err = nullptr, QByteArray *out = nullptr)
    {
        const CtlRun r = runCtl(args, {.env = {{"XDG_CONFIG_HOME", path("config")}}, .dir = dir->path()});
        if (err)
            *err = r.err;
        if (out)
            *out = r.out;
        return r.status == -1000 ? -1 : r.status;
    }

    // The rows of the record against the model, point by point.
    void checkModel(const Record &rec, DecisionRule rule)
    {
        for (const RecordRow &r : rec.rows) {
            if (r.point == 1)
                QCOMPARE(written(r), modelRow(r, 1000.2, 0.4, 2, 3, 1.0, false, rule));
            else if (r.point == 2)
                QCOMPARE(written(r), modelRow(r, 100, 0.05, 2, 0, std::nullopt, true, rule));
            else
                QCOMPARE(written(r), modelRow(r, 4072, 4072 * 0.005 / std::sqrt(3.0), 1, 0, std::nullopt, false, rule));
        }
    }

    QStringList lab() const
    {
        return {"--decade-certificate", "cert.csv", "--nominal-uncertainty", "0.5", "--temperature", "23.1", "--humidity", "45",
                "--temperature-end", "23.4", "--humidity-end", "47", "--customer", "Elektro a.s.", "--procedure", "KP-17"};
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        sim = SimProcess::onPort(1, {"--ident", "48305"});
        QVERIFY(sim);
        QVERIFY(writeFile(path("plan.csv"), PLAN));
        QVERIFY(writeFile(path("readings.txt"), READINGS));
        QVERIFY(writeFile(path("cert.csv"), certificate(QDate::currentDate().addDays(30).toString(Qt::ISODate))));
        QVERIFY(QDir().mkpath(path("config/t483")));
        QVERIFY(writeFile(path("config/t483/lab.ini"), "[lab]\nname = Kalibrace s.r.o.\naccreditation = 2317\n"));
    }
    void cleanup()
    {
        sim.reset();
        dir.reset();
    }

    // Each rule's verdicts on the same readings; every value the model's.
    void rules_data()
    {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<QStringList>("verdicts");
        QTest::addColumn<int>("status");
        QTest::newRow("simple") << "simple" << QStringList{"pass", "fail", "pass"} << 1;
        QTest::newRow("guarded") << "guarded" << QStringList{"fail", "fail", "pass"} << 1;
        QTest::newRow("non-binary") << "non-binary" << QStringList{"conditional pass", "conditional fail", "pass"} << 1;
    }
    void rules()
    {
        QFETCH(QString, rule);
        QFETCH(QStringList, verdicts);
        QFETCH(int, status);
        QByteArray err;
        QByteArray out;
        QCOMPARE(run(QStringList{"sweep", "plan.csv", "--record", "rec.csv", "--readings", "readings.txt", "--decision-rule", rule} + lab(),
                     &err, &out), status);
        if (rule == "non-binary")
            QVERIFY2(out.contains("passed: 2 (1 conditional)\nfailed: 1 (1 conditional)\n"), out.constData());
        const Record rec = recordOf(path("rec.csv"));
        QVERIFY2(rec.altered.empty(), rec.altered.c_str());
        QCOMPARE(rec.rows.size(), size_t(3));
        QStringList got;
        for (const RecordRow &r : rec.rows)
            got << verdictWord(r.verdict);
        QCOMPARE(got, verdicts);
        checkModel(rec, *decisionRuleNamed(rule.toStdString()));
        QCOMPARE(rec.rows[0].readings, (std::vector<double>{1021, 1022, 1023}));
        // Three equal readings: no scatter, infinite degrees of freedom.
        QCOMPARE(rec.rows[1].s_mohm, std::optional(0.0));
        QCOMPARE(rec.rows[1].nu_eff, std::optional(std::numeric_limits<double>::infinity()));
        QCOMPARE(rec.value("decision_rule"), rule.toStdString() + ": " + decisionRuleWords(*decisionRuleNamed(rule.toStdString())));
        QCOMPARE(rec.value("decade_certificate"), std::string("0412/2026, CMI, calibrated 2025-03-02, due ") +
                                                      QDate::currentDate().addDays(30).toString(Qt::ISODate).toStdString());
        QVERIFY2(rec.value("reference_uncertainty").find("point 3: the nominal values, rectangular, half-width 0.5 %") !=
                     std::string::npos, rec.value("reference_uncertainty").c_str());
        for (const auto &[key, value] : {std::pair{"temperature_c", "23.1"}, {"humidity_pct", "45"}, {"temperature_c_end", "23.4"},
                                         {"humidity_pct_end", "47"}, {"customer", "Elektro a.s."}, {"procedure", "KP-17"},
                                         {"lab_name", "Kalibrace s.r.o."}, {"lab_accreditation", "2317"}, {"lab_address", ""}})
            QCOMPARE(rec.value(key), std::string(value));
        QVERIFY2(QByteArray::fromStdString(rec.value("report_number")).startsWith("T483-"), rec.value("report_number").c_str());
        // Another record, another report number.
        QCOMPARE(run(QStringList{"sweep", "plan.csv", "--record", "two.csv", "--readings", "readings.txt"} + lab()), 1);
        QVERIFY(recordOf(path("two.csv")).value("report_number") != rec.value("report_number"));
    }

    // Point 2 done again: killed during the redo the record is as it was;
    // the redo done, its row supersedes the earlier one with the reason and
    // the operator in the chain; a run killed midway resumes on the chain.
    void redoKilledResumed()
    {
        QProcess p;
        p.setWorkingDirectory(dir->path());
        p.setProcessEnvironment([&] {
            auto env = QProcessEnvironment::systemEnvironment();
            env.insert("XDG_CONFIG_HOME", path("config"));
            return env;
        }());
        p.start(qEnvironmentVariable("T483_CTL"), QStringList{"sweep", "plan.csv", "--record", "rec.csv", "--readings", "-",
                                                              "--operator", "J. Novák"} + lab());
        QVERIFY(p.waitForStarted(slack(5000)));
        p.write("1021\n1022\n1023\n");
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(path("rec.csv")) && recordOf(path("rec.csv")).rows.size() == 1; },
                                slack(20000)));
        ::kill(pid_t(p.processId()), SIGKILL);
        QVERIFY(p.waitForFinished(slack(5000)));
        QVERIFY(sim->sentinel());
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--resume", "--readings", "readings.txt",
                      "--decade-certificate", "cert.csv", "--nominal-uncertainty", "0.5", "--temperature-end", "23.4"}), 1);
        Record rec = recordOf(path("rec.csv"));
        QVERIFY2(rec.altered.empty(), rec.altered.c_str());
        QCOMPARE(rec.rows.size(), size_t(3));
        // The resumed points took their own lines of the file.
        QCOMPARE(rec.rows[2].readings, (std::vector<double>{4072, 4073, 4071}));
        checkModel(rec, DecisionRule::Simple);

        // The redo killed while it waits for a reading: nothing written.
        const QByteArray before = bytesOf(path("rec.csv"));
        sim->clearReceived();
        QProcess redo;
        redo.setWorkingDirectory(dir->path());
        redo.start(qEnvironmentVariable("T483_CTL"), {"sweep", "plan.csv", "--record", "rec.csv", "--redo", "2", "--reason",
                                                      "typed 102.1 for 101.2", "--readings", "-", "--decade-certificate",
                                                      "cert.csv", "--nominal-uncertainty", "0.5"});
        QVERIFY(redo.waitForStarted(slack(5000)));
        redo.write("101.2\n");
        QDeadlineTimer deadline(slack(20000));
        while (!sim->received().contains("K\r") && !deadline.hasExpired())
            sim->waitReceived(int(sim->received().size()) + 1, 100);
        QVERIFY2(sim->received().contains("K\r"), (redo.readAllStandardError() + sim->received().join(" ")).constData());
        ::kill(pid_t(redo.processId()), SIGKILL);
        QVERIFY(redo.waitForFinished(slack(5000)));
        QVERIFY(sim->sentinel());
        QCOMPARE(bytesOf(path("rec.csv")), before);

        QVERIFY(writeFile(path("redo.txt"), "1\n1\n1\n101.2\n101.3\n101.1\n9\n9\n9\n"));
        QByteArray err;
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--redo", "2", "--reason", "typed 102.1 for 101.2",
                      "--operator", "P. Malá", "--readings", "redo.txt", "--decade-certificate", "cert.csv",
                      "--nominal-uncertainty", "0.5", "--temperature-end", "23.6"}, &err), 0);
        QVERIFY(bytesOf(path("rec.csv")).startsWith(before));
        QVERIFY2(bytesOf(path("rec.csv")).contains("\n# redo of point 2: typed 102.1 for 101.2 (operator: P. Malá)\n2,"), err.constData());
        rec = recordOf(path("rec.csv"));
        QVERIFY2(rec.altered.empty(), rec.altered.c_str());
        QCOMPARE(rec.rows.size(), size_t(4));
        QCOMPARE(rec.rows[3].supersedes, std::optional(2));
        QCOMPARE(rec.rows[3].readings, (std::vector<double>{101.2, 101.3, 101.1}));
        QCOMPARE(rec.value("temperature_c_end"), std::string("23.6"));
        checkModel(rec, DecisionRule::Simple);
        const RecordSummary sum = summarize(rec.rows);
        QCOMPARE(sum.passed, 3);
        QCOMPARE(sum.superseded, 1);
    }

    // A record changed by hand: --resume and --redo refuse it, naming the row.
    void alteredRefused()
    {
        QVERIFY(writeFile(path("two.txt"), "1021\n1022\n1023\n"));
        QCOMPARE(run(QStringList{"sweep", "plan.csv", "--record", "rec.csv", "--readings", "two.txt"} + lab()), 1);
        QByteArray bytes = bytesOf(path("rec.csv"));
        QVERIFY(writeFile(path("rec.csv"), bytes.replace("1021;1022;1023", "1021;1022;1022")));
        sim->clearReceived();
        QByteArray err;
        const QStringList same = {"--readings", "readings.txt", "--decade-certificate", "cert.csv", "--nominal-uncertainty", "0.5"};
        QCOMPARE(run(QStringList{"sweep", "plan.csv", "--record", "rec.csv", "--resume"} + same, &err), 2);
        QVERIFY2(err.contains("changed after it was recorded (row 1 (point 1) does not match its chain)"), err.constData());
        QCOMPARE(run(QStringList{"sweep", "plan.csv", "--record", "rec.csv", "--redo", "1", "--reason", "x"} + same, &err), 2);
        QVERIFY2(err.contains("changed after it was recorded"), err.constData());
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>());
    }

    // Refused before the port is opened, with nothing written.
    void refused_data()
    {
        QTest::addColumn<QByteArray>("cert");
        QTest::addColumn<QByteArray>("plan");
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QString>("error");
        const QByteArray good = certificate("2099-01-01");
        QTest::newRow("a point missing") << good << PLAN << QStringList()
                                         << "cert.csv does not cover point 3 (4072 MOhm at 1000 V): add them";
        QTest::newRow("points missing") << good << PLAN + "16221,5000,1,0,1,0,,reference\n" << QStringList()
                                        << "point 3 (4072 MOhm at 1000 V), point 4 (16221 MOhm at 5000 V)";
        QTest::newRow("past due") << certificate("2020-01-01") << PLAN << QStringList{"--nominal-uncertainty", "1"}
                                  << "the certificate 0412/2026 of the decade was due on 2020-01-01";
        QByteArray bad = good;
        QTest::newRow("malformed") << bad.replace("100,*,100,0.1,2", "100,*,100,0.1,two") << PLAN << QStringList()
                                   << "bad certificate cert.csv: line 7, column coverage_factor: 'two'";
        QByteArray zero = PLAN, many = PLAN;
        QTest::newRow("readings 0") << good << zero.replace("1000,1000,2,0,3,", "1000,1000,2,0,0,") << QStringList()
                                    << "bad plan plan.csv: line 2, column readings: '0'";
        QTest::newRow("readings 21") << good << many.replace("100,1000,2,0,3,", "100,1000,2,0,21,") << QStringList()
                                     << "bad plan plan.csv: line 3, column readings: '21'";
    }
    void refused()
    {
        QFETCH(QByteArray, cert);
        QFETCH(QByteArray, plan);
        QFETCH(QStringList, extra);
        QFETCH(QString, error);
        QVERIFY(writeFile(path("cert.csv"), cert));
        QVERIFY(writeFile(path("plan.csv"), plan));
        QByteArray err;
        QCOMPARE(run(QStringList{"sweep", "plan.csv", "--record", "rec.csv", "--readings", "readings.txt",
                                 "--decade-certificate", "cert.csv"} + extra, &err), 2);
        QVERIFY2(err.contains(error.toUtf8()), err.constData());
        QVERIFY(!QFile::exists(path("rec.csv")));
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>());
    }

    // --allow-expired runs on a certificate past its due date and says so;
    // a resumed run must name the same certificate.
    void expiredAllowed()
    {
        QVERIFY(writeFile(path("cert.csv"), certificate("2020-01-01")));
        QVERIFY(writeFile(path("two.txt"), "1021\n1022\n1023\n"));
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--readings", "two.txt", "--decade-certificate", "cert.csv",
                      "--nominal-uncertainty", "0.5", "--allow-expired"}), 1);
        const Record rec = recordOf(path("rec.csv"));
        QCOMPARE(rec.value("decade_certificate_expired"), std::string("used past its due date 2020-01-01 (--allow-expired)"));
        QCOMPARE(rec.rows.size(), size_t(1));
        QByteArray err;
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--resume", "--readings", "readings.txt",
                      "--nominal-uncertainty", "0.5"}, &err), 2);
        QVERIFY2(err.contains("its decade_certificate is \"0412/2026, CMI"), err.constData());
    }

    // A record of the older format (eight columns, no chain) is resumed in
    // its own format.
    void olderRecordResumed()
    {
        QVERIFY(writeFile(path("old.csv"), "resistance_mohm,voltage_v,tolerance_pct,dwell_s\n100,1000,2,0\n1000,1000,1,0\n"));
        const QByteArray sha = QCryptographicHash::hash(bytesOf(path("old.csv")), QCryptographicHash::Sha256).toHex();
        const QByteArray old = "# t483ctl sweep record\n# program: t483ctl 1.0\n# started_utc: 2026-12-08T10:49:18Z\n"
                               "# decade_identification: 48305\n# port: COM1\n# device: /dev/x\n# uut: \n# operator: \n"
                               "# plan: old.csv\n# plan_sha256: " + sha + "\n# plan_points: 2\n# decision_rule: " +
                               DECISION_RULE + "\n" + RECORD_COLUMNS + "\n1,2026-12-08T10:49:31Z,100,1000,100.4,0.400,2,pass\n";
        QVERIFY(writeFile(path("rec.csv"), old));
        QVERIFY(writeFile(path("r.txt"), "100.4\n1020\n"));
        QCOMPARE(run({"sweep", "old.csv", "--record", "rec.csv", "--resume", "--readings", "r.txt"}), 1);
        const QByteArray after = bytesOf(path("rec.csv"));
        QVERIFY(after.startsWith(old));
        QVERIFY2(after.mid(old.size()).startsWith("2,") && after.mid(old.size()).endsWith(",1000,1000,1020,2.000,1,fail\n"),
                 after.constData());
        QByteArray err;
        QCOMPARE(run({"sweep", "old.csv", "--record", "rec.csv", "--redo", "1", "--reason", "x"}, &err), 2);
        QVERIFY2(err.contains("made before --redo was"), err.constData());
    }

    // On a terminal the environment is asked for at the start and the end
    // (Enter: not recorded), and a far-off reading confirmed with "y".
    void terminalPrompts()
    {
        QVERIFY(writeFile(path("one.csv"), "resistance_mohm,voltage_v,tolerance_pct,dwell_s\n1000,1000,2,0\n"));
        const QByteArray ctl = qEnvironmentVariable("T483_CTL").toLocal8Bit(), where = QFile::encodeName(dir->path());
        int terminal = -1;
        const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
        QVERIFY(child >= 0);
        if (child == 0) {
            if (::chdir(where.constData()) == 0)
                ::execl(ctl.constData(), "t483ctl", "sweep", "one.csv", "--record", "rec.csv", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        QByteArray seen;
        const std::pair<QByteArray, QByteArray> dialogue[] = {
            {"temperature at the start, degrees C [Enter: not recorded]: ", "22.5\n"},
            {"relative humidity at the start, % [Enter: not recorded]: ", "\n"},
            {"the tester's reading", "16.1G\n"},
            {"take it? [y/N] ", "y\n"},
            {"temperature at the end", "23\n"},
            {"relative humidity at the end", "50\n"},
        };
        for (const auto &[prompt, answer] : dialogue) {
            QVERIFY2(expect(terminal, &seen, prompt), seen.constData());
            QCOMPARE(::write(terminal, answer.constData(), size_t(answer.size())), ssize_t(answer.size()));
        }
        int status = 0;
        QVERIFY(QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, slack(20000)));
        ::close(terminal);
        const Record rec = recordOf(path("rec.csv"));
        QCOMPARE(rec.rows.size(), size_t(1));
        QCOMPARE(rec.rows[0].readings, std::vector<double>{16100});
        for (const auto &[key, value] : {std::pair{"temperature_c", "22.5"}, {"humidity_pct", "not recorded"},
                                         {"temperature_c_end", "23"}, {"humidity_pct_end", "50"}})
            QCOMPARE(rec.value(key), std::string(value));
    }

    // Typed at the keyboard, a reading ten times the tolerance off is
    // confirmed first: "n" drops it, and the next is taken.
    void implausibleConfirmed()
    {
        QVERIFY(writeFile(path("one.csv"), "resistance_mohm,voltage_v,tolerance_pct,dwell_s\n1000,1000,2,0\n"));
        QProcess p;
        p.setWorkingDirectory(dir->path());
        p.start(qEnvironmentVariable("T483_CTL"), {"sweep", "one.csv", "--record", "rec.csv"});
        QVERIFY(p.waitForStarted(slack(5000)));
        p.write("16.1G\nn\n1.01G\n");
        p.closeWriteChannel();
        QVERIFY(p.waitForFinished(slack(20000)));
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains("16100 MOhm is far from the reference 1000 MOhm: take it? [y/N]"), err.constData());
        const Record rec = recordOf(path("rec.csv"));
        QCOMPARE(rec.rows.size(), size_t(1));
        QCOMPARE(rec.rows[0].readings, std::vector<double>{1010});
    }
};

QTEST_GUILESS_MAIN(SweepLabTest)
#include "tst_sweep_lab.moc"
