// t483ctl's one-command verbs as a script runs them: the real executable
// (T483_CTL) as a child process against t483-sim. What reaches the
// instrument byte for byte, what is printed (plain and JSON), the exit
// statuses, and the port mapping, settings file and trace it shares with
// the panel.
#include "ctl_run.h"
#include "files.h"
#include "sim_process.h"
#include "slack.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray PLAN = "resistance_mohm,voltage_v,tolerance_pct,dwell_s\n100,2500,2,0\n4072,2500,3,0\n";

QList<QByteArray> frames(const QString &spaced)
{
    QList<QByteArray> list;
    for (const QString &c : spaced.split(' ', Qt::SkipEmptyParts))
        list << c.toLatin1() + "\r";
    return list;
}

}  // namespace

class CliTest : public QObject {
    Q_OBJECT
    std::unique_ptr<SimProcess> sim;

private slots:
    void init()
    {
        sim = SimProcess::onPort(1, {"--ident", "48305", "--front", "4072", "--voltage", "2500"});
        QVERIFY(sim);
    }
    void cleanup()
    {
        sim.reset();
        qunsetenv("T483_COM1");
    }

    // Each verb: its arguments, the commands the instrument gets, what is
    // printed plain and as JSON.
    void verbs_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("identify") << QStringList{"identify"} << "I" << QByteArray("48305\nT-483\n")
                                  << QByteArray(R"({"identification":48305,"t483":true})");
        QTest::newRow("get") << QStringList{"get"} << "K" << QByteArray("4072\n")
                             << QByteArray(R"({"resistance_mohm":4072})");
        QTest::newRow("voltage") << QStringList{"voltage"} << "M" << QByteArray("2500\n")
                                 << QByteArray(R"({"voltage_v":2500})");
        QTest::newRow("set") << QStringList{"set", "16221"} << "L0 R16221 K" << QByteArray("16221\n")
                             << QByteArray(R"({"remote":true,"resistance_mohm":16221})");
        QTest::newRow("set 0") << QStringList{"set", "0"} << "L0 R0 K" << QByteArray("0\n")
                               << QByteArray(R"({"remote":true,"resistance_mohm":0})");
        QTest::newRow("local") << QStringList{"local"} << "L1" << QByteArray()
                               << QByteArray(R"({"remote":false})");
        QTest::newRow("off") << QStringList{"off"} << "P0" << QByteArray() << QByteArray(R"({"power":false})");
        QTest::newRow("raw") << QStringList{"raw", "X9"} << "X9" << QByteArray("?\n")
                             << QByteArray(R"({"command":"X9","reply":"?"})");
    }
    void verbs()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, sent);
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, json);
        CtlRun r = runCtl(args);
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, plain);
        QCOMPARE(r.err, QByteArray());
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), frames(sent));

        // --json before or after the verb; one object, one line.
        sim->clearReceived();
        QVERIFY(sim->command("power on"));
        r = runCtl(QStringList{"--json"} + args);
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, json + "\n");
        QVERIFY(sim->command("power on"));
        r = runCtl(args + QStringList{"--json"});
        QCOMPARE(r.out, json + "\n");
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), frames(sent + " " + sent));
    }

    // A wrong command line is refused with status 2 before the port is
    // touched: nothing reaches the instrument.
    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("no verb") << QStringList{};
        QTest::newRow("unknown verb") << QStringList{"frob"};
        QTest::newRow("set beyond the decade") << QStringList{"set", "16222"};
        QTest::newRow("set negative") << QStringList{"set", "--", "-1"};
        QTest::newRow("set fraction") << QStringList{"set", "4.5"};
        QTest::newRow("set text") << QStringList{"set", "4k"};
        QTest::newRow("set nothing") << QStringList{"set"};
        QTest::newRow("get too much") << QStringList{"get", "5"};
        QTest::newRow("raw nothing") << QStringList{"raw"};
        QTest::newRow("raw too long") << QStringList{"raw", QString(84, 'K')};
        QTest::newRow("raw with a line end") << QStringList{"raw", "K\rK"};
        QTest::newRow("COM9") << QStringList{"--port", "COM9", "get"};
        QTest::newRow("COM0") << QStringList{"--port", "com0", "get"};
        QTest::newRow("unknown option") << QStringList{"get", "--frob"};
        QTest::newRow("port without value") << QStringList{"get", "--port"};
    }
    void usageErrors()
    {
        QFETCH(QStringList, args);
        const CtlRun r = runCtl(args);
        QCOMPARE(r.status, 2);
        QCOMPARE(r.out, QByteArray());
        QVERIFY(!r.err.isEmpty());
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received().size(), 0);
    }

    void helpAndVersion()
    {
        CtlRun r = runCtl({"--help"});
        QCOMPARE(r.status, 0);
        QVERIFY(r.out.contains("serve"));
        QVERIFY(r.out.contains("Exit status"));
        r = runCtl({"set", "--help"});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.startsWith("Usage: t483ctl set [options] N"), r.out.constData());
        r = runCtl({"--version"});
        QCOMPARE(r.status, 0);
        QVERIFY(QRegularExpression("^t483ctl [0-9]+\\.[0-9]+").match(QString(r.out)).hasMatch());
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received().size(), 0);
    }

    // Status 1: no answer, a reply that is no value (or no whole reply), a
    // setting K does not confirm, or no T-483.
    void instrumentFails_data()
    {
        QTest::addColumn<QString>("simLine");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("silent") << "fault silent" << QStringList{"get"} << QByteArray();
        QTest::newRow("silent on set") << "fault silent" << QStringList{"set", "5"} << QByteArray();
        QTest::newRow("cut short") << "fault split 400" << QStringList{"identify"} << QByteArray();
        QTest::newRow("reply without a number") << "front abc" << QStringList{"get"} << QByteArray();
        QTest::newRow("not a T-483") << "ident 4830" << QStringList{"identify"} << QByteArray("4830\nnot a T-483\n");
        QTest::newRow("identification without digits") << "ident abc" << QStringList{"identify"}
                                                       << QByteArray("3\nnot a T-483\n");
        QTest::newRow("switched off") << "fault none" << QStringList{"voltage"} << QByteArray();
        QTest::newRow("20 bytes without CR") << "fault long" << QStringList{"get"} << QByteArray();
        QTest::newRow("voltage garbled") << "fault garbage" << QStringList{"voltage"} << QByteArray();
        QTest::newRow("set garbled") << "fault garbage" << QStringList{"set", "5"} << QByteArray();
    }
    void instrumentFails()
    {
        QFETCH(QString, simLine);
        QFETCH(QStringList, args);
        QFETCH(QByteArray, out);
        QVERIFY(sim->command(simLine));
        if (QTest::currentDataTag() == QByteArray("switched off"))
            QCOMPARE(runCtl({"off"}).status, 0);
        const CtlRun r = runCtl(args);
        QCOMPARE(r.status, 1);
        QCOMPARE(r.out, out);
        if (out.isEmpty())
            QVERIFY2(r.err.contains("no answer from a T-483 on COM1 (" + sim->device().toLatin1() + ")"),
                     r.err.constData());
    }

    // A run killed with its command on the line, the reply late: the next
    // run, started at once, reads that reply as none of its own.
    void afterAKilledRun()
    {
        QVERIFY(sim->command("fault late 150"));
        QProcess killed;
        killed.setProgram(qEnvironmentVariable("T483_CTL"));
        killed.setArguments({"voltage"});
        killed.start();
        QVERIFY(sim->waitReceived(1));
        ::kill(pid_t(killed.processId()), SIGKILL);
        QVERIFY(killed.waitForFinished(slack(5000)));
        const CtlRun r = runCtl({"identify"});
        QCOMPARE(r.out, QByteArray("48305\nT-483\n"));
        QCOMPARE(r.status, 0);
    }

    // Status 3, with the reason the panel gives, and nothing sent.
    void portRefused()
    {
        // Held by another program (the panel, a server) for its life.
        const int fd = ::open(sim->device().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        QVERIFY(flock(fd, LOCK_EX | LOCK_NB) == 0);
        CtlRun r = runCtl({"get"});
        ::close(fd);
        QCOMPARE(r.status, 3);
        QVERIFY2(r.err.contains("Cannot open COM1 (" + sim->device().toLatin1() + "): in use by another program"),
                 r.err.constData());

        r = runCtl({"--port", "/dev/no-such-tty", "get"});
        QCOMPARE(r.status, 3);
        QVERIFY2(r.err.contains("Cannot open COM1 (/dev/no-such-tty)"), r.err.constData());
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received().size(), 0);
    }

    // COM numbers are mapped as for the panel: T483_COM<n>, then the
    // settings file's com<n>, then /dev/ttyS<n-1>; a device given is COM1.
    void portMapping()
    {
        QTemporaryDir config;
        QVERIFY(QDir().mkpath(config.filePath("t483")));
        QFile ini(config.filePath("t483/T483.INI"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[t483]\ncom3 = " + sim->device().toLocal8Bit() + "\n");
        ini.close();
        const CtlSetup env{.env = {{"XDG_CONFIG_HOME", config.path()}, {"T483_COM1", ""}}};

        CtlRun r = runCtl({"--port", "COM3", "get"}, env);
        QCOMPARE(r.status, 0);
        QCOMPARE(r.out, QByteArray("4072\n"));
        // The environment wins over the settings file.
        CtlSetup overridden = env;
        overridden.env.insert("T483_COM3", "/dev/no-such-tty");
        r = runCtl({"-p", "com3", "get"}, overridden);
        QCOMPARE(r.status, 3);
        // A device given by name.
        r = runCtl({"--port=" + sim->device(), "get"}, env);
        QCOMPARE(r.status, 0);
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), frames("K K"));
    }

    // The devices the panel's COM menu lists, each usable as --port: an
    // adapter's stable link in /dev/serial/by-id (here T483_BY_ID_DIR).
    void ports()
    {
        QTemporaryDir byId;
        const QString link = byId.filePath("usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0");
        QVERIFY(QFile::link(sim->device(), link));
        const CtlSetup setup{.env = {{"T483_BY_ID_DIR", byId.path()}}};
        CtlRun r = runCtl({"ports"}, setup);
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.startsWith(link.toLocal8Bit() + "\t"), r.out.constData());
        r = runCtl({"--json", "ports"}, setup);
        QCOMPARE(r.status, 0);
        const QJsonArray listed = QJsonDocument::fromJson(r.out).object().value("ports").toArray();
        QVERIFY(!listed.isEmpty());
        QCOMPARE(listed.first().toObject().value("device").toString(), link);
        r = runCtl({"--port", link, "get"});
        QCOMPARE(r.out, QByteArray("4072\n"));
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), frames("K"));
    }

    // Inputs that are no regular file, or too long, are refused at once,
    // before the port is opened: nothing is read without bound or waited on.
    void sweepInputs_data()
    {
        QTest::addColumn<QStringList>("args");  // PLAN, RECORD, DIR, FIFO, HUGE stand for paths
        QTest::addColumn<QString>("message");
        QTest::newRow("plan a device") << QStringList{"/dev/zero", "--record", "RECORD"} << "/dev/zero: a device";
        QTest::newRow("plan a pipe") << QStringList{"FIFO", "--record", "RECORD"} << "a pipe, not a file";
        QTest::newRow("plan over 1 MiB") << QStringList{"HUGE", "--record", "RECORD"} << "larger than 1 MiB";
        QTest::newRow("record a device, resumed") << QStringList{"PLAN", "--record", "/dev/zero", "--resume"}
                                                  << "/dev/zero: a device";
        QTest::newRow("readings a folder") << QStringList{"PLAN", "--record", "RECORD", "--readings", "DIR"}
                                           << "a folder, not a file";
    }
    void sweepInputs()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("plan.csv"), PLAN));
        QVERIFY(mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600) == 0);
        QVERIFY(writeFile(dir.filePath("huge.csv"), PLAN) && QFile(dir.filePath("huge.csv")).resize((1 << 20) + 1));
        const QMap<QString, QString> paths = {{"PLAN", dir.filePath("plan.csv")}, {"RECORD", dir.filePath("rec.csv")},
                                              {"DIR", dir.path()}, {"FIFO", dir.filePath("fifo")},
                                              {"HUGE", dir.filePath("huge.csv")}};
        for (QString &a : args)
            a = paths.value(a, a);
        const CtlRun r = runCtl(QStringList{"sweep"} + args, {.timeoutMs = 10000});
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains(message.toUtf8()), r.err.constData());
        QVERIFY(!QFile::exists(dir.filePath("rec.csv")));
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received().size(), 0);
    }

    // Records at their edges: an empty one (a full disk or a kill while it
    // was made) is started, by a new run or by --resume; one that reaches
    // the file size limit (ulimit -f) stops the run as a full disk does,
    // the decade handed back.
    void recordEdges()
    {
        QTemporaryDir dir;
        const QString plan = dir.filePath("plan.csv"), readings = dir.filePath("readings.txt");
        QVERIFY(writeFile(plan, PLAN) && writeFile(readings, "100\n4072\n"));
        for (const QStringList &resume : {QStringList{}, QStringList{"--resume"}}) {
            const QString rec = dir.filePath("empty" + resume.join("") + ".csv");
            QVERIFY(writeFile(rec, {}));
            const CtlRun r = runCtl(QStringList{"sweep", plan, "--record", rec, "--readings", readings} + resume);
            QVERIFY2(r.status == 0, r.err.constData());
            QFile made(rec);
            QVERIFY(made.open(QIODevice::ReadOnly));
            QCOMPARE(made.readAll().count(",pass,"), 2);  // the verdicts of both rows
        }

        const QString rec = dir.filePath("limited.csv");
        QVERIFY(writeFile(readings, "100\n"));
        QCOMPARE(runCtl({"sweep", plan, "--record", rec, "--readings", readings}).status, 1);
        QVERIFY(writeFile(readings, "100\n4072\n"));
        sim->clearReceived();
        rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit limited = saved;
        limited.rlim_cur = rlim_t(QFileInfo(rec).size());  // inherited by t483ctl
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const CtlRun r = runCtl({"sweep", plan, "--record", rec, "--readings", readings, "--resume"});
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("cannot write the record: File too large"), r.err.constData());
        QVERIFY(sim->sentinel());
        QVERIFY(sim->received().contains("L1\r"));
    }

    // The panel's trace, on standard error with T483_TRACE=1.
    void trace()
    {
        const CtlRun r = runCtl({"set", "47"}, {.env = {{"T483_TRACE", "1"}}});
        QCOMPARE(r.status, 0);
        const QList<QByteArray> lines = r.err.trimmed().split('\n');
        QCOMPARE(lines.size(), 6);
        QVERIFY2(lines[0].endsWith("COM1 > \"L0\"") && lines[2].endsWith("COM1 > \"R47\"") &&
                     lines[3].endsWith("COM1 < \"R47\"") && lines[5].endsWith("COM1 < \"47\""),
                 r.err.constData());
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
