// t483ctl serve as a child process (T483_CTL) against the simulated T-483,
// its clients real TCP sockets on the loopback.
#include <QDir>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/socket.h>
#include <memory>
#include <vector>

#include "ctl_run.h"
#include "sim_process.h"
#include "slack.h"

namespace {

// A client: one socket, used without an event loop.
struct Client {
    QTcpSocket socket;

    bool open(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(slack(5000));
    }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(slack(5000))) {
        }
    }
    // The next reply line without its LF; "(none)" when none came.
    QByteArray line(int timeoutMs = slack(5000))
    {
        QElapsedTimer t;
        t.start();
        while (!socket.canReadLine() && t.elapsed() < timeoutMs)
            if (!socket.waitForReadyRead(int(timeoutMs - t.elapsed())))
                break;
        return socket.canReadLine() ? socket.readLine().chopped(1) : QByteArray("(none)");
    }
    QByteArray query(const QByteArray &text)
    {
        send(text + "\n");
        return line();
    }
};

const QByteArray IDN = "t483,T-483,48300," T483_TEST_VERSION;

}  // namespace

class TestServe : public QObject {
    Q_OBJECT

    std::unique_ptr<SimProcess> sim;
    QProcess server;
    quint16 port = 0;

    // Starts the server on COM1 (the simulator) and reads its port from
    // the line it prints.
    bool startServer(const QStringList &extra = {})
    {
        server.setProgram(qEnvironmentVariable("T483_CTL"));
        server.setArguments(QStringList{"--port", "COM1", "serve", "--listen", "127.0.0.1:0", "--no-http", "--no-mdns"} + extra);
        server.setProcessChannelMode(QProcess::SeparateChannels);
        server.start();
        if (!server.waitForStarted(slack(5000)))
            return false;
        QElapsedTimer t;
        t.start();
        while (!server.canReadLine() && t.elapsed() < slack(10000))
            if (!server.waitForReadyRead(slack(10000)))
                break;
        const QByteArray line = server.readLine();
        const auto m = QRegularExpression(R"(^listening on 127\.0\.0\.1:(\d+) \(COM1 (\S+)\)\n$)").match(QString::fromLatin1(line));
        if (!m.hasMatch()) {
            qWarning("server said: %s", line.constData());
            return false;
        }
        port = quint16(m.captured(1).toUInt());
        return m.captured(2) == qEnvironmentVariable("T483_COM1");
    }

    // Waits until the server's standard error holds text.
    bool waitErr(QByteArray *err, const QByteArray &text)
    {
        QDeadlineTimer deadline(slack(10000));
        while (!err->contains(text) && !deadline.hasExpired()) {
            server.waitForReadyRead(50);
            *err += server.readAllStandardError();
        }
        return err->contains(text);
    }

    // A signal that ends it (SIGTERM unless said), and its exit status.
    int stopServer(int signal = SIGTERM)
    {
        if (server.state() == QProcess::NotRunning)
            return -1;
        ::kill(pid_t(server.processId()), signal);
        if (!server.waitForFinished(slack(10000)))
            return -2;
        return server.exitStatus() == QProcess::NormalExit ? server.exitCode() : -3;
    }

    // t483ctl run to its end.
    static int ctl(const QStringList &args, QByteArray *err = nullptr)
    {
        const CtlRun r = runCtl(args);
        if (err)
            *err = r.err;
        return r.status;
    }

private slots:
    void init()
    {
        sim = SimProcess::onPort(1);
        QVERIFY(sim);
    }
    void cleanup()
    {
        if (server.state() != QProcess::NotRunning) {
            server.kill();
            server.waitForFinished(slack(5000));
        }
        if (const QByteArray err = server.readAllStandardError(); !err.isEmpty())
            qInfo("the server said: %s", err.constData());
        sim.reset();
    }

    // A session: the commands reach the decade byte for byte, the replies
    // come back; the port is the server's while it runs and free after.
    void session()
    {
        QVERIFY(startServer());
        QVERIFY(sim->waitReceived(1));
        QCOMPARE(sim->received(), QList<QByteArray>{"I\r"});
        sim->clearReceived();

        Client c;
        QVERIFY(c.open(port));
        QCOMPARE(c.query("*IDN?"), IDN);
        QCOMPARE(c.query("RES 4.072E9;RES?;:VOLT?"), QByteArray("4.072000E+09;1000"));
        QVERIFY(sim->command("voltage 2500"));
        QCOMPARE(c.query("sour:volt?"), QByteArray("2500"));
        QCOMPARE(c.query("SYST:LOC;*OPC?"), QByteArray("1"));
        QCOMPARE(c.query("SYST:ERR?"), QByteArray("0,\"No error\""));
        QCOMPARE(c.query("RES 99999 MOHM;SYST:ERR?"), QByteArray("-222,\"Data out of range\""));
        // Every query answered; *RST sends the decade nothing.
        QCOMPARE(c.query("RES 99999 MOHM;*ESR?;*STB?;SYST:ERR:ALL?;*RST;*TST?"),
                 QByteArray("16;4;-222,\"Data out of range\";0"));
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), (QList<QByteArray>{"L0\r", "R4072\r", "K\r", "M\r", "M\r", "L1\r", "I\r"}));

        QByteArray err;
        QCOMPARE(ctl({"--port", "COM1", "get"}, &err), 3);
        QVERIFY2(err.contains("in use"), err.constData());

        // A hang-up ends it as SIGTERM does, the decade left as it is.
        sim->clearReceived();
        QCOMPARE(stopServer(SIGHUP), 0);
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>());
        QCOMPARE(ctl({"--port", "COM1", "get"}), 0);
    }

    // An instrument that does not answer, or is gone: -240 queued, and the
    // query is still answered, with not-a-number.
    void silentInstrument()
    {
        QVERIFY(startServer());
        Client c;
        QVERIFY(c.open(port));
        QVERIFY(sim->command("fault silent"));
        QCOMPARE(c.query("RES?"), QByteArray("9.91E+37"));
        QCOMPARE(c.query("VOLT?;SYST:ERR?;ERR?;ERR?"),
                 QByteArray("9.91E+37;-240,\"Hardware error\";-240,\"Hardware error\";0,\"No error\""));
        QVERIFY(sim->command("fault none"));
        QCOMPARE(c.query("RES?"), QByteArray("1.000000E+08"));

        // The device gone altogether: the same, and the server stays.
        sim->kill();
        QCOMPARE(c.query("RES 5 MOHM;RES?;SYST:ERR?;ERR?"),
                 QByteArray("9.91E+37;-240,\"Hardware error\";-240,\"Hardware error\""));
        QCOMPARE(c.query("*IDN?"), IDN);
        QCOMPARE(stopServer(), 0);
    }

    // The device unplugged and plugged back in, reached by the same link
    // (as /dev/serial/by-id has it) to a new device: -240 while it is gone,
    // both said on standard error, and served again once it is back, put
    // under remote control anew.
    void deviceReturns()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("usb-T483-if00-port0");
        QVERIFY(QFile::link(sim->device(), link));
        qputenv("T483_COM1", link.toLocal8Bit());
        QVERIFY(startServer());
        Client c;
        QVERIFY(c.open(port));
        QCOMPARE(c.query("RES 5 MOHM;RES?"), QByteArray("5.000000E+06"));

        sim->kill();
        QByteArray err;
        QVERIFY2(waitErr(&err, "serve: the device is gone: COM1 (" + link.toLocal8Bit() + "); waiting for it to return\n"),
                 err.constData());
        QCOMPARE(c.query("RES?;SYST:ERR?"), QByteArray("9.91E+37;-240,\"Hardware error\""));

        sim = std::make_unique<SimProcess>();
        QVERIFY(sim->start({"--front", "4072"}));
        QVERIFY(QFile::remove(link) && QFile::link(sim->device(), link));
        QVERIFY2(waitErr(&err, "serve: the device is back: COM1 (" + link.toLocal8Bit() + "), identification 48300\n"),
                 err.constData());
        QCOMPARE(c.query("RES?"), QByteArray("4.072000E+09"));
        QCOMPARE(c.query("RES 5 MOHM;RES?"), QByteArray("5.000000E+06"));
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), (QList<QByteArray>{"I\r", "K\r", "L0\r", "R5\r", "K\r"}));
        QCOMPARE(stopServer(), 0);
    }

    // Replies past their read's time: each query gets its own reply or
    // not-a-number, never another's (the voltage, 2500, as the resistance).
    void lateReplies()
    {
        QVERIFY(sim->command("voltage 2500"));
        QVERIFY(startServer());
        Client c;
        QVERIFY(c.open(port));
        QVERIFY(sim->command("fault late 400"));
        QCOMPARE(c.query("VOLT?;RES?;SYST:ERR:COUN?"), QByteArray("9.91E+37;9.91E+37;2"));
        QVERIFY(sim->command("fault none"));
        QCOMPARE(c.query("RES?;VOLT?"), QByteArray("1.000000E+08;2500"));
        QCOMPARE(stopServer(), 0);
    }

    // Two clients on a slow decade: one sends many lines at once and goes
    // while its first command runs. The other is served in turn, not after
    // all of them; its reply is its own; the whole lines of the one gone
    // are still carried out.
    void twoClients()
    {
        QVERIFY(startServer());
        QVERIFY(sim->waitReceived(1));
        sim->clearReceived();
        QVERIFY(sim->command("fault late 200"));
        Client a, b;
        QVERIFY(a.open(port));
        QVERIFY(b.open(port));
        a.send(QByteArray("RES?\n").repeated(6) + "VOLT?");   // the last line unfinished
        QVERIFY(sim->waitReceived(1));
        b.send("*IDN?;VOLT?\n");
        a.socket.abort();
        QCOMPARE(b.line(), IDN + ";1000");
        QVERIFY(sim->waitReceived(7, slack(10000)));
        QVERIFY(sim->sentinel());
        const QList<QByteArray> sent = sim->received();
        QCOMPARE(sent.size(), 7);
        QCOMPARE(sent.count("K\r"), 6);
        QVERIFY2(sent.indexOf("M\r") <= 2, "the second client waited for the first one's lines");
        QCOMPARE(b.query("*OPC?"), QByteArray("1"));
        QCOMPARE(stopServer(), 0);
    }

    // Bad input on one connection: it stays open, the errors go into its
    // own queue, and another client sees none of them.
    void badInput()
    {
        QVERIFY(startServer());
        Client a, b;
        QVERIFY(a.open(port));
        QVERIFY(b.open(port));
        a.send(QByteArray(100000, 'x') + "\n" + QByteArray("\0\xff\n", 3) + "RES 'x\n");
        QCOMPARE(a.query("SYST:ERR:COUN?;NEXT?;NEXT?;NEXT?;NEXT?"),
                 QByteArray("3;-363,\"Input buffer overrun\";-102,\"Syntax error\";-102,\"Syntax error\";0,\"No error\""));
        QCOMPARE(b.query("SYST:ERR?"), QByteArray("0,\"No error\""));
        QCOMPARE(a.query("*IDN?"), IDN);
        QCOMPARE(stopServer(), 0);
    }

    // Clients as scripts write them. Connections opened and closed one
    // after another hold no seat. Lines sent before the client's end of
    // stream are answered, then the connection closes. A client that
    // floods and goes leaves nothing on standard error.
    void clientsThatGo()
    {
        QVERIFY(startServer());
        for (int k = 0; k < 20; k++) {
            Client brief;
            QVERIFY(brief.open(port));
        }
        Client c;
        QVERIFY(c.open(port));
        QCOMPARE(c.query("*IDN?"), IDN);

        Client half;
        QVERIFY(half.open(port));
        half.send("*IDN?\nRES?;VOLT?\n");
        QCOMPARE(::shutdown(int(half.socket.socketDescriptor()), SHUT_WR), 0);
        QCOMPARE(half.line(), IDN);
        QCOMPARE(half.line(), QByteArray("1.000000E+08;1000"));
        QVERIFY(half.socket.state() == QAbstractSocket::UnconnectedState ||
                half.socket.waitForDisconnected(slack(5000)));

        const QDir fdDir(QString("/proc/%1/fd").arg(server.processId()));
        const auto serverFds = [&] { return fdDir.entryList(QDir::NoDotAndDotDot | QDir::System).size(); };
        const qsizetype fds = serverFds();
        for (int k = 0; k < 10; k++) {
            Client flood;
            QVERIFY(flood.open(port));
            flood.send(QByteArray("*IDN?\n").repeated(20000));
            // Reset while replies are on their way, as a killed client
            // does.
            QVERIFY(flood.socket.waitForReadyRead(slack(5000)));
            const linger reset{1, 0};
            setsockopt(int(flood.socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            flood.socket.abort();
        }
        // Until the server has closed them all.
        QVERIFY(QTest::qWaitFor([&] { return serverFds() == fds; }, slack(10000)));
        QCOMPARE(c.query("*OPC?"), QByteArray("1"));
        QCOMPARE(stopServer(), 0);
        const QByteArray err = server.readAllStandardError();
        QVERIFY2(err.isEmpty(), err.constData());
    }

    // A thousand connections opened and dropped, some with a line begun or
    // bytes of no SCPI: the server carries on, with room for a full set of
    // clients again. One more than that is closed at once.
    void connectionsAndLimit()
    {
        QVERIFY(startServer());
        for (int batch = 0; batch < 50; batch++) {
            std::vector<std::unique_ptr<QTcpSocket>> sockets;
            for (int k = 0; k < 20; k++) {
                sockets.push_back(std::make_unique<QTcpSocket>());
                sockets.back()->connectToHost(QHostAddress::LocalHost, port);
            }
            for (size_t k = 0; k < sockets.size(); k++) {
                QTcpSocket &s = *sockets[k];
                if (!s.waitForConnected(slack(5000)))
                    QFAIL("a connection was not accepted by the system");
                if (k % 3 == 1)
                    s.write("RES 1 MOHM;RES?");
                else if (k % 3 == 2)
                    s.write(QByteArray("\0\x01\xfe", 3));
                s.flush();
            }
            for (auto &s : sockets)
                s->abort();
        }

        std::vector<std::unique_ptr<Client>> clients;
        // The server may still be taking in the end of the last batch.
        QVERIFY(QTest::qWaitFor([&] {
            clients.clear();
            for (int k = 0; k < 16; k++) {
                clients.push_back(std::make_unique<Client>());
                if (!clients.back()->open(port) || clients.back()->query("*IDN?") != IDN)
                    return false;
            }
            return true;
        }, slack(20000)));
        for (auto &c : clients)
            QCOMPARE(c->query("RES?;SYST:ERR?"), QByteArray("1.000000E+08;0,\"No error\""));

        Client extra;
        QVERIFY(extra.open(port));
        extra.socket.waitForDisconnected(slack(5000));
        QCOMPARE(extra.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(extra.socket.readAll(), QByteArray());

        // One goes: there is room for one again.
        clients.erase(clients.begin());
        QVERIFY(QTest::qWaitFor([&] {
            Client again;
            return again.open(port) && again.query("*OPC?") == "1";
        }, slack(10000)));
        QCOMPARE(stopServer(), 0);
    }

    // What ends it before it serves: a usage error (2), no T-483 (1), a
    // port in use, serial or TCP (3).
    void exitStatuses()
    {
        QByteArray err;
        QCOMPARE(ctl({"--port", "COM1", "serve", "--listen", "127.0.0.1:99999"}, &err), 2);
        QCOMPARE(ctl({"--port", "COM1", "serve", "--listen", "[::1"}), 2);
        QCOMPARE(ctl({"--port", "COM1", "serve", "extra"}), 2);

        QVERIFY(sim->command("ident 12345"));
        QCOMPARE(ctl({"--port", "COM1", "serve", "--listen", "127.0.0.1:0"}, &err), 1);
        QVERIFY2(err.contains("not a T-483"), err.constData());
        QVERIFY(sim->command("ident 48300"));

        QVERIFY(startServer());
        QCOMPARE(ctl({"--port", "COM1", "serve", "--listen", "127.0.0.1:0"}, &err), 3);
        QVERIFY2(err.contains("in use"), err.constData());
        const quint16 taken = port;
        QCOMPARE(stopServer(), 0);

        // The TCP port now held by another server on a second decade.
        auto second = SimProcess::onPort(2);
        QVERIFY(second);
        QProcess holder;
        holder.start(qEnvironmentVariable("T483_CTL"),
                     {"--port", "COM2", "serve", "--listen", QString("127.0.0.1:%1").arg(taken)});
        QVERIFY(holder.waitForReadyRead(slack(10000)));
        QCOMPARE(ctl({"--port", "COM1", "serve", "--listen", QString("127.0.0.1:%1").arg(taken)}, &err), 3);
        QVERIFY2(err.contains("cannot listen"), err.constData());
        ::kill(pid_t(holder.processId()), SIGINT);
        QVERIFY(holder.waitForFinished(slack(10000)));
        QCOMPARE(holder.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServe)
#include "tst_serve.moc"
