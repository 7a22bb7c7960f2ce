// Serial ports over pseudo-terminals: naming, open failures, reads framed on
// the carriage return with one deadline, and a device that vanishes.
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <QScopeGuard>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/serial.h"
#include "sim_process.h"
#include "slack.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <termios.h>

namespace {

// A pseudo-terminal of the test's own, its device held open here so that
// its settings outlive the port's opening and closing.
struct Pty {
    int master = -1, held = -1;
    QByteArray device;
    bool open()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return false;
        device = ptsname(master);
        held = ::open(device.constData(), O_RDWR | O_NOCTTY);
        return held >= 0;
    }
    ~Pty()
    {
        if (held >= 0)
            ::close(held);
        if (master >= 0)
            ::close(master);
    }
    // What the port has written to it, waited for until `n` bytes came.
    QByteArray written(int n, int timeoutMs = slack(2000))
    {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (got.size() < n && t.elapsed() < timeoutMs) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                char buf[64];
                const ssize_t r = ::read(master, buf, sizeof buf);
                if (r > 0)
                    got.append(buf, int(r));
            }
        }
        return got;
    }
};

bool sameSettings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace

class TestSerial : public QObject {
    Q_OBJECT

    std::unique_ptr<SimProcess> sim;

    // Opens COM1 on a fresh simulator with the instrument's settings.
    bool openSim(const QStringList &options = {})
    {
        sim = SimProcess::onPort(1, options);
        if (!sim)
            return false;
        if (OpenComConfig(1, "", 1200, 0, 8, 1, 40, 40) != 0)
            return false;
        SetComTime(1, 0.3);
        return true;
    }

private slots:
    void cleanup()
    {
        for (int port = 1; port <= 8; port++)
            CloseCom(port);
        sim.reset();
        for (int port = 1; port <= 8; port++)
            qunsetenv(QByteArray("T483_COM" + QByteArray::number(port)));
    }

    void deviceNames_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("env");
        QTest::addColumn<QString>("device");
        QTest::newRow("COM1 default") << 1 << QByteArray() << "/dev/ttyS0";
        QTest::newRow("COM8 default") << 8 << QByteArray() << "/dev/ttyS7";
        QTest::newRow("COM2 named") << 2 << QByteArray("/dev/ttyUSB0") << "/dev/ttyUSB0";
        QTest::newRow("COM0") << 0 << QByteArray() << "";
        QTest::newRow("COM9") << 9 << QByteArray() << "";
    }
    void deviceNames()
    {
        QFETCH(int, port);
        QFETCH(QByteArray, env);
        QFETCH(QString, device);
        if (!env.isEmpty())
            qputenv("T483_COM" + QByteArray::number(port), env);
        QCOMPARE(QString(ComDeviceName(port)), device);
    }

    void openErrors_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("missing") << 3 << QByteArray("/nonexistent/ttyX") << int(RS232_NO_DEVICE)
                                 << "Cannot open COM3 (/nonexistent/ttyX): no such device";
        QTest::newRow("not a tty") << 1 << QByteArray("/dev/null") << int(RS232_NOT_SERIAL)
                                   << "Cannot open COM1 (/dev/null): not a serial port";
        QTest::newRow("directory") << 2 << QByteArray("/tmp") << int(RS232_NOT_SERIAL)
                                   << "Cannot open COM2 (/tmp): not a serial port";
        QTest::newRow("port 0") << 0 << QByteArray() << int(RS232_BAD_PORT) << "";
        QTest::newRow("port 9") << 9 << QByteArray() << int(RS232_BAD_PORT) << "";
    }
    void openErrors()
    {
        QFETCH(int, port);
        QFETCH(QByteArray, device);
        QFETCH(int, code);
        QFETCH(QString, text);
        if (!device.isEmpty())
            qputenv("T483_COM" + QByteArray::number(port), device);
        QCOMPARE(OpenComConfig(port, "", 1200, 0, 8, 1, 40, 40), code);
        if (!text.isEmpty())
            QCOMPARE(QString(GetRS232ErrorString(code)), text);
        // The failed port is not open.
        QCOMPARE(ComWrtByte(port, 'I'), int(RS232_NOT_OPEN));
    }

    // Permission is checked by the system for the user running the program;
    // as root, the open is tried in a child that has given root up. The
    // text says what to do about it: the user must be in the dialout group.
    void openWithoutPermission_data()
    {
        QTest::addColumn<bool>("terminal");
        QTest::newRow("plain file") << false;
        QTest::newRow("pseudo-terminal") << true;
    }
    void openWithoutPermission()
    {
        QFETCH(bool, terminal);
        QTemporaryDir dir;
        QString path = dir.filePath("ttyNOACCESS");
        int master = -1;
        auto closeMaster = qScopeGuard([&] {
            if (master >= 0)
                ::close(master);
        });
        if (terminal) {
            master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            QVERIFY(master >= 0);
            QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
            path = QString::fromLocal8Bit(ptsname(master));
            QCOMPARE(::chmod(ptsname(master), 0), 0);
        } else {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.close();
            QVERIFY(QFile::setPermissions(path, QFile::Permissions()));
        }
        qputenv("T483_COM4", path.toLocal8Bit());
        const QByteArray expected = "Cannot open COM4 (" + path.toLocal8Bit() +
                                    "): permission denied; the user must be in the dialout group "
                                    "(sudo adduser $USER dialout, then log in again)";
        if (geteuid() != 0) {
            QCOMPARE(OpenComConfig(4, "", 1200, 0, 8, 1, 40, 40), int(RS232_ACCESS));
            QCOMPARE(QByteArray(GetRS232ErrorString(RS232_ACCESS)), expected);
            return;
        }
        pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(100);
            int code = OpenComConfig(4, "", 1200, 0, 8, 1, 40, 40);
            _exit(code != RS232_ACCESS ? 1 : expected != GetRS232ErrorString(code) ? 2 : 0);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFEXITED(status));
        if (WEXITSTATUS(status) == 100)
            QSKIP("cannot give up root here");
        QCOMPARE(WEXITSTATUS(status), 0);
    }

    // A port another program holds (here: the same device on COM2) is busy,
    // and the holder's link keeps working.
    void openBusy()
    {
        QVERIFY(openSim());
        sim->useAsPort(2);
        QCOMPARE(OpenComConfig(2, "", 1200, 0, 8, 1, 40, 40), int(RS232_BUSY));
        QVERIFY(QString(GetRS232ErrorString(RS232_BUSY)).contains("in use"));
        CloseCom(1);
        QCOMPARE(OpenComConfig(2, "", 1200, 0, 8, 1, 40, 40), 0);
    }

    void badSettings_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("stop");
        QTest::addColumn<int>("code");
        QTest::newRow("instrument") << 1200 << 0 << 8 << 1 << 0;
        QTest::newRow("odd baud") << 1234 << 0 << 8 << 1 << int(RS232_BAD_SETTING);
        QTest::newRow("parity 3") << 1200 << 3 << 8 << 1 << int(RS232_BAD_SETTING);
        QTest::newRow("9 bits") << 1200 << 0 << 9 << 1 << int(RS232_BAD_SETTING);
        QTest::newRow("3 stop bits") << 1200 << 0 << 8 << 3 << int(RS232_BAD_SETTING);
    }
    void badSettings()
    {
        QFETCH(int, baud);
        QFETCH(int, parity);
        QFETCH(int, bits);
        QFETCH(int, stop);
        QFETCH(int, code);
        sim = SimProcess::onPort(1);
        QVERIFY(sim);
        QCOMPARE(OpenComConfig(1, "", baud, parity, bits, stop, 40, 40), code);
    }

    // What one read returns for what the instrument put on the line, and
    // what the next read then finds. A read ends at the CR, or at 20 bytes,
    // at once; only without either does it wait out its 0.3 s, and never
    // ends before. (A read that ends at once is given a far longer deadline,
    // so that "at once" cannot be mistaken for the deadline on a slow
    // machine.)
    void reads_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<bool>("waitsOut");
        QTest::newRow("complete") << "4072\\r" << QByteArray("4072") << QByteArray() << false;
        QTest::newRow("empty") << "\\r" << QByteArray("") << QByteArray() << false;
        QTest::newRow("two replies") << "1000\\r2500\\r" << QByteArray("1000") << QByteArray("2500")
                                     << false;
        QTest::newRow("over 20 bytes") << "ABCDEFGHIJKLMNOPQRSTUVWXYZ\\r"
                                       << QByteArray("ABCDEFGHIJKLMNOPQRST")
                                       << QByteArray("UVWXYZ") << false;
        QTest::newRow("exactly 20") << "ABCDEFGHIJKLMNOPQRST\\r"
                                    << QByteArray("ABCDEFGHIJKLMNOPQRST") << QByteArray("")
                                    << false;
        QTest::newRow("no terminator") << "123" << QByteArray("123") << QByteArray() << true;
        QTest::newRow("nothing") << "" << QByteArray() << QByteArray() << true;
        QTest::newRow("LF is data") << "12\\n\\r" << QByteArray("12\n") << QByteArray() << false;
        QTest::newRow("NUL is data") << "1\\x002\\r" << QByteArray("1\0" "2", 3) << QByteArray()
                                     << false;
    }
    void reads()
    {
        QFETCH(QString, line);
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(bool, waitsOut);
        QVERIFY(openSim());
        if (!waitsOut)
            SetComTime(1, 10.0);
        if (!line.isEmpty())
            QVERIFY(sim->command("send " + line));

        char buf[84];
        memset(buf, '#', sizeof buf);
        QElapsedTimer t;
        t.start();
        int n = ComRdTerm(1, buf, 20, 13);
        qint64 ms = t.elapsed();
        QCOMPARE(n, first.size());
        QCOMPARE(QByteArray(buf, n), first);
        QCOMPARE(buf[n], '#');  // no terminator stored, nothing appended
        QCOMPARE(ComRdTimedOut(1), int(waitsOut));
        if (waitsOut)
            QVERIFY2(ms >= 280 && ms < 300 + slack(300), qPrintable(QString::number(ms) + " ms"));
        else
            QVERIFY2(ms < slack(200), qPrintable(QString::number(ms) + " ms"));
        if (!second.isNull()) {
            n = ComRdTerm(1, buf, 20, 13);
            QCOMPARE(QByteArray(buf, qMax(n, 0)), second);
        }
    }

    // A reply that stops mid-way: within the deadline it is joined, beyond
    // it the read returns the part that came.
    void splitReply_data()
    {
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");
        QTest::newRow("short pause") << 100 << QByteArray("48300") << QByteArray();
        QTest::newRow("past the deadline") << 500 << QByteArray("483") << QByteArray("00");
    }
    void splitReply()
    {
        QFETCH(int, pauseMs);
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QVERIFY(openSim({"--fault", "split", QString::number(pauseMs)}));
        QCOMPARE(ComWrtByte(1, 'I'), 1);
        QCOMPARE(ComWrtByte(1, 13), 1);
        char buf[20];
        int n = ComRdTerm(1, buf, 20, 13);
        QCOMPARE(QByteArray(buf, qMax(n, 0)), first);
        if (!second.isNull()) {
            SetComTime(1, 1.0);
            n = ComRdTerm(1, buf, 20, 13);
            QCOMPARE(QByteArray(buf, qMax(n, 0)), second);
        }
    }

    // After a read that ran out of time: a reply that comes within the
    // start time (counted from the end of the read) is dropped, with all
    // that follows it until the line has been quiet for the quiet time;
    // the next command's reply is then its own. With nothing coming, the
    // wait ends at the start time; once that has passed, at once.
    void drainUntilQuiet()
    {
        QVERIFY(openSim({"--fault", "late", "50"}));
        SetComTime(1, 0.03);
        char buf[20];
        QElapsedTimer sent;
        sent.start();
        QCOMPARE(ComWrtByte(1, 'I'), 1);
        QCOMPARE(ComWrtByte(1, 13), 1);
        QCOMPARE(ComRdTerm(1, buf, 20, 13), 0);
        QCOMPARE(ComRdTimedOut(1), 1);
        QCOMPARE(ComDrainQuiet(1, 0.2, 0.02, 1.0), 1);
        // The reply, 50 ms after the I, and 20 ms of quiet after it; not
        // the 0.2 s a reply is given to begin.
        QVERIFY2(sent.elapsed() >= 70 && sent.elapsed() < 70 + slack(100), qPrintable(QString::number(sent.elapsed())));
        SetComTime(1, 1.0);
        QCOMPARE(ComWrtByte(1, 'M'), 1);
        QCOMPARE(ComWrtByte(1, 13), 1);
        QCOMPARE(QByteArray(buf, qMax(ComRdTerm(1, buf, 20, 13), 0)), QByteArray("1000"));
        QCOMPARE(ComRdTimedOut(1), 0);

        QVERIFY(sim->command("fault silent"));
        SetComTime(1, 0.03);
        for (double start : {0.02, 0.05}) {
            QCOMPARE(ComRdTerm(1, buf, 20, 13), 0);
            QElapsedTimer sinceRead;
            sinceRead.start();
            QCOMPARE(ComDrainQuiet(1, start, 0.02, 1.0), 0);
            const int ms = int(start * 1000);
            QVERIFY2(sinceRead.elapsed() >= ms - 1 && sinceRead.elapsed() < ms + slack(30),
                     qPrintable(QString::number(sinceRead.elapsed())));
        }
        QCOMPARE(ComRdTerm(1, buf, 20, 13), 0);
        QElapsedTimer sinceRead;
        sinceRead.start();
        while (sinceRead.elapsed() < 25)  // quiet for longer already
            QThread::usleep(1000);
        QElapsedTimer took;
        took.start();
        QCOMPARE(ComDrainQuiet(1, 0.02, 0.02, 1.0), 0);
        QVERIFY2(took.elapsed() < slack(15), qPrintable(QString::number(took.elapsed())));
    }

    // A line that never falls quiet (bytes every 8.3 ms at 1200 baud) holds
    // the drain no longer than its limit.
    void drainEndsAtItsLimit()
    {
        QVERIFY(openSim({"--pace"}));
        QVERIFY(sim->command("send " + QString(80, 'x')));
        SetComTime(1, 0.02);
        char buf[20];
        const int n = ComRdTerm(1, buf, 20, 13);
        QVERIFY2(n >= 0 && n < 20, qPrintable(QString::number(n)));
        QCOMPARE(ComRdTimedOut(1), 1);
        QElapsedTimer took;
        took.start();
        QCOMPARE(ComDrainQuiet(1, 0.02, 0.02, 0.1), 1);
        QVERIFY2(took.elapsed() >= 99 && took.elapsed() < 100 + slack(50), qPrintable(QString::number(took.elapsed())));
    }

    // Stale bytes on the line must not be taken for the next reply.
    void flushDiscardsStale()
    {
        QVERIFY(openSim());
        QVERIFY(sim->command("send 99999\\r"));
        QVERIFY(sim->waitQueued(6));  // on the line, unread
        QCOMPARE(FlushInQ(1), 0);
        QCOMPARE(ComWrtByte(1, 'M'), 1);
        QCOMPARE(ComWrtByte(1, 13), 1);
        char buf[20];
        int n = ComRdTerm(1, buf, 20, 13);
        QCOMPARE(QByteArray(buf, qMax(n, 0)), QByteArray("1000"));
    }

    // The simulator killed while a read waits: the read fails at once with
    // RS232_IO instead of waiting out its time, and so does all that follows.
    void deviceVanishesMidRead()
    {
        QVERIFY(openSim({"--fault", "silent"}));
        SetComTime(1, 5.0);
        const pid_t pid = pid_t(sim->pid());
        std::thread killer([pid] {
            usleep(150000);
            ::kill(pid, SIGKILL);
        });
        char buf[20];
        QElapsedTimer t;
        t.start();
        int n = ComRdTerm(1, buf, 20, 13);
        killer.join();
        QCOMPARE(n, int(RS232_IO));
        QVERIFY2(t.elapsed() < slack(2000), qPrintable(QString::number(t.elapsed())));
        QVERIFY(ComWrtByte(1, 'K') < 0);
        QCOMPARE(ComRdTerm(1, buf, 20, 13), int(RS232_IO));
        t.start();
        QCOMPARE(ComDrainQuiet(1, 0.02, 0.02, 5.0), int(RS232_IO));
        QVERIFY2(t.elapsed() < slack(1000), qPrintable(QString::number(t.elapsed())));
        QCOMPARE(CloseCom(1), 0);
    }

    void hangupAfterCommands()
    {
        QVERIFY(openSim({"--fault", "hangup", "1"}));
        char buf[20];
        QCOMPARE(ComWrtByte(1, 'M'), 1);
        QCOMPARE(ComWrtByte(1, 13), 1);
        QCOMPARE(ComRdTerm(1, buf, 20, 13), 4);
        QVERIFY(sim->hungUp());
        QCOMPARE(ComRdTerm(1, buf, 20, 13), int(RS232_IO));
    }

    // A device named by more than 255 bytes is the device of that whole
    // name, never the one its first 255 bytes name; a name longer than any
    // path the system takes is refused as such, named in full.
    void longDeviceNames()
    {
        Pty first, second;
        QVERIFY(first.open() && second.open());
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QFile::link(QString::fromLocal8Bit(first.device), dir.filePath("a")));
        QVERIFY(QFile::link(QString::fromLocal8Bit(second.device), dir.filePath("ab")));
        // DIR//////...///a in 255 bytes; one byte more names DIR/ab.
        QByteArray name = QFile::encodeName(dir.path()) + '/';
        name += QByteArray(255 - 1 - name.size(), '/') + 'a';
        QCOMPARE(name.size(), 255);
        name += 'b';
        qputenv("T483_COM1", name);
        QCOMPARE(QByteArray(ComDeviceName(1)), name);
        QCOMPARE(OpenComConfig(1, "", 1200, 0, 8, 1, 40, 40), 0);
        QCOMPARE(ComWrtByte(1, 'X'), 1);
        QCOMPARE(second.written(1), QByteArray("X"));
        CloseCom(1);

        const QByteArray tooLong = QByteArray(5000, '/') + "dev/null";
        qputenv("T483_COM2", tooLong);
        QCOMPARE(OpenComConfig(2, "", 1200, 0, 8, 1, 40, 40), int(RS232_OPEN_FAILED));
        QCOMPARE(QByteArray(GetRS232ErrorString(RS232_OPEN_FAILED)),
                 "Cannot open COM2 (" + tooLong + "): file name too long");
    }

    // The device's own settings (here a terminal's: line editing, echo,
    // 9600 baud) are the port's while it is open and come back when it is
    // closed, also after an opening anew while it was open.
    void closeRestoresTheDevicesSettings()
    {
        Pty pty;
        QVERIFY(pty.open());
        termios before;
        QCOMPARE(tcgetattr(pty.held, &before), 0);
        cfsetispeed(&before, B9600);
        cfsetospeed(&before, B9600);
        QCOMPARE(tcsetattr(pty.held, TCSANOW, &before), 0);
        QCOMPARE(tcgetattr(pty.held, &before), 0);
        QVERIFY(before.c_lflag & ICANON);
        qputenv("T483_COM1", pty.device);

        for (int openings : {1, 2}) {
            for (int k = 0; k < openings; k++)
                QCOMPARE(OpenComConfig(1, "", 1200, 0, 8, 1, 40, 40), 0);
            termios open;
            QCOMPARE(tcgetattr(pty.held, &open), 0);
            QCOMPARE(cfgetospeed(&open), speed_t(B1200));
            QVERIFY(!(open.c_lflag & (ICANON | ECHO)));
            QCOMPARE(CloseCom(1), 0);
            termios after;
            QCOMPARE(tcgetattr(pty.held, &after), 0);
            QVERIFY2(sameSettings(before, after), qPrintable(QString("after %1 openings").arg(openings)));
        }
    }

    // The program closes the port and opens it again (Start pressed anew).
    void reopen()
    {
        QVERIFY(openSim());
        QCOMPARE(CloseCom(1), 0);
        QCOMPARE(CloseCom(1), int(RS232_NOT_OPEN));
        QCOMPARE(OpenComConfig(1, "", 1200, 0, 8, 1, 40, 40), 0);
        QCOMPARE(OpenComConfig(1, "", 1200, 0, 8, 1, 40, 40), 0);  // while open
        SetComTime(1, 0.3);
        QCOMPARE(ComWrtByte(1, 'I'), 1);
        QCOMPARE(ComWrtByte(1, 13), 1);
        char buf[20];
        QCOMPARE(ComRdTerm(1, buf, 20, 13), 5);
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
