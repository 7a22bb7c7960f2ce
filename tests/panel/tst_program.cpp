// The real executable as a child process, offscreen, operated through
// T483_SCRIPT, against t483-sim on COM1: how a session ends, what reaches
// the instrument, the pop-ups it puts up and the exit status; sessions
// ended from outside (signals, the display lost), sessions whose instrument
// fails mid-way, ports it is refused, a start without any display; its
// command line, and its trace kept in a file.
#include "panel_session.h"
#include "program_run.h"
#include "sim_process.h"
#include "slack.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <functional>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <unistd.h>

class ProgramTest : public QObject {
    Q_OBJECT
    std::unique_ptr<SimProcess> sim;

    bool simOnCom1(const QStringList &options = {})
    {
        sim = SimProcess::onPort(1, options);
        return sim != nullptr;
    }

    // For ProgramSetup::during: once the program is connected (I, K, M
    // received), the simulator is killed ("kill") or given `fault`; *done
    // says whether that happened.
    std::function<void()> faultOnceConnected(const QString &fault, bool *done)
    {
        return [this, fault, done] {
            if (!sim->waitReceived(3, slack(10000)))  // I, K, M: connected
                return;
            *done = fault == "kill" ? (sim->kill(), true) : sim->command("fault " + fault);
        };
    }

    // What reached the instrument in a session under remote control: its
    // identification asked first, REMOTE's L0 on the way, and L1 then P0
    // last: handed back to its front panel and switched off.
    void expectHandedBack()
    {
        QVERIFY(sim->sentinel());  // all it sent has arrived
        const QList<QByteArray> got = sim->received();
        QVERIFY2(got.size() >= 4, qPrintable(QString::number(got.size())));
        QCOMPARE(got.first(), QByteArray("I\r"));
        QVERIFY(got.contains("L0\r"));
        QCOMPARE(got.mid(got.size() - 2), (QList<QByteArray>{"L1\r", "P0\r"}));
    }

private slots:
    void init() { qunsetenv("T483_COM1"); }
    void cleanup()
    {
        sim.reset();
        qunsetenv("T483_COM1");
    }

    // A session with the instrument ends with L1 then P0 and status 0,
    // whether Exit is clicked, Escape pressed or the window closed. Start
    // has the focus at start-up: Return presses it.
    void sessionEnds_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("route");
        QTest::newRow("button") << "click start" << "click konec";
        QTest::newRow("close box") << "click start" << "close";
        QTest::newRow("Return to start") << "key Return" << "key Escape";
    }
    void sessionEnds()
    {
        QFETCH(QString, start);
        QFETCH(QString, route);
        QVERIFY(simOnCom1({"--front", "4072"}));
        QCOMPARE(runProgram({.script = "wait 200; " + start + "; wait 700; " + route}).status, 0);
        QVERIFY(sim->sentinel());  // all it sent has arrived
        const QList<QByteArray> got = sim->received();
        QVERIFY2(got.size() >= 5, qPrintable(QString::number(got.size())));
        QCOMPARE(got.first(), QByteArray("I\r"));
        QCOMPARE(got.mid(got.size() - 2), (QList<QByteArray>{"L1\r", "P0\r"}));
        // Between them only the ticks' K and M.
        for (const QByteArray &c : got.mid(1, got.size() - 3))
            QVERIFY2(c == "K\r" || c == "M\r", c.constData());
        QVERIFY(got.contains("K\r"));
    }

    // Without a Start, and in offline mode, Exit sends nothing.
    void nothingSent_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("ini");
        QTest::newRow("Escape before Start") << "wait 300; key Escape" << QByteArray();
        QTest::newRow("close box before Start") << "wait 300; close" << QByteArray();
        QTest::newRow("offline session")
            << "click start; wait 500; click remote; wait 300; click vyp; click konec"
            << QByteArray("[t483]\ndemo=1\n");
    }
    void nothingSent()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, ini);
        QVERIFY(simOnCom1());
        QCOMPARE(runProgram({.script = script, .ini = ini}).status, 0);
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>{});
    }

    // Failed Starts put up their pop-up in the real program too; Exit then
    // sends nothing, as no instrument was found.
    void failedStart_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QByteArray>("port");
        QTest::addColumn<QByteArray>("popup");  // a part of the pop-up's text
        QTest::newRow("unopenable port") << "none" << QByteArray("/nonexistent/ttyT483")
                                         << QByteArray("/nonexistent/ttyT483");
        QTest::newRow("silent instrument") << "silent" << QByteArray()
                                           << QByteArray("|Instrument T-483 on RS232 BUS not found!\n");
    }
    void failedStart()
    {
        QFETCH(QString, fault);
        QFETCH(QByteArray, port);
        QFETCH(QByteArray, popup);
        QVERIFY(simOnCom1());
        QVERIFY(sim->command("fault " + fault));
        if (!port.isEmpty())
            qputenv("T483_COM1", port);
        const ProgramRun r = runProgram({.script = "click start; wait 500; accept; wait 100; click konec",
                                         .ini = "[t483]\nlanguage=3\n"});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.startsWith("popup T-483 Control|") && r.out.contains(popup), r.out.constData());
        QCOMPARE(r.out.count("popup"), 1);
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), port.isEmpty() ? QList<QByteArray>{"I\r"} : QList<QByteArray>{});
    }

    // A session whose instrument misbehaves once Start has found it: the
    // program never crashes, stalls or pops anything up, and Exit still ends
    // it with status 0 within moments. The link trace shows that the fault
    // reached the program. A reply that never comes and one cut short by
    // the timeout; replies that are no numbers (garbage, over-long) are the
    // panel's and the link's (tst_faults.cpp, tst_commands.cpp).
    void programCarriesOn_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QByteArray>("seen");  // a reply as the trace shows it
        QTest::newRow("falls silent") << "silent" << QByteArray("COM1 < \"\"\n");
        QTest::newRow("split past the timeout") << "split 450" << QByteArray("COM1 < (failed: -11)");  // "100" cut short: no reply
    }
    void programCarriesOn()
    {
        QFETCH(QString, fault);
        QFETCH(QByteArray, seen);
        QVERIFY(simOnCom1());
        bool faulted = false;
        // Start, a few ticks, the fault; REMOTE and a knob under it; Exit.
        const ProgramRun r = runProgram(
            {.script = "wait 100; click start; wait 2000; click remote; key Up; wait 600; click konec",
             .ini = "[t483]\nlanguage=3\n",
             .trace = true,
             .during = faultOnceConnected(fault, &faulted)});
        QVERIFY(faulted);
        QVERIFY2(r.status == 0, r.err.constData());
        // 2.7 s of scripted waits, each step held up by a tick at most,
        // and Exit's two reads.
        QVERIFY2(r.ms < 2700 + slack(4300), qPrintable(QString::number(r.ms)));
        QCOMPARE(r.out, QByteArray());
        QVERIFY2(!r.err.contains("T483_SCRIPT"), r.err.constData());
        QVERIFY2(r.err.contains(seen), r.err.constData());
    }

    // The instrument vanishing mid-session: one pop-up naming the port and
    // its device; the read that found it gone is the last the link trace
    // shows (nothing is tried after it, Exit included); Exit then ends the
    // program with status 0 and no second pop-up. Pulled here; the ways a
    // device goes are the link's (tst_commands.cpp), the callbacks that
    // find it gone the panel's (tst_faults.cpp).
    void programLosesInstrument()
    {
        const QString fault = "kill";
        QVERIFY(simOnCom1());
        const QByteArray device = sim->device().toLocal8Bit();
        bool faulted = false;
        const int popupDue = slack(3000);  // from Start, on a loaded machine
        const ProgramRun r = runProgram(
            {.script = QString("wait 100; click start; wait %1; accept; wait 300; click konec").arg(popupDue),
             .ini = "[t483]\nlanguage=3\n",
             .trace = true,
             .during = faultOnceConnected(fault, &faulted)});
        QVERIFY(faulted);
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY2(r.ms < popupDue + 400 + slack(4000), qPrintable(QString::number(r.ms)));
        QCOMPARE(r.out, "popup T-483 Control|Connection to the instrument lost: COM1 (" + device +
                            "). Check the cable and press Start.\n");
        QVERIFY2(!r.err.contains("T483_SCRIPT"), r.err.constData());
        QByteArrayList link;
        for (const QByteArray &line : r.err.split('\n'))
            if (line.contains(" COM1 "))
                link << line;
        QVERIFY2(!link.isEmpty() && link.last().endsWith("COM1 < (failed: -8)"), r.err.constData());
        QCOMPARE(r.err.count("COM1 < (failed"), 1);
    }

    // A port the program is refused: the pop-up says why, names the device,
    // nothing is sent, and the program still ends with 0. Held by a second
    // t483, and without permission (the program run as another user); the
    // other reasons are the panel's (tst_faults.cpp).
    void programRefusedPort_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("held by a second t483") << "second" << QByteArray("in use by another program");
        QTest::newRow("without permission")
            << "nobody"
            << QByteArray("permission denied; the user must be in the dialout group "
                          "(sudo adduser $USER dialout, then log in again)");
    }
    void programRefusedPort()
    {
        QFETCH(QString, how);
        QFETCH(QByteArray, reason);
        QVERIFY(simOnCom1());
        QByteArray device = sim->device().toLocal8Bit();
        std::unique_ptr<PanelSession> first;  // this process as the first t483
        if (how == "second") {
            first = std::make_unique<PanelSession>();
            QVERIFY(first->connect(*sim));
        } else if (how == "nobody" && geteuid() != 0) {
            QSKIP("needs root to run the program as another user");
        }
        qputenv("T483_COM1", device);
        const ProgramRun r = runProgram({.script = "wait 100; click start; wait 300; accept; wait 100; click konec",
                                         .ini = "[t483]\nlanguage=3\n",
                                         .asNobody = how == "nobody"});
        if (r.status == 101)
            QSKIP("cannot run the program as nobody here");
        QVERIFY2(r.status == 0, r.err.constData());
        QVERIFY2(r.ms < slack(5000), qPrintable(QString::number(r.ms)));
        QCOMPARE(r.out, "popup T-483 Control|Cannot open COM1 (" + device + "): " + reason + "\n");
        // Nothing from the refused program; the first one's I, and no event
        // loop has run here since to poll.
        QVERIFY(sim->sentinel());
        QCOMPARE(without(sim->received(), {"K", "M"}),
                 how == "second" ? QList<QByteArray>{"I\r"} : QList<QByteArray>{});
    }

    // Ended from outside while it holds the instrument under remote
    // control: SIGTERM (logout, kill), SIGINT (Ctrl+C) and SIGHUP (its
    // terminal closed) hand the instrument back as Exit does, status 0,
    // within a second. A trace piped into a reader that has gone (SIGPIPE on
    // every line) does not end it: it runs on until it is told to end.
    void endedFromOutside_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("traceReaderGone");
        QTest::newRow("SIGTERM") << SIGTERM << false;
        QTest::newRow("SIGINT") << SIGINT << false;
        QTest::newRow("SIGHUP") << SIGHUP << false;
        QTest::newRow("trace reader gone, then SIGTERM") << SIGTERM << true;
    }
    void endedFromOutside()
    {
        QFETCH(int, signal);
        QFETCH(bool, traceReaderGone);
        QVERIFY(simOnCom1({"--front", "4072"}));
        // The trace goes into a pipe whose reader goes away at the stamp.
        int trace[2] = {-1, -1};
        QCOMPARE(pipe2(trace, O_CLOEXEC), 0);
        auto closeTrace = qScopeGuard([&] {
            for (int fd : trace)
                if (fd >= 0)
                    ::close(fd);
        });
        bool sent = false;
        const ProgramRun r = runProgram(
            {.script = "wait 200; click start; wait 500; click remote; wait 300; stamp",
             .trace = traceReaderGone,
             .stderrTo = traceReaderGone ? trace[1] : -1,
             .during = [&] { ::close(std::exchange(trace[1], -1)); },  // the program's alone
             .atStamp = [&](QProcess &p) {
                 if (traceReaderGone) {
                     ::close(std::exchange(trace[0], -1));
                     // Four more commands, each traced into the broken pipe.
                     if (!sim->waitReceived(int(sim->received().size()) + 4, slack(5000)))
                         return;
                 }
                 sent = ::kill(p.processId(), signal) == 0;
             }});
        QVERIFY(sent);
        QVERIFY2(r.status == 0, qPrintable(QString::number(r.status)));
        QVERIFY2(r.msAfterStamp < slack(1000), qPrintable(QString::number(r.msAfterStamp)));
        expectHandedBack();
    }

    // A signal while a pop-up is up (a Start that found no instrument) is
    // not lost: the pop-up goes, and the program ends within a second.
    void signalWhilePopupIsUp()
    {
        QVERIFY(simOnCom1());
        QVERIFY(sim->command("fault silent"));
        // "stamp" runs while the pop-up Start put up is there.
        const ProgramRun r = runProgram({.script = "wait 100; click start; stamp",
                                         .ini = "[t483]\nlanguage=3\n",
                                         .atStamp = [](QProcess &p) { ::kill(p.processId(), SIGTERM); }});
        QVERIFY2(r.status == 0, qPrintable(QString::number(r.status)));
        QVERIFY2(r.msAfterStamp < slack(1000), qPrintable(QString::number(r.msAfterStamp)));
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>{"I\r"});
    }

    // The X display lost while it holds the instrument under remote
    // control: the process ends, as Qt ends it then (status 1), but hands
    // the instrument back first.
    void lostDisplayHandsBack()
    {
        const QString xvfb = QStandardPaths::findExecutable("Xvfb");
        if (xvfb.isEmpty())
            QSKIP("needs Xvfb");
        QProcess server;
        // It writes the number of the display it took on descriptor 1.
        server.start(xvfb, {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        QVERIFY(server.waitForStarted(slack(5000)));
        QByteArray display;
        while (!display.contains('\n') && server.waitForReadyRead(slack(10000)))
            display += server.readAllStandardOutput();
        QVERIFY2(display.contains('\n'), server.readAllStandardError().constData());
        QVERIFY(simOnCom1({"--front", "4072"}));
        const ProgramRun r = runProgram({.script = "wait 200; click start; wait 500; click remote; wait 300; stamp",
                                         .display = ":" + QString::fromLatin1(display.trimmed()),
                                         .atStamp = [&](QProcess &) {
                                             server.kill();
                                             server.waitForFinished();
                                         }});
        QVERIFY2(r.status == 1, r.err.constData());
        QVERIFY2(r.err.contains("X11 connection broke"), r.err.constData());
        expectHandedBack();
    }

    // Without a display the run-time cannot start: status -1, no window.
    void noDisplayExitsWithMinusOne()
    {
        const ProgramRun r = runProgram({.noDisplay = true});
        QCOMPARE(r.status, 255);  // -1 as the process's status byte
    }

    // The command line is read before the run-time starts: help and version
    // go to standard output with status 0, a wrong command line gives the
    // error and the usage on standard error with status 2. None of it needs
    // a display (the run-time would end with -1 without one, see above).
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");  // patterns, each matching all of it
        QTest::addColumn<QString>("err");
        const QString usage = R"(Usage: \S*t483 \[options\]\n.*)"
                              R"(\n  -\?, -h, --help +\S.*)"
                              R"(\n  -v, --version +\S.*)"
                              R"(\n  -p, --port <device> +\S.*)";
        const QString version = QString("t483 %1\n").arg(QRegularExpression::escape(T483_VERSION));
        QTest::newRow("--help") << QStringList{"--help"} << 0 << usage << "";
        QTest::newRow("--version") << QStringList{"--version"} << 0 << version << "";
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << ""
                                        << "t483: Unknown option 'frobnicate'.\n\n" + usage;
        QTest::newRow("unknown with help") << QStringList{"--help", "-x"} << 2 << ""
                                           << "t483: Unknown option 'x'.\n\n" + usage;
        QTest::newRow("port without device") << QStringList{"--port"} << 2 << ""
                                             << "t483: Missing value after '--port'.\n\n" + usage;
        QTest::newRow("stray argument") << QStringList{"/dev/ttyUSB0"} << 2 << ""
                                        << "t483: Unexpected argument '/dev/ttyUSB0'.\n\n" + usage;
    }
    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const ProgramRun r = runProgram({.args = args, .noDisplay = true});
        QVERIFY2(r.status == status, r.err.constData());
        const auto whole = [](const QString &pattern) {
            return QRegularExpression(QRegularExpression::anchoredPattern(pattern),
                                      QRegularExpression::DotMatchesEverythingOption);
        };
        QVERIFY2(whole(out).match(QString::fromLocal8Bit(r.out)).hasMatch(), r.out.constData());
        QVERIFY2(whole(err).match(QString::fromLocal8Bit(r.err)).hasMatch(), r.err.constData());
    }

    // --port DEVICE is COM1 for this run, whatever T483_COM1 says.
    void portOption_data()
    {
        QTest::addColumn<QStringList>("args");  // "DEVICE" stands for the device
        QTest::newRow("--port DEVICE") << QStringList{"--port", "DEVICE"};
        QTest::newRow("--port=DEVICE") << QStringList{"--port=DEVICE"};
    }
    void portOption()
    {
        QFETCH(QStringList, args);
        QVERIFY(simOnCom1());
        args.replaceInStrings("DEVICE", sim->device());
        qputenv("T483_COM1", "/nonexistent/ttyT483");
        const ProgramRun r = runProgram({.args = args,
                                         .script = "wait 100; click start; wait 500; click remote; wait 300; click konec",
                                         .ini = "[t483]\nlanguage=3\n"});
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(r.out, QByteArray());  // no pop-up
        expectHandedBack();
    }

    // T483_TRACE=FILE: the session's trace appended to FILE with date-time
    // stamps, nothing of it on standard error. A file that cannot be opened
    // is reported once and the session runs as without the trace.
    void traceToFile_data()
    {
        QTest::addColumn<bool>("opens");
        QTest::newRow("a file") << true;
        QTest::newRow("a missing folder") << false;
    }
    void traceToFile()
    {
        QFETCH(bool, opens);
        QVERIFY(simOnCom1());
        QTemporaryDir dir;
        const QString path = opens ? dir.filePath("t483.trace") : "/nonexistent/t483/t483.trace";
        if (opens) {
            QFile earlier(path);
            QVERIFY(earlier.open(QIODevice::WriteOnly));
            earlier.write("earlier run\n");
        }
        qputenv("T483_TRACE", QFile::encodeName(path));
        auto unset = qScopeGuard([] { qunsetenv("T483_TRACE"); });
        const ProgramRun r = runProgram({.script = "wait 100; click start; wait 500; click remote; wait 300; click konec",
                                         .ini = "[t483]\nlanguage=3\n"});
        QVERIFY2(r.status == 0, r.err.constData());
        QCOMPARE(r.out, QByteArray());
        expectHandedBack();
        QVERIFY2(!r.err.contains(" COM1 "), r.err.constData());
        if (!opens) {
            QCOMPARE(r.err.count(QFile::encodeName(path)), 1);
            return;
        }
        QFile trace(path);
        QVERIFY(trace.open(QIODevice::ReadOnly));
        const QByteArrayList lines = trace.readAll().split('\n');
        QVERIFY2(lines.size() > 5, qPrintable(QString::number(lines.size())));
        QCOMPARE(lines.first(), QByteArray("earlier run"));
        QCOMPARE(lines.last(), QByteArray());
        const QRegularExpression dated(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d\d\d[+-]\d\d:\d\d \S.*$)");
        for (const QByteArray &line : lines.mid(1, lines.size() - 2))
            QVERIFY2(dated.match(QString::fromLatin1(line)).hasMatch(), line.constData());
        QVERIFY(lines[1].endsWith(R"( COM1 > "I")"));
        QVERIFY(lines[lines.size() - 3].endsWith(R"( COM1 > "P0")"));
    }
};

QTEST_MAIN(ProgramTest)
#include "tst_program.moc"
