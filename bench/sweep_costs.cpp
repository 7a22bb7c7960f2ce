// What a calibration sweep costs beyond its dwell times, t483ctl against
// t483-sim, printed as one table:
//   - a sweep of POINTS points with dwell 0 and three readings a point from
//     a file (each point's uncertainty worked out and recorded), the
//     simulator paced at 1200 baud and unpaced: the wall time of each point
//     (from one point's result line on standard error to the next one's;
//     M, R<n> and K on the line, the row written and fsynced), its median,
//     minimum and maximum, and the bytes a point puts on the wire;
//   - --resume of a record of ROWS rows: to the summary when every point is
//     recorded (the port untouched), and with one point left, paced.
//
//   t483-bench-sweep T483CTL SIM [POINTS] [ROWS]     (20 points, 1000 rows)
#include "ctl/record.h"
#include "ctl/record_file.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Sim {
    QProcess process;
    QString device;
    bool start(const QString &program, bool paced)
    {
        process.start(program, paced ? QStringList{"--quiet", "--pace"} : QStringList{"--quiet"});
        if (!process.waitForStarted(5000))
            return false;
        while (!process.canReadLine())
            if (!process.waitForReadyRead(5000))
                return false;
        device = QString::fromLocal8Bit(process.readLine().trimmed());
        return device.startsWith('/');
    }
    ~Sim()
    {
        process.kill();
        process.waitForFinished();
    }
};

// t483ctl with these arguments in dir, COM1 at the device; the times (ms
// from its start) at which each "point k/N ...: " result line came, its
// total time and exit status.
struct Run {
    std::vector<double> pointAt;
    double total = 0;
    int status = -1;
};

Run runCtl(const QString &ctl, const QString &device, const QString &dir, const QStringList &args)
{
    Run run;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("T483_COM1", device);
    env.insert("XDG_CONFIG_HOME", dir + "/no-config");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir);
    p.setReadChannel(QProcess::StandardError);
    QElapsedTimer t;
    t.start();
    p.start(ctl, args);
    p.closeWriteChannel();
    QByteArray pending;
    while (p.state() != QProcess::NotRunning || p.bytesAvailable()) {
        p.waitForReadyRead(50);
        pending += p.readAllStandardError();
        qsizetype nl;
        while ((nl = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(nl);
            pending.remove(0, nl + 1);
            if (line.startsWith("point ") && (line.endsWith(": pass") || line.endsWith(": fail") || line.endsWith(": skipped")))
                run.pointAt.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        if (p.state() == QProcess::NotRunning && !p.bytesAvailable())
            break;
    }
    p.waitForFinished();
    run.total = double(t.nsecsElapsed()) / 1e6;
    run.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return run;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// A plan of n points with dwell 0 cycling through resistances of 3 to 5
// digits, and readings that pass each; with `lab`, three readings a point
// and a tolerance of % + digits of a resolution, so that each point's
// budget is worked out and recorded.
QByteArray plan(int n, QByteArray *readings, bool lab = false)
{
    static const int values[] = {100, 1000, 4072, 16221, 250};
    QByteArray text = lab ? "resistance_mohm,voltage_v,tolerance_pct,dwell_s,readings,tolerance_digits,resolution_mohm\n"
                          : "resistance_mohm,voltage_v,tolerance_pct,dwell_s\n";
    for (int k = 0; k < n; k++) {
        text += QByteArray::number(values[k % 5]) + (lab ? ",1000,2,0,3,2,1\n" : ",1000,2,0\n");
        for (int r = 0; readings && r < (lab ? 3 : 1); r++)
            *readings += QByteArray::number(values[k % 5] + r) + "\n";
    }
    return text;
}

void row(const char *what, const std::vector<double> &v, const char *note)
{
    if (v.empty()) {
        printf("%-34s %6s\n", what, "failed");
        return;
    }
    printf("%-34s %6zu %9.1f %9.1f %9.1f  %s\n", what, v.size(), median(v), *std::min_element(v.begin(), v.end()),
           *std::max_element(v.begin(), v.end()), note);
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: %s T483CTL SIM [POINTS] [ROWS]\n", argv[0]);
        return 2;
    }
    const QString ctl = QFileInfo(argv[1]).absoluteFilePath(), simProgram = QFileInfo(argv[2]).absoluteFilePath();
    const int points = argc > 3 ? atoi(argv[3]) : 20;
    const int rows = argc > 4 ? atoi(argv[4]) : 1000;
    QTemporaryDir dir;

    printf("%-34s %6s %9s %9s %9s\n", "what (ms)", "count", "median", "min", "max");
    QByteArray readings;
    writeFile(dir.filePath("plan.csv"), plan(points, &readings, true));
    writeFile(dir.filePath("readings.txt"), readings);
    for (bool paced : {true, false}) {
        Sim sim;
        if (!sim.start(simProgram, paced))
            return 1;
        const QString record = paced ? "paced.csv" : "unpaced.csv";
        const Run r = runCtl(ctl, sim.device, dir.path(),
                             {"sweep", "plan.csv", "--record", record, "--readings", "readings.txt"});
        std::vector<double> per;
        for (size_t k = 1; k < r.pointAt.size(); k++)
            per.push_back(r.pointAt[k] - r.pointAt[k - 1]);
        // M and its reply 2 + 5 bytes, R<n> and its echo 2 x (5 to 7), K and its reply 2 + (4 to 6).
        row(paced ? "point, 1200 baud" : "point, unpaced", per,
            paced ? "on the wire: M 7 + R 10..14 + K 6..8 bytes = 192..242 ms" : "");
        if (r.status != 0 || int(r.pointAt.size()) != points)
            printf("  (the sweep ended %d after %zu points)\n", r.status, r.pointAt.size());
        if (paced)
            row("start to the first point, 1200 b", {r.pointAt.empty() ? 0 : r.pointAt[0]}, "I, then the first point with L0");
    }

    // A record of `rows` rows for a plan of rows + 1 points, made here.
    const QByteArray bigPlan = plan(rows + 1, nullptr);
    writeFile(dir.filePath("big.csv"), bigPlan);
    writeFile(dir.filePath("all.csv"), plan(rows, nullptr));
    // A readings file's line N is point N's: the resumed point's is the last.
    QByteArray lastReadings;
    plan(rows + 1, &lastReadings);
    writeFile(dir.filePath("last.txt"), lastReadings);
    auto makeRecord = [&](const QString &name, const QByteArray &planBytes) {
        RecordFile file;
        std::string error;
        const std::vector<std::pair<std::string, std::string>> header = {
            {"program", "t483ctl"}, {"started_utc", "2026-12-08T10:00:00Z"}, {"decade_identification", "48300"},
            {"port", "COM1"}, {"device", "/dev/null"}, {"uut", ""}, {"operator", ""}, {"plan", "plan.csv"},
            {"plan_sha256", QCryptographicHash::hash(planBytes, QCryptographicHash::Sha256).toHex().toStdString()},
            {"plan_points", std::to_string(planBytes.count('\n') - 1)}, {"decision_rule", DECISION_RULE}};
        if (!file.create(dir.filePath(name).toStdString(), header, &error))
            return false;
        static const int values[] = {100, 1000, 4072, 16221, 250};
        for (int k = 0; k < rows; k++) {
            const int v = values[k % 5];
            RecordRow row;
            row.point = k + 1;
            row.time_utc = "2026-12-08T10:00:01Z";
            row.resistance_mohm = v;
            row.voltage_v = 1000;
            row.reading_mohm = double(v);
            row.error_pct = 0.0;
            row.tolerance_pct = 2;
            row.verdict = Verdict::Pass;
            if (!file.append(row, &error))
                return false;
        }
        return true;
    };
    std::vector<double> done, onePoint;
    Sim sim;
    if (!sim.start(simProgram, true))
        return 1;
    for (int round = 0; round < 5; round++) {
        QFile::remove(dir.filePath("rec_all.csv"));
        QFile::remove(dir.filePath("rec_big.csv"));
        if (!makeRecord("rec_all.csv", plan(rows, nullptr)) || !makeRecord("rec_big.csv", bigPlan))
            return 1;
        const Run a = runCtl(ctl, sim.device, dir.path(), {"sweep", "all.csv", "--record", "rec_all.csv", "--resume"});
        if (a.status == 0)
            done.push_back(a.total);
        const Run b = runCtl(ctl, sim.device, dir.path(),
                             {"sweep", "big.csv", "--record", "rec_big.csv", "--resume", "--readings", "last.txt"});
        if (b.status == 0)
            onePoint.push_back(b.total);
    }
    const QByteArray label = "resume " + QByteArray::number(rows) + " rows, all done";
    row(label.constData(), done, "read, checked, summary; no port");
    const QByteArray label2 = "resume " + QByteArray::number(rows) + " rows + 1 point";
    row(label2.constData(), onePoint, "1200 baud: I, M, L0, R, K, M, L1 and the start");
    return 0;
}
