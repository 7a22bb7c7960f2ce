// Faults of the link seen from the real panel, offscreen, against t483-sim:
// an instrument that vanishes, falls silent or answers nonsense mid-session,
// replies late or too long, and ports that cannot be had. Each ends in a
// pop-up that says what is wrong or in the panel carrying on; none may crash
// it, block it beyond the read timeout, or leave it showing wrong values once
// the instrument answers properly again.
#include "panel_session.h"
#include "sim_process.h"

#include <QElapsedTimer>
#include <QProcess>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <memory>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One command and its reply may keep the panel busy for the 0.3 s read
// timeout; a local-control tick sends two.
constexpr int READ_TIMEOUT_MS = 300;
constexpr int SLACK_MS = 250;

int failColour()
{
    int v = -1;
    GetCtrlAttribute(pnl_hl, hl_com, ATTR_FAIL_COLOR, &v);
    return v;
}

// Runs the event loop for ms and returns the longest stretch in which it
// handled no event: the longest any callback kept the panel from answering.
int longestStall(int ms)
{
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, worst = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        worst = qMax(worst, now - last);
        last = now;
    });
    probe.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return int(qMax(worst, clock.elapsed() - last));
}

// One run of the real executable, offscreen, in a folder of its own.
struct ProgramRun {
    int status = -1000;  // exit code; -1000 when it crashed or did not end
    qint64 ms = 0;       // wall time from start to end
    QByteArray out, err;
};

// Runs T483_EXE with this script and T483.INI, calling `during` once it has
// started; as the user "nobody" when asked (and running as root); with the
// link trace on its standard error when asked.
ProgramRun runProgram(const QString &script, const std::function<void()> &during = {}, bool asNobody = false,
                      bool trace = false)
{
    ProgramRun run;
    QTemporaryDir dir;
    QFile ini(dir.filePath("T483.INI"));
    if (!dir.isValid() || !ini.open(QIODevice::WriteOnly) || ini.write("[t483]\nlanguage=3\n") < 0)
        return run;
    ini.close();
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("T483_SCRIPT", script);
    if (trace)
        env.insert("T483_TRACE", "1");
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(dir.path());
    if (asNobody) {
        QFile::setPermissions(dir.path(), QFile::Permissions(0x7777));
        env.insert("XDG_RUNTIME_DIR", dir.path());
        env.insert("HOME", dir.path());
        p.setProcessEnvironment(env);
        p.setChildProcessModifier([] {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(101);
        });
    }
    QElapsedTimer took;
    took.start();
    p.start(qEnvironmentVariable("T483_EXE"), {});
    if (!p.waitForStarted(5000))
        return run;
    if (during)
        during();
    const bool ended = p.waitForFinished(20000);
    run.ms = took.elapsed();
    if (!ended) {
        p.kill();
        p.waitForFinished();
        qWarning("the program did not end");
    }
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    if (ended && p.exitStatus() == QProcess::NormalExit)
        run.status = p.exitCode();
    return run;
}

} // namespace

class FaultsTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PanelSession> s;
    std::unique_ptr<SimProcess> sim;

    QList<int> lamps() const { return {s->value(hl_LED3), s->value(hl_LED2), s->value(hl_LED1)}; }

    // The panel mirrors the front panel's 4072 MOhm and lights 2.5 kV.
    bool mirrorsInstrument(int timeoutMs = 3000)
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            if (R == 4072 && s->knobs() == QList<int>{4, 0, 7, 2} && s->numericText() == "4072" &&
                lamps() == QList<int>{0, 1, 0})
                return true;
            if (t.elapsed() >= timeoutMs)
                break;
            QTest::qWait(20);
        }
        qWarning("R %d, knobs %d %d %d %d, numeric %s, lamps %d %d %d", R, s->knobs()[0], s->knobs()[1],
                 s->knobs()[2], s->knobs()[3], qPrintable(s->numericText()), lamps()[0], lamps()[1], lamps()[2]);
        return false;
    }

    // Connected under local control to a simulator on COM1 whose front
    // panel says 4072 MOhm at 2.5 kV, and mirroring it.
    bool connected()
    {
        sim = std::make_unique<SimProcess>();
        if (!sim->start({"--front", "4072", "--voltage", "2500"}))
            return false;
        sim->useAsPort(1);
        if (!s->start("[t483]\nlanguage=3\n"))
            return false;
        s->click("start");
        return run == 1 && mirrorsInstrument();
    }

    // Exit is still quick and clean: status 0, the port closed, within the
    // time of its two commands' reads.
    void exitsPromptly(int limitMs)
    {
        QElapsedTimer took;
        took.start();
        s->click("konec");
        QVERIFY2(took.elapsed() < limitMs, qPrintable(QString::number(took.elapsed())));
        QCOMPARE(exitStatuses, QList<int>{0});
        QCOMPARE(FlushInQ(1), int(RS232_NOT_OPEN));
    }

    // Start fails on COM1 with a pop-up naming the device and this reason,
    // in the run-time's own words; the panel stays ready for another try.
    void startRefused(const QByteArray &device, const char *reason)
    {
        if (!s->window)
            QVERIFY(s->start("[t483]\nlanguage=3\n"));
        qputenv("T483_COM1", device);
        s->click("start");
        QCOMPARE(run, 0);
        QCOMPARE(popups.size(), 1);
        QCOMPARE(popups[0].title, QByteArray("T-483 Control"));
        QCOMPARE(popups[0].text, "Cannot open COM1 (" + device + "): " + reason);
        QCOMPARE(failColour(), 0xFF0000);
        QCOMPARE(FlushInQ(1), int(RS232_NOT_OPEN));
        QVERIFY(!s->dimmed(hl_start));
        QVERIFY(!s->dimmed(hl_com));
        QVERIFY(s->dimmed(hl_remote));
    }

private slots:
    void init()
    {
        s = std::make_unique<PanelSession>();
        qunsetenv("T483_COM1");
    }
    void cleanup()
    {
        s.reset();
        sim.reset();
    }

    // The instrument or its adapter goes away mid-session. Every read fails
    // at once; the panel keeps the last values, shows no voltage, keeps
    // answering the operator and raises no pop-up; Exit still ends with 0.
    void instrumentGone_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("unplugged") << "kill";
        QTest::newRow("hangs up") << "hangup";
    }
    void instrumentGone()
    {
        QFETCH(QString, how);
        QVERIFY(connected());
        if (how == "kill") {
            sim->kill();
        } else {
            QVERIFY(sim->command("fault hangup 1"));
            QTRY_VERIFY(sim->hungUp());
        }
        const int stall = longestStall(1000);
        QVERIFY2(stall < 2 * READ_TIMEOUT_MS + SLACK_MS, qPrintable(QString::number(stall)));
        QCOMPARE(i, int(RS232_IO));
        QCOMPARE(R, 4072);
        QCOMPARE(s->knobs(), (QList<int>{4, 0, 7, 2}));
        QCOMPARE(s->numericText(), QString("4072"));
        QCOMPARE(lamps(), (QList<int>{0, 0, 0}));
        QVERIFY(popups.isEmpty());

        // The operator can still take remote control and set a resistance.
        s->click("remote");
        QCOMPARE(remote, 1);
        QVERIFY(!s->dimmed(hl_R1));
        s->turnKnob("R1", 3);
        QCOMPARE(s->numericText(), QString("4032"));
        QVERIFY(popups.isEmpty());
        exitsPromptly(2 * READ_TIMEOUT_MS);
    }

    // An instrument that stops answering: each read waits out its 0.3 s and
    // no longer, the panel keeps its last values, and Exit still sends L1
    // and P0 and ends.
    void instrumentFallsSilent()
    {
        QVERIFY(connected());
        QVERIFY(sim->command("fault silent"));
        const int stall = longestStall(1500);
        QVERIFY2(stall >= READ_TIMEOUT_MS && stall < 2 * READ_TIMEOUT_MS + SLACK_MS,
                 qPrintable(QString::number(stall)));
        QCOMPARE(i, 0);
        QCOMPARE(s->knobs(), (QList<int>{4, 0, 7, 2}));
        QCOMPARE(lamps(), (QList<int>{0, 0, 0}));
        QVERIFY(popups.isEmpty());
        sim->clearReceived();
        exitsPromptly(2 * READ_TIMEOUT_MS + 2 * SLACK_MS);
        QVERIFY(sim->waitReceived(2));
        QCOMPARE(without(sim->received(), {"K", "M"}), (QList<QByteArray>{"L1\r", "P0\r"}));
    }

    // Replies that are no numbers, or longer than any reply may be, while
    // connected: the reply stays within its 20 bytes, the resistance keeps
    // its last value or takes what the scan finds, and once the instrument
    // answers properly again the panel shows what it says.
    void nonsenseReplies_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("garbage") << "garbage";
        QTest::newRow("over-long, no CR") << "long";
    }
    void nonsenseReplies()
    {
        QFETCH(QString, fault);
        QVERIFY(connected());
        QVERIFY(sim->command("fault " + fault));
        const int stall = longestStall(1200);
        QVERIFY2(stall < 2 * READ_TIMEOUT_MS + SLACK_MS, qPrintable(QString::number(stall)));
        QVERIFY(i >= 0 && i <= 20);
        QVERIFY(std::strlen(radek) <= 20);
        QCOMPARE(lamps(), (QList<int>{0, 0, 0}));
        if (fault == "garbage")
            QCOMPARE(R, 4072);
        QVERIFY(popups.isEmpty());

        QVERIFY(sim->command("fault none"));
        QVERIFY(mirrorsInstrument());
        QVERIFY(popups.isEmpty());
        exitsPromptly(SLACK_MS);
    }

    // A reply whose second half comes after a pause: within the read
    // timeout it is read whole; past it, one reading is cut short, and the
    // late half must not be taken for the reply to a later command.
    void splitReplies_data()
    {
        QTest::addColumn<int>("pauseMs");
        QTest::newRow("pause within the timeout") << 120;
        QTest::newRow("pause past the timeout") << 450;
    }
    void splitReplies()
    {
        QFETCH(int, pauseMs);
        QVERIFY(connected());
        QVERIFY(sim->command(QString("fault split %1").arg(pauseMs)));
        const int stall = longestStall(1500);
        QVERIFY2(stall < 2 * READ_TIMEOUT_MS + SLACK_MS, qPrintable(QString::number(stall)));
        if (pauseMs < READ_TIMEOUT_MS) {
            QVERIFY2(stall >= pauseMs, qPrintable(QString::number(stall)));
            QVERIFY(mirrorsInstrument(0));
        }
        QVERIFY(popups.isEmpty());

        QVERIFY(sim->command("fault none"));
        QTest::qWait(2 * pauseMs);  // the last late halves arrive
        QVERIFY(mirrorsInstrument());
        // And it stays so: tick after tick, each reply to its own command.
        for (int k = 0; k < 5; k++) {
            QTest::qWait(200);
            QVERIFY(mirrorsInstrument(0));
        }
        exitsPromptly(SLACK_MS);
    }

    // Bytes nobody asked for (line noise, a reply that came too late): at
    // most the reply being awaited is spoilt, never all those after it.
    void strayReply()
    {
        QVERIFY(connected());
        QVERIFY(sim->command("send 2500\\r"));
        QTest::qWait(500);
        for (int k = 0; k < 5; k++) {
            QVERIFY(mirrorsInstrument(400));
            QTest::qWait(200);
        }
        QVERIFY(popups.isEmpty());
    }

    // A port that another program holds: "in use", nothing sent; once the
    // other lets go, Start gets it.
    void portHeldElsewhere()
    {
        sim = std::make_unique<SimProcess>();
        QVERIFY(sim->start());
        const QByteArray device = sim->device().toLocal8Bit();
        const int holder = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(holder >= 0);
        QCOMPARE(flock(holder, LOCK_EX | LOCK_NB), 0);
        startRefused(device, "in use by another program");
        ::close(holder);
        QTest::qWait(100);
        QCOMPARE(sim->received(), QList<QByteArray>{});

        s->click("start");
        QCOMPARE(run, 1);
        QCOMPARE(popups.size(), 1);
        QVERIFY(sim->waitReceived(1));
        QCOMPARE(sim->received().first(), QByteArray("I\r"));
    }

    // A serial device the user may not open. Root may open anything, so as
    // root the open is made with the file-system rights of "nobody".
    void portWithoutPermission()
    {
        sim = std::make_unique<SimProcess>();
        QVERIFY(sim->start());
        const QByteArray device = sim->device().toLocal8Bit();
        struct stat st;
        QCOMPARE(::stat(device.constData(), &st), 0);
        const bool root = geteuid() == 0;
        QVERIFY(s->start("[t483]\nlanguage=3\n"));
        {
            // The rights come back however this block is left.
            struct Restore {
                std::function<void()> undo;
                ~Restore() { undo(); }
            } restore{[&] {
                if (root)
                    setfsuid(0);
                else
                    ::chmod(device.constData(), st.st_mode & 07777);
            }};
            if (root) {
                setfsuid(65534);
                if (setfsuid(65534) != 65534)
                    QSKIP("cannot take the rights of another user here");
            } else {
                QCOMPARE(::chmod(device.constData(), 0), 0);
            }
            startRefused(device, "permission denied");
        }
        QCOMPARE(sim->received(), QList<QByteArray>{});
        s->click("start");
        QCOMPARE(run, 1);
    }

    // Paths that name no serial port: refused at Start, with the device
    // named in the pop-up; a very long one is cut, never overrun.
    void notASerialPort_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("/dev/null") << QByteArray("/dev/null") << QByteArray("not a serial port");
        QTest::newRow("regular file") << QByteArray("file") << QByteArray("not a serial port");
        QTest::newRow("directory") << QByteArray("dir") << QByteArray("not a serial port");
        QTest::newRow("named pipe") << QByteArray("fifo") << QByteArray("not a serial port");
        QTest::newRow("no such file") << QByteArray("missing") << QByteArray("no such device");
    }
    void notASerialPort()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, reason);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        if (!path.startsWith('/')) {
            const QByteArray name = path;
            path = QFile::encodeName(dir.filePath(QString::fromLatin1(name)));
            if (name == "file") {
                QFile f(QString::fromLocal8Bit(path));
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write("48300\r");
            } else if (name == "dir") {
                QVERIFY(QDir().mkdir(QString::fromLocal8Bit(path)));
            } else if (name == "fifo") {
                QCOMPARE(::mkfifo(path.constData(), 0600), 0);
            }
        }
        startRefused(path, reason.constData());
    }

    // The real program through a session whose instrument fails once
    // Start has found it: it never crashes, stalls or pops anything up, and
    // Exit still ends it with status 0 within moments.
    // The link trace shows that the fault reached the program.
    void programCarriesOn_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QByteArray>("seen");  // a reply as the trace shows it
        QTest::newRow("unplugged") << "kill" << QByteArray("COM1 < (failed: -8)");
        QTest::newRow("hangs up") << "hangup 1" << QByteArray("COM1 < (failed: -8)");
        QTest::newRow("falls silent") << "silent" << QByteArray("COM1 < \"\"\n");
        QTest::newRow("garbage") << "garbage" << QByteArray("COM1 < \"x#?\\xFF\"\n");
        QTest::newRow("over-long") << "long" << QByteArray("COM1 < \"0123456789ABCDEFGHIJ\"\n");
        QTest::newRow("split past the timeout") << "split 450" << QByteArray("COM1 < \"10\"\n");  // "100" cut
    }
    void programCarriesOn()
    {
        QFETCH(QString, fault);
        QFETCH(QByteArray, seen);
        if (qEnvironmentVariableIsEmpty("T483_EXE"))
            QSKIP("T483_EXE is not set");
        sim = std::make_unique<SimProcess>();
        QVERIFY(sim->start());
        sim->useAsPort(1);
        bool faulted = false;
        // Start, a few ticks, the fault; REMOTE and a knob under it; Exit.
        const ProgramRun r = runProgram(
            "wait 100; click start; wait 2000; click remote; key Up; wait 600; click konec", [&] {
                if (!sim->waitReceived(3, 10000))  // I, K, M: connected
                    return;
                faulted = fault == "kill" ? (sim->kill(), true) : sim->command("fault " + fault);
            },
            false, true);
        QVERIFY(faulted);
        QVERIFY2(r.status == 0, r.err.constData());
        // 2.7 s of scripted waits, each step held up by a tick at most,
        // and Exit's two reads.
        QVERIFY2(r.ms < 7000, qPrintable(QString::number(r.ms)));
        QCOMPARE(r.out, QByteArray());
        QVERIFY2(!r.err.contains("T483_SCRIPT"), r.err.constData());
        QVERIFY2(r.err.contains(seen), r.err.constData());
    }

    // The real program refused a port: the pop-up says why, names the
    // device, and the program still ends with 0.
    void programRefusedPort_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("held by another program") << "busy" << QByteArray("in use by another program");
        QTest::newRow("held by a second t483") << "second" << QByteArray("in use by another program");
        QTest::newRow("without permission") << "nobody" << QByteArray("permission denied");
        QTest::newRow("/dev/null") << "null" << QByteArray("not a serial port");
    }
    void programRefusedPort()
    {
        QFETCH(QString, how);
        QFETCH(QByteArray, reason);
        if (qEnvironmentVariableIsEmpty("T483_EXE"))
            QSKIP("T483_EXE is not set");
        sim = std::make_unique<SimProcess>();
        QVERIFY(sim->start());
        QByteArray device = sim->device().toLocal8Bit();
        int holder = -1;
        if (how == "busy") {
            holder = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            QVERIFY(holder >= 0);
            QCOMPARE(flock(holder, LOCK_EX | LOCK_NB), 0);
        } else if (how == "second") {
            // This process, connected to the instrument, is the first t483.
            sim->useAsPort(1);
            QVERIFY(s->start());
            s->click("start");
            QCOMPARE(run, 1);
        } else if (how == "nobody" && geteuid() != 0) {
            QSKIP("needs root to run the program as another user");
        } else if (how == "null") {
            device = "/dev/null";
        }
        qputenv("T483_COM1", device);
        const ProgramRun r = runProgram("wait 100; click start; wait 300; accept; wait 100; click konec", {},
                                        how == "nobody");
        if (holder >= 0)
            ::close(holder);
        if (r.status == 101)
            QSKIP("cannot run the program as nobody here");
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY2(r.ms < 5000, qPrintable(QString::number(r.ms)));
        QCOMPARE(r.out, "popup T-483 Control|Cannot open COM1 (" + device + "): " + reason + "\n");
        QTest::qWait(100);
        // Nothing from the refused program; the first one's polls go on.
        QCOMPARE(without(sim->received(), {"K", "M"}),
                 how == "second" ? QList<QByteArray>{"I\r"} : QList<QByteArray>{});
    }

    // A device name far longer than any path: start-up lists it in the
    // port tooltip and Start refuses it, both within their buffers.
    void overlongDeviceName()
    {
        const QByteArray longName = "/dev/" + QByteArray(400, 'x');
        for (int port = 1; port <= 8; port++)
            qputenv(QByteArray("T483_COM") + QByteArray::number(port), longName);
        QVERIFY(s->start("[t483]\nlanguage=3\n"));
        const QString tip = s->part("com.box")->toolTip();
        QVERIFY2(tip.startsWith("COM1: /dev/xxx"), qPrintable(tip.left(40)));
        s->click("start");
        QCOMPARE(run, 0);
        QCOMPARE(popups.size(), 1);
        QVERIFY2(popups[0].text.startsWith("Cannot open COM1 (/dev/xxx"), popups[0].text.constData());
        QVERIFY(popups[0].text.endsWith("no such device") || popups[0].text.contains("name too long"));
        for (int port = 2; port <= 8; port++)
            qunsetenv(QByteArray("T483_COM") + QByteArray::number(port));
    }
};

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
