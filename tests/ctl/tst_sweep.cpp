// t483ctl sweep as a child process (T483_CTL) against t483-sim on COM1:
// the verdicts of a scripted run and the commands behind them, the wait
// for the plan's test voltage and a voltage changed during a point, runs
// killed with SIGKILL at several moments and resumed, a record another run
// holds, Ctrl+C, the device unplugged mid-run, and the plans and records
// it refuses before the port is touched.
#include "ctl/record_file.h"
#include "ctl_run.h"
#include "files.h"
#include "sim_process.h"
#include "slack.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QByteArray PLAN = "# four points\n"
                        "resistance_mohm,voltage_v,tolerance_pct,dwell_s\n"
                        "100,1000,2,0\n"
                        "1000,1000,1,0\n"
                        "4072,1000,3,0\n"
                        "16221,1000,5,0\n";
// pass (0.400), fail (2.000 > 1), skipped, pass (0.364)
const QByteArray READINGS = "100.4\n1.02G\nskip\n1.628e10\n";
const QStringList VERDICTS = {"pass", "fail", "skipped", "pass"};
// The record's rows of those readings, their times left out.
const QStringList ROWS = {
    "1,,100,1000,100.4,0.400,2,pass",
    "2,,1000,1000,1020,2.000,1,fail",
    "3,,4072,1000,,,3,skipped",
    "4,,16221,1000,16280,0.364,5,pass",
};

// The rows of a record with their times left out.
QStringList rowsOf(const QString &path)
{
    Record rec;
    std::string error;
    if (!readRecordFile(path.toStdString(), &rec, &error)) {
        qWarning("%s", error.c_str());
        return {"(unreadable)"};
    }
    QStringList rows;
    for (RecordRow r : rec.rows) {
        r.time_utc.clear();
        rows << QString::fromStdString(recordLine(r)).trimmed();
    }
    return rows;
}

// The commands the simulator got that match the prefix ("R", "L").
QList<QByteArray> commandsOf(const QList<QByteArray> &all, const char *prefix)
{
    QList<QByteArray> some;
    for (const QByteArray &c : all)
        if (c.startsWith(prefix))
            some << c;
    return some;
}

}  // namespace

class SweepTest : public QObject {
    Q_OBJECT
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<QTemporaryDir> dir;

    QString path(const QString &name) const { return dir->filePath(name); }

    // t483ctl started in the test's folder with these arguments.
    void start(QProcess &p, const QStringList &args)
    {
        p.setWorkingDirectory(dir->path());
        p.start(qEnvironmentVariable("T483_CTL"), args);
        QVERIFY(p.waitForStarted(slack(5000)));
    }

    // t483ctl run to its end; its exit status, -1 when it did not end.
    int run(const QStringList &args, QByteArray *out = nullptr, QByteArray *err = nullptr)
    {
        const CtlRun r = runCtl(args, {.dir = dir->path()});
        if (out)
            *out = r.out;
        if (err)
            *err = r.err;
        if (r.status == -1000)
            qWarning("t483ctl did not end: %s", r.err.constData());
        return r.status == -1000 ? -1 : r.status;
    }

    // Waits until the record has n rows.
    bool waitRows(const QString &record, int n)
    {
        return QTest::qWaitFor(
            [&] {
                Record rec;
                std::string error;
                return readRecordFile(record.toStdString(), &rec, &error) && int(rec.rows.size()) >= n;
            },
            slack(20000));
    }

    // Waits until standard error holds text.
    bool waitErr(QProcess &p, QByteArray *err, const QByteArray &text)
    {
        QDeadlineTimer deadline(slack(20000));
        while (!err->contains(text) && !deadline.hasExpired()) {
            p.waitForReadyRead(50);
            *err += p.readAllStandardError();
        }
        return err->contains(text);
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
    }
    void cleanup()
    {
        sim.reset();
        dir.reset();
        qunsetenv("T483_COM1");
    }

    // The verdicts, the record's header, what reached the decade and in
    // which order, the summary and the exit status.
    void scriptedSweep()
    {
        QByteArray out, err;
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--readings", "readings.txt",
                      "--uut", "Megger MIT1025 s/n 123", "--operator", "J. Novak"}, &out, &err), 1);
        QCOMPARE(rowsOf(path("rec.csv")), ROWS);
        Record rec;
        std::string error;
        QVERIFY(readRecordFile(path("rec.csv").toStdString(), &rec, &error));
        QStringList keys;
        for (const auto &kv : rec.header)
            keys << QString::fromStdString(kv.first);
        QCOMPARE(keys.size(), int(std::size(RECORD_KEYS_2)));
        for (int k = 0; k < keys.size(); k++)
            QCOMPARE(keys[k], QString(RECORD_KEYS_2[k]));
        QCOMPARE(rec.value("plan_sha256"), QCryptographicHash::hash(PLAN, QCryptographicHash::Sha256).toHex().toStdString());
        QCOMPARE(rec.value("decade_identification"), std::string("48305"));
        QCOMPARE(rec.value("uut"), std::string("Megger MIT1025 s/n 123"));
        QCOMPARE(rec.value("operator"), std::string("J. Novak"));
        QCOMPARE(rec.value("plan_points"), std::string("4"));
        QCOMPARE(rec.value("decision_rule").substr(0, 8), std::string("simple: "));
        QCOMPARE(rec.value("decade_certificate"), std::string("none"));
        QCOMPARE(rec.value("temperature_c"), std::string("not recorded"));
        QCOMPARE(rec.value("temperature_c_end"), std::string("not recorded"));
        QVERIFY(rec.altered.empty());
        QVERIFY(QByteArray::fromStdString(rec.value("started_utc")).endsWith('Z'));
        QVERIFY(!rec.rows[0].time_utc.empty());

        // I; M (the voltage), L0 once, R, K (the check); after a reading M
        // again, which stands for the next point's check; L1 last.
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), (QList<QByteArray>{
            "I\r", "M\r", "L0\r", "R100\r", "K\r", "M\r", "R1000\r", "K\r",
            "M\r", "R4072\r", "K\r", "M\r", "R16221\r", "K\r", "M\r", "L1\r"}));
        QVERIFY2(out.contains("points: 4\npassed: 2\nfailed: 1\nskipped: 1\n"), out.constData());
        QVERIFY2(out.contains("worst error: 2.000 % at point 2"), out.constData());

        // Every point passing is status 0.
        QVERIFY(writeFile(path("good.txt"), "100\n1000\n4072\n16221\n"));
        QCOMPARE(run({"--json", "sweep", "plan.csv", "--record", "good.csv", "--readings", "good.txt"}, &out), 0);
        QVERIFY2(out.contains("\"passed\":4"), out.constData());
    }

    // No R while the decade's voltage is not the plan's: the technician is
    // told which to select and the run goes on once it is.
    void voltageWait()
    {
        QVERIFY(sim->command("voltage 2500"));
        QProcess p;
        start(p, {"sweep", "plan.csv", "--record", "rec.csv", "--readings", "readings.txt"});
        QByteArray err;
        QVERIFY(waitErr(p, &err, "select 1000 V on the decade (it has 2500 V)"));
        const int seen = int(sim->received().size());
        QVERIFY(sim->waitReceived(seen + 2, slack(5000)));  // it keeps asking
        QCOMPARE(commandsOf(sim->received(), "R"), QList<QByteArray>());
        QCOMPARE(commandsOf(sim->received(), "M").size(), sim->received().size() - 1);
        QVERIFY(!QFile::exists(path("rec.csv")) || rowsOf(path("rec.csv")).isEmpty());

        QVERIFY(sim->command("voltage 1000"));
        QVERIFY(p.waitForFinished(slack(30000)));
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(rowsOf(path("rec.csv")).size(), 4);
        // The first R came right after an M answered 1000.
        const QList<QByteArray> got = sim->received();
        const qsizetype r = got.indexOf("R100\r");
        QVERIFY(r >= 2);
        QCOMPARE(got.at(r - 1), QByteArray("L0\r"));
        QCOMPARE(got.at(r - 2), QByteArray("M\r"));
    }

    // Waiting for the voltage, the technician skips a point and stops the
    // run: the skip recorded, the stopped point not.
    void skipWhileWaiting()
    {
        QVERIFY(sim->command("voltage 5000"));
        QProcess p;
        start(p, {"sweep", "plan.csv", "--record", "rec.csv"});
        QByteArray err;
        QVERIFY(waitErr(p, &err, "point 1/4 (100 MOhm at 1000 V): select 1000 V on the decade (it has 5000 V); s skips"));
        p.write("s\n");
        QVERIFY(waitErr(p, &err, "point 2/4 (1000 MOhm at 1000 V): select 1000 V"));
        p.write("q\n");
        QVERIFY(p.waitForFinished(slack(10000)));
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(rowsOf(path("rec.csv")), QStringList{"1,,100,1000,,,2,skipped"});
        QVERIFY(sim->sentinel());
        QCOMPARE(commandsOf(sim->received(), "R"), QList<QByteArray>());
        QCOMPARE(sim->received().last(), QByteArray("L1\r"));
    }

    // The voltage changed while the tester's reading is awaited: seen at
    // once (an M every 0.5 s), the point is done again once the voltage is
    // back. A decade put to local control meanwhile is taken back to remote.
    void voltageChangedDuringPoint()
    {
        QProcess p;
        start(p, {"sweep", "plan.csv", "--record", "rec.csv", "--readings", "-"});
        QVERIFY(sim->waitReceived(5));  // I, M, L0, R100, K: waiting for the reading
        QVERIFY(sim->command("voltage 2500"));
        QVERIFY(sim->command("local"));
        QVERIFY(sim->command("front 555"));
        QByteArray err;
        QVERIFY(waitErr(p, &err, "point 1/4 (100 MOhm at 1000 V): the decade's test voltage was changed to 2500 V "
                                 "while the reading was asked for: the point is done again"));
        QVERIFY(waitErr(p, &err, "select 1000 V on the decade (it has 2500 V)"));
        QVERIFY(sim->command("voltage 1000"));
        p.write("100.4\n");
        QVERIFY(waitRows(path("rec.csv"), 1));
        p.closeWriteChannel();
        QVERIFY(p.waitForFinished(slack(10000)));
        QCOMPARE(rowsOf(path("rec.csv")), QStringList{"1,,100,1000,100.4,0.400,2,pass"});
        QVERIFY(sim->sentinel());
        QCOMPARE(commandsOf(sim->received(), "R"), (QList<QByteArray>{"R100\r", "R100\r", "R100\r", "R1000\r"}));
        QCOMPARE(commandsOf(sim->received(), "L"), (QList<QByteArray>{"L0\r", "L0\r", "L1\r"}));
    }

    // The voltage switched for a moment during a dwell and back: the M
    // asked through the dwell sees it, and the point is done again, with the
    // readings file's line for it.
    void voltageChangedDuringDwell()
    {
        QVERIFY(writeFile(path("dwell.csv"), "resistance_mohm,voltage_v,tolerance_pct,dwell_s\n100,1000,2,2\n1000,1000,1,0\n"));
        QProcess p;
        start(p, {"sweep", "dwell.csv", "--record", "rec.csv", "--readings", "readings.txt"});
        QVERIFY(sim->waitReceived(5));  // I, M, L0, R100, K: the dwell begins
        QVERIFY(sim->command("voltage 2500"));
        QVERIFY(sim->waitReceived(int(sim->received().size()) + 1, slack(5000)));
        QCOMPARE(sim->received().last(), QByteArray("M\r"));
        QVERIFY(sim->command("voltage 1000"));
        QVERIFY(p.waitForFinished(slack(30000)));
        QCOMPARE(p.exitCode(), 1);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains("point 1/2 (100 MOhm at 1000 V): the decade's test voltage was changed to 2500 V during the "
                              "dwell: the point is done again"),
                 err.constData());
        QCOMPARE(rowsOf(path("rec.csv")), (QStringList{"1,,100,1000,100.4,0.400,2,pass", "2,,1000,1000,1020,2.000,1,fail"}));
        QVERIFY(sim->sentinel());
        QCOMPARE(commandsOf(sim->received(), "R"), (QList<QByteArray>{"R100\r", "R100\r", "R1000\r"}));
    }

    // Killed at several moments (each kill -9 of a run reading from a pipe)
    // and resumed with the whole readings file, whose line N is point N's:
    // the same rows as a run never interrupted, the header kept, each point
    // done once.
    void killedAndResumed_data()
    {
        QTest::addColumn<int>("rowsBefore");
        QTest::newRow("at the first reading") << 0;
        QTest::newRow("after one row") << 1;
        QTest::newRow("after three rows") << 3;
    }
    void killedAndResumed()
    {
        QFETCH(int, rowsBefore);
        QCOMPARE(run({"sweep", "plan.csv", "--record", "whole.csv", "--readings", "readings.txt"}), 1);
        const QStringList whole = rowsOf(path("whole.csv"));
        QCOMPARE(whole.size(), 4);

        QProcess p;
        start(p, {"sweep", "plan.csv", "--record", "rec.csv", "--readings", "-"});
        const QList<QByteArray> readings = READINGS.split('\n');
        for (int k = 0; k < rowsBefore; k++)
            p.write(readings[k] + '\n');
        QVERIFY(waitRows(path("rec.csv"), rowsBefore));
        // The next point is set and waits for its reading.
        const QByteArray next = "R" + QByteArray::fromStdString(std::to_string(QList<int>{100, 1000, 4072, 16221}[rowsBefore])) + "\r";
        QDeadlineTimer deadline(slack(20000));
        while (!sim->received().contains(next) && !deadline.hasExpired())
            sim->waitReceived(int(sim->received().size()) + 1, 100);
        QVERIFY(sim->received().contains(next));
        ::kill(pid_t(p.processId()), SIGKILL);
        QVERIFY(p.waitForFinished(slack(5000)));
        // Resumed at once: a command the killed run had on the line (the K
        // after the R) may still be answered, and that reply is none of the
        // resumed run's.
        QCOMPARE(rowsOf(path("rec.csv")), whole.mid(0, rowsBefore));
        const QByteArray header = bytesOf(path("rec.csv"));

        sim->clearReceived();
        QByteArray err;
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--resume", "--readings", "readings.txt"}, nullptr, &err), 1);
        QVERIFY2(err.contains(QByteArray("resuming rec.csv")), err.constData());
        QCOMPARE(rowsOf(path("rec.csv")), whole);
        QVERIFY(bytesOf(path("rec.csv")).startsWith(header));
        // Only the points not recorded were set again.
        QVERIFY(sim->sentinel());
        QCOMPARE(commandsOf(sim->received(), "R").size(), 4 - rowsBefore);
    }

    // A crash in the middle of writing a row leaves a line without its end:
    // --resume cuts it and does that point again, with the readings file's
    // line for it.
    void halfWrittenRow()
    {
        QCOMPARE(run({"sweep", "plan.csv", "--record", "whole.csv", "--readings", "readings.txt"}), 1);
        const QByteArray whole = bytesOf(path("whole.csv"));
        const qsizetype third = whole.indexOf("\n3,") + 1;
        QVERIFY(third > 0);
        QVERIFY(writeFile(path("rec.csv"), whole.left(third + 10)));
        QCOMPARE(rowsOf(path("rec.csv")).size(), 2);
        QByteArray err;
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--resume", "--readings", "readings.txt"}, nullptr, &err), 1);
        QVERIFY2(err.contains("unfinished last line was cut"), err.constData());
        QCOMPARE(rowsOf(path("rec.csv")), rowsOf(path("whole.csv")));
        const QByteArray resumed = bytesOf(path("rec.csv"));
        QCOMPARE(resumed.left(third), whole.left(third));
        QCOMPARE(resumed.count('\n'), whole.count('\n'));

        // All recorded: --resume prints the summary without the decade.
        sim->clearReceived();
        QByteArray out;
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--resume"}, &out), 1);
        QVERIFY2(out.contains("points: 4\npassed: 2\n"), out.constData());
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>());
    }

    // --resume while another run holds the record: refused before the port
    // is touched, and a row that run completes meanwhile is never cut off.
    void resumeWhileHeld()
    {
        QVERIFY(writeFile(path("one.txt"), "100.4\n"));
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--readings", "one.txt"}), 1);
        QCOMPARE(rowsOf(path("rec.csv")).size(), 1);
        const int fd = ::open(QFile::encodeName(path("rec.csv")).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        QVERIFY(fd >= 0);
        QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        // Late replies hold a resumed run that took no lock at its
        // identification while the other run completes point 2 and ends.
        sim->clearReceived();
        QVERIFY(sim->command("fault late 250"));
        QProcess p;
        start(p, {"sweep", "plan.csv", "--record", "rec.csv", "--resume", "--readings", "readings.txt"});
        QVERIFY(QTest::qWaitFor([&] { return !sim->received().isEmpty() || p.state() == QProcess::NotRunning; }, slack(10000)));
        const QByteArray row = "2,2026-12-09T06:00:00Z,1000,1000,1000.5,0.050,1,pass\n";
        QCOMPARE(::write(fd, row.constData(), size_t(row.size())), ssize_t(row.size()));
        ::close(fd);
        const QByteArray held = bytesOf(path("rec.csv"));
        QVERIFY(sim->command("fault none"));
        QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(slack(20000)));
        QCOMPARE(bytesOf(path("rec.csv")), held);
        QCOMPARE(p.exitCode(), 2);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains("rec.csv is being written by another run"), err.constData());
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>());
    }

    // Records that must not be written to are refused before the port is
    // touched, and left byte for byte as they were.
    void recordsRefused()
    {
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--readings", "readings.txt"}), 1);
        const QByteArray before = bytesOf(path("rec.csv"));
        sim->clearReceived();

        QByteArray err;
        // Without --resume an existing record is never written to.
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--readings", "readings.txt"}, nullptr, &err), 2);
        QVERIFY2(err.contains("the record rec.csv exists"), err.constData());

        // Another plan: both hashes named.
        QByteArray other = PLAN;
        other.replace("4072,1000,3,0", "4072,1000,2,0");
        QVERIFY(writeFile(path("other.csv"), other));
        QCOMPARE(run({"sweep", "other.csv", "--record", "rec.csv", "--resume", "--readings", "readings.txt"}, nullptr, &err), 2);
        QVERIFY2(err.contains("another plan"), err.constData());
        QVERIFY(err.contains(QCryptographicHash::hash(PLAN, QCryptographicHash::Sha256).toHex()));
        QVERIFY(err.contains(QCryptographicHash::hash(other, QCryptographicHash::Sha256).toHex()));

        // Another UUT.
        QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--resume", "--uut", "other"}, nullptr, &err), 2);
        QVERIFY2(err.contains("the record of the UUT"), err.constData());

        // A header cut short.
        QVERIFY(writeFile(path("cut.csv"), before.left(before.indexOf("# plan:"))));
        QCOMPARE(run({"sweep", "plan.csv", "--record", "cut.csv", "--resume"}, nullptr, &err), 2);
        QVERIFY2(err.contains("the header is incomplete"), err.constData());
        // Nothing to resume.
        QCOMPARE(run({"sweep", "plan.csv", "--record", "none.csv", "--resume"}, nullptr, &err), 2);
        QVERIFY(!QFile::exists(path("none.csv")));
        // Line ends for the header.
        QCOMPARE(run({"sweep", "plan.csv", "--record", "new.csv", "--uut", "a\nb"}, nullptr, &err), 2);
        QVERIFY2(err.contains("--uut must not hold line ends"), err.constData());
        QVERIFY(!QFile::exists(path("new.csv")));

        QCOMPARE(bytesOf(path("rec.csv")), before);
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>());

        // A port that cannot be opened is status 3, and no record is begun.
        QCOMPARE(run({"--port", path("no-such-device"), "sweep", "plan.csv", "--record", "new.csv"}), 3);
        QVERIFY(!QFile::exists(path("new.csv")));
        // Nor for a decade that is no T-483.
        QVERIFY(sim->command("ident 12345"));
        QCOMPARE(run({"sweep", "plan.csv", "--record", "new.csv", "--readings", "readings.txt"}, nullptr, &err), 1);
        QVERIFY2(err.contains("not a T-483"), err.constData());
        QVERIFY(!QFile::exists(path("new.csv")));
    }

    // Bad plans: the line and the column named, before the port is touched.
    void badPlans_data()
    {
        QTest::addColumn<QByteArray>("plan");
        QTest::addColumn<QByteArray>("error");
        const QByteArray h = "resistance_mohm,voltage_v,tolerance_pct,dwell_s\n";
        QTest::newRow("unknown column") << QByteArray("resistance_mohm,voltage_v,tol,dwell_s\n") << QByteArray("line 1, column 3: unknown column 'tol'");
        QTest::newRow("resistance") << "# x\n" + h + "100,1000,2,0\n20000,1000,2,0\n" << QByteArray("line 4, column resistance_mohm: '20000'");
        QTest::newRow("voltage") << h + "100,2000,2,0\n" << QByteArray("line 2, column voltage_v: '2000'");
        QTest::newRow("tolerance") << h + "100,1000,-2,0\n" << QByteArray("line 2, column tolerance_pct: '-2'");
        QTest::newRow("dwell") << h + "100,1000,2,-1\n" << QByteArray("line 2, column dwell_s: '-1'");
    }
    void badPlans()
    {
        QFETCH(QByteArray, plan);
        QFETCH(QByteArray, error);
        QVERIFY(writeFile(path("bad.csv"), plan));
        QByteArray err;
        QCOMPARE(run({"sweep", "bad.csv", "--record", "rec.csv", "--readings", "readings.txt"}, nullptr, &err), 2);
        QVERIFY2(err.contains("bad plan bad.csv: " + error), err.constData());
        QVERIFY(!QFile::exists(path("rec.csv")));
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>());
    }

    // Ctrl+C while the technician is asked for a reading: the point is not
    // recorded, the decade handed back, the run resumable.
    void interrupted()
    {
        QProcess p;
        start(p, {"sweep", "plan.csv", "--record", "rec.csv"});
        p.write("100.4\n");
        QByteArray err;
        QVERIFY(waitErr(p, &err, "point 2/4 (1000 MOhm at 1000 V): the tester's reading"));
        p.write("12 Mohms\n");
        QVERIFY(waitErr(p, &err, "'12 Mohms' is no reading"));
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(slack(10000)));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(rowsOf(path("rec.csv")), QStringList{"1,,100,1000,100.4,0.400,2,pass"});
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received().last(), QByteArray("L1\r"));
        QVERIFY(p.readAllStandardOutput().contains("not done: 3"));
    }

    // The device unplugged while point 2's reading is asked for (its link,
    // as /dev/serial/by-id has them, leads nowhere): the run waits with the
    // record as it is. The same decade back on the link: point 2 is done
    // again, under remote control anew, each point recorded once. q while
    // it waits: stopped, and --resume continues.
    void deviceLost_data()
    {
        QTest::addColumn<bool>("back");
        QTest::newRow("the decade back") << true;
        QTest::newRow("q") << false;
    }
    void deviceLost()
    {
        QFETCH(bool, back);
        const QString link = path("usb-T483-if00-port0");
        QVERIFY(QFile::link(sim->device(), link));
        qputenv("T483_COM1", link.toLocal8Bit());
        const QByteArray point2 = "point 2/4 (1000 MOhm at 1000 V): ", where = "COM1 (" + link.toLocal8Bit() + ")";
        QProcess p;
        start(p, {"sweep", "plan.csv", "--record", "rec.csv"});
        p.write("100.4\n");
        QByteArray err;
        QVERIFY(waitErr(p, &err, point2 + "the tester's reading"));
        sim->kill();
        QVERIFY(waitErr(p, &err, "\n" + point2 + "the link to the decade is lost: " + where +
                                     "; waiting for it to return (q stops the run)\n"));
        QCOMPARE(rowsOf(path("rec.csv")), ROWS.mid(0, 1));
        if (!back)
            p.write("q\n");
        sim = std::make_unique<SimProcess>();
        QVERIFY(sim->start({"--ident", "48305"}));
        QVERIFY(QFile::remove(link) && QFile::link(sim->device(), link));
        if (back) {
            QVERIFY(waitErr(p, &err, point2 + "the decade is back on " + where + ": the point is done again\n" +
                                         point2 + "the tester's reading"));
            p.write("1.02G\nskip\n1.628e10\n");
        }
        QVERIFY(p.waitForFinished(slack(20000)));
        err += p.readAllStandardError();
        if (back) {
            QVERIFY(sim->sentinel());
            QCOMPARE(sim->received().mid(0, 4), (QList<QByteArray>{"I\r", "M\r", "L0\r", "R1000\r"}));
        } else {
            QVERIFY2(err.contains("stopped by the operator; 1 of 4 points recorded, --resume continues"), err.constData());
            QCOMPARE(rowsOf(path("rec.csv")), ROWS.mid(0, 1));
            QCOMPARE(run({"sweep", "plan.csv", "--record", "rec.csv", "--resume", "--readings", "readings.txt"}), 1);
        }
        QCOMPARE(rowsOf(path("rec.csv")), ROWS);
    }

    // The decade falls silent mid-run: stopped with the reason, resumable.
    void decadeSilent()
    {
        QProcess p;
        start(p, {"sweep", "plan.csv", "--record", "rec.csv", "--readings", "-"});
        p.write("100.4\n");
        QVERIFY(waitRows(path("rec.csv"), 1));
        QVERIFY(sim->command("fault silent"));
        p.write("1000\n");
        QVERIFY(p.waitForFinished(slack(20000)));
        QCOMPARE(p.exitCode(), 1);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains("no answer from the T-483"), err.constData());
        QVERIFY(err.contains("--resume continues"));
    }
};

QTEST_GUILESS_MAIN(SweepTest)
#include "tst_sweep.moc"
