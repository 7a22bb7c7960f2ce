// Faults of the link seen from the real panel, offscreen, against t483-sim:
// an instrument that vanishes, falls silent or answers nonsense mid-session,
// replies late or too long, and ports that cannot be had. Each ends in a
// pop-up that says what is wrong or in the panel carrying on; none may crash
// it, block it beyond the read timeout, or leave it showing wrong values once
// the instrument answers properly again. (The same faults met by the real
// executable are in tst_program.cpp.)
#include "panel_session.h"
#include "sim_process.h"
#include "slack.h"

#include "platform/cp1250.h"

#include <QElapsedTimer>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/file.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One command and its reply may keep the panel busy for the 0.3 s read
// timeout; a local-control tick sends two. Beyond that, a callback is
// allowed SLACK_MS on an unloaded machine (times slack(), see slack.h).
constexpr int READ_TIMEOUT_MS = 300;
constexpr int SLACK_MS = 250;
constexpr int TICK_MS = 200;  // the panel's timer

// Runs the event loop through n ticks of the panel's timer and returns the
// longest stretch in which it handled no event: the longest any callback
// kept the panel from answering; -1 when the ticks did not come.
int longestStall(PanelSession &s, int ticks)
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
    if (!s.waitTicks(ticks))
        return -1;
    return int(qMax(worst, clock.elapsed() - last));
}

// What the operator finds on the panel: each control's value and whether
// it can be used, what the numeric and the knobs' displays read, the COM
// selector's colour and where the focus is.
QStringList panelState(const PanelSession &s)
{
    QStringList out;
    for (int id = hl_vyp; id <= hl_odpor; id++)
        out << QString("control %1: %2%3").arg(id).arg(s.value(id)).arg(s.dimmed(id) ? ", dimmed" : "");
    out << "numeric " + s.numericText() << "displays " + s.displays().join(' ')
        << QString("COM colour %1").arg(s.failColour()) << QString("focus on %1").arg(GetActiveCtrl(pnl_hl));
    return out;
}

} // namespace

class FaultsTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PanelSession> s;
    std::unique_ptr<SimProcess> sim;

    // The panel mirrors the front panel's 4072 MOhm and lights 2.5 kV,
    // or comes to within timeoutMs.
    bool mirrorsInstrument(int timeoutMs = slack(3000))
    {
        QElapsedTimer t;
        t.start();
        for (;;) {
            if (R == 4072 && s->knobs() == QList<int>{4, 0, 7, 2} && s->numericText() == "4072" &&
                s->lamps() == QList<int>{0, 1, 0})
                return true;
            if (t.elapsed() >= timeoutMs)
                break;
            QTest::qWait(20);
        }
        const QList<int> knobs = s->knobs(), lamps = s->lamps();
        qWarning("R %d, knobs %d %d %d %d, numeric %s, lamps %d %d %d", R, knobs[0], knobs[1], knobs[2], knobs[3],
                 qPrintable(s->numericText()), lamps[0], lamps[1], lamps[2]);
        return false;
    }

    // Connected under local control to a simulator on COM1 whose front
    // panel says 4072 MOhm at 2.5 kV, and mirroring it.
    bool connected()
    {
        sim = SimProcess::onPort(1, {"--front", "4072", "--voltage", "2500"});
        return sim && s->connect(*sim, "[t483]\nlanguage=3\n") && mirrorsInstrument();
    }

    // Exit is still quick and clean: status 0, the port closed, within
    // limitMs (the time of its two commands' reads).
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
        QCOMPARE(s->failColour(), 0xFF0000);
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

    // The instrument or its adapter goes away mid-session, under local or
    // remote control. The first command to find it gone is a tick's (K, or
    // M under remote control) or the operator's: a knob turned, a
    // resistance typed, REMOTE switched (the fault then comes while no event
    // is handled, so no tick finds it first). Each row is one callback that
    // must see the loss. Its callback is held up no longer than a read; one
    // pop-up names the port and the device it reaches, whole even when the
    // path is long; the port is closed and nothing more is tried; the panel
    // is back as start-up left it. Once the instrument is back (a fresh
    // simulator on COM1), Start finds it again. How the device went (pulled
    // or hung up) makes no difference past the link: tst_commands.cpp has
    // those ways; here it is pulled.
    void instrumentGone_data()
    {
        QTest::addColumn<bool>("underRemote");
        QTest::addColumn<QString>("finder");
        QTest::addColumn<bool>("longPath");
        QTest::newRow("unplugged, local, tick, long device path") << false << "tick" << true;
        QTest::newRow("unplugged, remote, tick") << true << "tick" << false;
        QTest::newRow("unplugged, remote, knob") << true << "knob" << false;
        QTest::newRow("unplugged, remote, typed") << true << "typed" << false;
        QTest::newRow("unplugged, local, REMOTE") << false << "REMOTE" << false;
    }
    void instrumentGone()
    {
        QFETCH(bool, underRemote);
        QFETCH(QString, finder);
        QFETCH(bool, longPath);
        sim = SimProcess::onPort(1, {"--front", "4072", "--voltage", "2500"});
        QVERIFY(sim);
        QByteArray device = sim->device().toLocal8Bit();
        QTemporaryDir dir;
        if (longPath) {
            // A link to the simulator's device, its path longer than any
            // text buffer of the program (the run-time keeps 255 bytes).
            device = QFile::encodeName(dir.filePath(QString(240 - dir.path().size() - 1, 'x')));
            QCOMPARE(device.size(), 240);
            QCOMPARE(::symlink(sim->device().toLocal8Bit().constData(), device.constData()), 0);
            qputenv("T483_COM1", device);
        }
        QVERIFY(s->start("[t483]\nlanguage=3\n"));
        const QStringList atStartUp = panelState(*s);
        s->click("start");
        QCOMPARE(run, 1);
        QVERIFY(mirrorsInstrument());
        if (underRemote) {
            s->click("remote");
            QCOMPARE(awaitCommands(*sim, 2), (QList<QByteArray>{"I\r", "L0\r"}));
        }

        sim->kill();
        if (finder == "tick") {
            const int stall = longestStall(*s, 2);
            QVERIFY2(stall >= 0 && stall < 2 * READ_TIMEOUT_MS + slack(SLACK_MS), qPrintable(QString::number(stall)));
            QTRY_VERIFY_WITH_TIMEOUT(!popups.isEmpty(), slack(5000));
        } else {
            QElapsedTimer took;
            took.start();
            if (finder == "knob")
                s->turnKnob("R1", 3);
            else if (finder == "typed")
                s->typeResistance("4032");
            else
                s->click("remote");
            QVERIFY2(took.elapsed() < READ_TIMEOUT_MS + slack(SLACK_MS), qPrintable(QString::number(took.elapsed())));
        }
        QCOMPARE(i, int(RS232_IO));
        QCOMPARE(popups.size(), 1);
        QCOMPARE(popups[0].title, QByteArray("T-483 Control"));
        QCOMPARE(popups[0].text,
                 "Connection to the instrument lost: COM1 (" + device + "). Check the cable and press Start.");
        QCOMPARE(run, 0);
        QCOMPARE(remote, 0);
        QCOMPARE(FlushInQ(1), int(RS232_NOT_OPEN));
        QCOMPARE(panelState(*s), atStartUp);

        // Ticks ask nothing more (a read would leave RS232_NOT_OPEN in i)
        // and say nothing more.
        QVERIFY(s->waitTicks(2));
        QCOMPARE(i, int(RS232_IO));
        QCOMPARE(popups.size(), 1);
        QCOMPARE(panelState(*s), atStartUp);

        sim = SimProcess::onPort(1, {"--front", "4072", "--voltage", "2500"});
        QVERIFY(sim);
        s->click("start");
        QCOMPARE(run, 1);
        QVERIFY(sim->waitReceived(1));
        QCOMPARE(sim->received().first(), QByteArray("I\r"));
        QVERIFY(s->dimmed(hl_start));
        QVERIFY(!s->dimmed(hl_remote));
        QVERIFY(mirrorsInstrument());
        QCOMPARE(popups.size(), 1);
        exitsPromptly(slack(SLACK_MS));
    }

    // Exit once the instrument is gone and the pop-up has said so, in the
    // language in force: status 0 at once, nothing sent, no second pop-up.
    void exitAfterInstrumentGone_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QByteArray>("title");
        QTest::addColumn<QByteArray>("text");  // before the device's "(path)"
        QTest::addColumn<QByteArray>("advice");  // after it
        QTest::newRow("Czech") << QByteArray() << QByteArray(CP1250("Ovládání dekády T-483"))
                               << QByteArray(CP1250("Spojení s přístrojem bylo přerušeno: COM1 "))
                               << QByteArray(CP1250(". Zkontrolujte kabel a stiskněte Start."));
        QTest::newRow("Slovak") << QByteArray("[t483]\nlanguage=2\n") << QByteArray(CP1250("Ovládanie dekády T-483"))
                                << QByteArray(CP1250("Spojenie s prístrojom bolo prerušené: COM1 "))
                                << QByteArray(CP1250(". Skontrolujte kábel a stlačte Start."));
        QTest::newRow("English") << QByteArray("[t483]\nlanguage=3\n") << QByteArray("T-483 Control")
                                 << QByteArray("Connection to the instrument lost: COM1 ")
                                 << QByteArray(". Check the cable and press Start.");
    }
    void exitAfterInstrumentGone()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, advice);
        sim = SimProcess::onPort(1, {"--front", "4072", "--voltage", "2500"});
        QVERIFY(sim && s->connect(*sim, ini.isEmpty() ? nullptr : ini.constData()));
        QVERIFY(mirrorsInstrument());
        sim->kill();
        QTRY_COMPARE_WITH_TIMEOUT(popups.size(), 1, slack(5000));
        QTEST(popups[0].title, "title");
        QCOMPARE(popups[0].text, text + "(" + sim->device().toLocal8Bit() + ")" + advice);
        QCOMPARE(run, 0);
        exitsPromptly(slack(SLACK_MS));
        QCOMPARE(popups.size(), 1);
        QCOMPARE(i, int(RS232_IO));
    }

    // An instrument that stops answering: each read waits out its 0.3 s and
    // no longer, the panel keeps its last values, and Exit still sends L1
    // and P0 and ends.
    void instrumentFallsSilent()
    {
        QVERIFY(connected());
        QVERIFY(sim->command("fault silent"));
        const int stall = longestStall(*s, 2);
        QVERIFY2(stall >= READ_TIMEOUT_MS && stall < 2 * READ_TIMEOUT_MS + slack(SLACK_MS),
                 qPrintable(QString::number(stall)));
        QCOMPARE(i, 0);
        QCOMPARE(s->knobs(), (QList<int>{4, 0, 7, 2}));
        QCOMPARE(s->lamps(), (QList<int>{0, 0, 0}));
        QVERIFY(popups.isEmpty());
        sim->clearReceived();
        exitsPromptly(2 * READ_TIMEOUT_MS + slack(2 * SLACK_MS));
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
        const int stall = longestStall(*s, 5);
        QVERIFY2(stall >= 0 && stall < 2 * READ_TIMEOUT_MS + slack(SLACK_MS), qPrintable(QString::number(stall)));
        QVERIFY(i >= 0 && i <= 20);
        QVERIFY(std::strlen(radek) <= 20);
        QCOMPARE(s->lamps(), (QList<int>{0, 0, 0}));
        if (fault == "garbage")
            QCOMPARE(R, 4072);
        QVERIFY(popups.isEmpty());

        QVERIFY(sim->command("fault none"));
        QVERIFY(mirrorsInstrument());
        QVERIFY(popups.isEmpty());
        exitsPromptly(slack(SLACK_MS));
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
        const int stall = longestStall(*s, 3);
        QVERIFY2(stall >= 0 && stall < 2 * READ_TIMEOUT_MS + slack(SLACK_MS), qPrintable(QString::number(stall)));
        if (pauseMs < READ_TIMEOUT_MS) {
            QVERIFY2(stall >= pauseMs, qPrintable(QString::number(stall)));
            QVERIFY(mirrorsInstrument(0));
        }
        QVERIFY(popups.isEmpty());

        QVERIFY(sim->command("fault none"));
        // The last late halves arrive, each due pauseMs after its first
        // half: ticks come no sooner than TICK_MS apart.
        QVERIFY(s->waitTicks(1 + 2 * pauseMs / TICK_MS));
        QVERIFY(mirrorsInstrument());
        // And it stays so: tick after tick, each reply to its own command.
        for (int k = 0; k < 5; k++) {
            QVERIFY(s->waitTicks(1));
            QVERIFY(mirrorsInstrument(0));
        }
        exitsPromptly(slack(SLACK_MS));
    }

    // Bytes nobody asked for (line noise, a reply that came too late): at
    // most the reply being awaited is spoilt, never all those after it.
    void strayReply()
    {
        QVERIFY(connected());
        QVERIFY(sim->command("send 2500\\r"));
        // The tick awaiting a reply when the bytes come may be spoilt; from
        // the tick after it on, each shows the instrument as it is.
        QVERIFY(s->waitTicks(2));
        for (int k = 0; k < 5; k++) {
            QVERIFY(s->waitTicks(1));
            QVERIFY(mirrorsInstrument(0));
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
        QVERIFY(sim->sentinel());
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
            startRefused(device, "permission denied; the user must be in the dialout group "
                                 "(sudo adduser $USER dialout, then log in again)");
        }
        QVERIFY(sim->sentinel());
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
