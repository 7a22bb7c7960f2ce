// The instrument link against the simulated T-483: frames on the wire,
// offline mode, replies into radek and the scans that read them.
#include <QElapsedTimer>
#include <algorithm>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "app/state.h"
#include "link/link.h"
#include "platform/serial.h"
#include "sim_process.h"
#include "slack.h"

#include <memory>

class TestLink : public QObject {
    Q_OBJECT

    std::unique_ptr<SimProcess> sim;

    // Sends one command and reads its reply, as every caller does.
    void exchange(const char *command)
    {
        sendstring(command);
        link_read();
    }

    // Sets what the simulator answers (an empty text: just the CR), or makes
    // it silent for a null one.
    bool answer(const char *setting, const QByteArray &reply)
    {
        if (reply.isNull())
            return sim->command("fault silent");
        return sim->command(QString(setting) + ' ' + QString::fromLatin1(reply));
    }

private slots:
    void init()
    {
        reset_state();
        sim = SimProcess::onPort(1);
        QVERIFY(sim);
        com = 1;
        QCOMPARE(link_open(com), 0);
        memset(radek, '#', sizeof radek);
    }
    void cleanup()
    {
        link_close();
        sim.reset();
        reset_state();
    }

    void frames_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("R0") << QByteArray("R0") << QByteArray("R0\r");
        QTest::newRow("R15000") << QByteArray("R15000") << QByteArray("R15000\r");
        QTest::newRow("L1") << QByteArray("L1") << QByteArray("L1\r");
        QTest::newRow("P0") << QByteArray("P0") << QByteArray("P0\r");
        QTest::newRow("high byte") << QByteArray("\xe9") << QByteArray("\xe9\r");
    }
    void frames()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, wire);
        QCOMPARE(sendstring(command.constData()), 1);
        link_read();
        QVERIFY(sim->waitReceived(1));
        QCOMPARE(sim->received(), QList<QByteArray>{wire});
    }

    // Offline, nothing leaves the computer: the first frame the instrument
    // sees afterwards is the first one sent online, with nothing before it.
    void offlineSendsNothing()
    {
        demo = 1;
        for (const char *command : {"I", "R0", "L0", "K", "M", "L1", "P0"}) {
            QCOMPARE(sendstring(command), 1);
            strcpy(radek, "stale");
            i = 5;
            link_read();
            QVERIFY(i < 0);
            QCOMPARE(radek[0], '\0');
        }
        demo = 0;
        exchange("M");
        QCOMPARE(QByteArray(radek), QByteArray("1000"));
        QVERIFY(sim->waitReceived(1));
        QCOMPARE(sim->received(), QList<QByteArray>{"M\r"});
    }

    void identification_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("ident");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("48305") << QByteArray("48305") << 48305 << true;
        QTest::newRow("after letters") << QByteArray("ABC 483123") << 483123 << true;
        QTest::newRow("270001") << QByteArray("270001") << 270001 << true;
        QTest::newRow("4830") << QByteArray("4830") << 4830 << false;
        QTest::newRow("no digits") << QByteArray("T-FOUR") << 6 << false;
        QTest::newRow("empty") << QByteArray("") << 0 << false;
        QTest::newRow("too long a number") << QByteArray("99999999999") << 11 << false;
        QTest::newRow("48400") << QByteArray("48400") << 48400 << false;
    }
    void identification()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, ident);
        QFETCH(bool, accepted);
        QVERIFY(answer("ident", reply));
        exchange("I");
        scan_id();
        QCOMPARE(i, ident);
        QCOMPARE(t483_ident_ok(i), int(accepted));
    }

    // A silent port fails the identification after one timeout, not before.
    void identificationSilent()
    {
        QVERIFY(sim->command("fault silent"));
        QElapsedTimer t;
        t.start();
        exchange("I");
        QVERIFY2(t.elapsed() >= 280 && t.elapsed() < 300 + slack(150), qPrintable(QString::number(t.elapsed())));
        scan_id();
        QVERIFY(i <= 0);
        QCOMPARE(t483_ident_ok(i), 0);
        QCOMPARE(radek[0], '\0');
    }

    void identRule_data()
    {
        QTest::addColumn<int>("ident");
        QTest::addColumn<bool>("accepted");
        const struct {
            int ident;
            bool ok;
        } rows[] = {{48299, false}, {48300, true},  {48399, true},   {482999, false},
                    {483000, true}, {483999, true}, {269999, false}, {270000, true},
                    {279999, true}, {280000, false}, {-48300, false}, {-270000, false},
                    {0, false},     {20, false}};
        for (const auto &r : rows)
            QTest::newRow(qPrintable(QString::number(r.ident))) << r.ident << r.ok;
    }
    void identRule()
    {
        QFETCH(int, ident);
        QFETCH(bool, accepted);
        QCOMPARE(t483_ident_ok(ident), int(accepted));
    }

    void voltage_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("volts");
        QTest::newRow("1 kV") << QByteArray("1000") << 1000;
        QTest::newRow("2.5 kV") << QByteArray("2500") << 2500;
        QTest::newRow("5 kV") << QByteArray("5000") << 5000;
        QTest::newRow("2400") << QByteArray("2400") << 2400;
        QTest::newRow("empty") << QByteArray("") << 0;
        QTest::newRow("text") << QByteArray("HIGH") << 0;
        QTest::newRow("too long a number") << QByteArray("99999999999") << 0;
        QTest::newRow("silent") << QByteArray() << 0;
    }
    void voltage()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, volts);
        QVERIFY(answer("voltage", reply));
        M = 2500;
        exchange("M");
        scan_m();
        QCOMPARE(M, volts);
    }

    void frontPanel_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("resistance");
        QTest::newRow("4072") << QByteArray("4072") << 4072;
        QTest::newRow("0") << QByteArray("0") << 0;
        QTest::newRow("empty keeps R") << QByteArray("") << 1234;
        QTest::newRow("text keeps R") << QByteArray("ERR") << 1234;
        QTest::newRow("too long a number keeps R") << QByteArray("99999999999") << 1234;
        QTest::newRow("negative keeps R") << QByteArray("-5") << 1234;
        QTest::newRow("silent keeps R") << QByteArray() << 1234;
    }
    void frontPanel()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, resistance);
        QVERIFY(answer("front", reply));
        R = 1234;
        exchange("K");
        scan_r();
        QCOMPARE(R, resistance);
    }

    // A complete reply is taken as soon as its CR arrives: ten exchanges
    // take far less than one read timeout each.
    void completeReplyIsQuick()
    {
        QElapsedTimer t;
        t.start();
        for (int k = 0; k < 10; k++)
            exchange("K");
        QVERIFY2(t.elapsed() < slack(500), qPrintable(QString::number(t.elapsed())));
        QCOMPARE(i, 3);
        QCOMPARE(QByteArray(radek), QByteArray("100"));
    }

    // A reply whose end has not come when the read runs out of time is no
    // reply: the read fails with an empty reply, and the scans keep to
    // their rules for a failed read (R kept, M none).
    void cutShortReply_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::newRow("K") << QByteArray("K");
        QTest::newRow("M") << QByteArray("M");
    }
    void cutShortReply()
    {
        QFETCH(QByteArray, command);
        QVERIFY(sim->command("front 4072"));
        QVERIFY(sim->command("voltage 2500"));
        QVERIFY(sim->command("fault split 450"));
        R = 1234;
        M = 2500;
        exchange(command.constData());
        QVERIFY2(i < 0, qPrintable(QString::number(i)));
        QCOMPARE(radek[0], '\0');
        scan_r();
        QCOMPARE(R, 1234);
        scan_m();
        QCOMPARE(M, 0);
    }

    // Replies that come just after their read ran out of time: none is
    // taken for the reply to the command after it (a read that ends late
    // on a busy machine may still find its own), and once the instrument
    // answers in time again each reply is its own command's.
    void lateRepliesAreNotTheNextOnes()
    {
        QVERIFY(sim->command("front 1000"));
        QVERIFY(sim->command("voltage 5000"));
        QVERIFY(sim->command("fault late 310"));
        for (int k = 0; k < 3; k++) {
            exchange("K");
            QVERIFY2(QByteArray(radek).isEmpty() || QByteArray(radek) == "1000", radek);
            exchange("M");
            QVERIFY2(QByteArray(radek).isEmpty() || QByteArray(radek) == "5000", radek);
        }
        QVERIFY(sim->command("fault none"));
        exchange("M");
        QCOMPARE(QByteArray(radek), QByteArray("5000"));
        exchange("K");
        QCOMPARE(QByteArray(radek), QByteArray("1000"));
    }

    // The price of that care: a silent instrument's K and M, each waiting
    // out its read, take 0.65 s together (two reads and two short quiets;
    // the bound allows a loaded machine its slack), and an empty reply,
    // being complete, costs no wait at all.
    void silentInstrumentKeepsToItsTime()
    {
        QVERIFY(sim->command("fault silent"));
        exchange("M");
        QList<qint64> pairs;
        for (int k = 0; k < 5; k++) {
            QElapsedTimer t;
            t.start();
            exchange("K");
            exchange("M");
            pairs << t.elapsed();
        }
        std::sort(pairs.begin(), pairs.end());
        const QString all = QString("%1 %2 %3 %4 %5 ms").arg(pairs[0]).arg(pairs[1]).arg(pairs[2]).arg(pairs[3]).arg(pairs[4]);
        QVERIFY2(pairs[0] >= 630 && pairs[2] < 650 + slack(50), qPrintable(all));

        QVERIFY(sim->command("fault none"));
        QVERIFY(sim->command("front"));
        exchange("K");
        QElapsedTimer t;
        t.start();
        for (int k = 0; k < 10; k++)
            exchange("K");
        QVERIFY2(t.elapsed() < slack(150), qPrintable(QString::number(t.elapsed())));
        QCOMPARE(i, 0);
    }

    // An over-long reply without CR fills 20 bytes and radek ends after
    // them; nothing beyond is touched.
    void overlongReply()
    {
        QVERIFY(sim->command("fault long"));
        exchange("K");
        QCOMPARE(i, 20);
        QCOMPARE(QByteArray(radek), QByteArray("0123456789ABCDEFGHIJ"));
        for (int k = 21; k < TEXT_SIZE; k++)
            QCOMPARE(radek[k], '#');
    }

    void garbageReply()
    {
        QVERIFY(sim->command("fault garbage"));
        M = 1000;
        exchange("M");
        scan_m();
        QCOMPARE(M, 0);
        QCOMPARE(i, 4);
    }

    // The instrument gone mid-session, pulled (its end killed) or hung up
    // at once or after answering one more command: every exchange after it
    // fails with RS232_IO, the one failure link_lost takes for a device
    // that is gone (the panel and t483ctl then give up the port), an empty
    // reply, and the scans keep to their rules. The panel's handling of it
    // is the same whichever way it went (tst_faults.cpp).
    void instrumentGone_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("unplugged") << "kill";
        QTest::newRow("hangs up at once") << "hangup 0";
        QTest::newRow("hangs up after a reply") << "hangup 1";
    }
    void instrumentGone()
    {
        QFETCH(QString, how);
        exchange("K");
        QCOMPARE(i, 3);
        QCOMPARE(link_lost(), 0);
        if (how == "kill") {
            sim->kill();
        } else {
            QVERIFY(sim->command("fault " + how));
            if (how == "hangup 1") {
                exchange("K");
                QCOMPARE(QByteArray(radek), QByteArray("100"));
            }
            QVERIFY(QTest::qWaitFor([&] { return sim->hungUp(); }, slack(5000)));
        }
        R = 77;
        M = 1000;
        QVERIFY(sendstring("K") < 0);
        link_read();
        QCOMPARE(i, int(RS232_IO));
        QCOMPARE(link_lost(), 1);
        QCOMPARE(radek[0], '\0');
        scan_r();
        QCOMPARE(R, 77);
        exchange("M");
        scan_m();
        QCOMPARE(M, 0);
    }

    // R changes the instrument only under remote control.
    void remoteControl()
    {
        exchange("R47");
        QCOMPARE(QByteArray(radek), QByteArray("R47"));
        exchange("K");
        QCOMPARE(QByteArray(radek), QByteArray("100"));
        exchange("L0");
        exchange("R47");
        exchange("K");
        QCOMPARE(QByteArray(radek), QByteArray("47"));
        exchange("L1");
        exchange("K");
        QCOMPARE(QByteArray(radek), QByteArray("100"));
    }

    // With T483_TRACE=1 each command and reply is one time-stamped line on
    // standard error; without it, nothing.
    void trace()
    {
        QTemporaryFile log;
        QVERIFY(log.open());
        fflush(stderr);
        const int saved = dup(2);
        dup2(log.handle(), 2);
        qputenv("T483_TRACE", "1");
        exchange("K");
        sim->command("fault silent");
        exchange("R\x01");
        qputenv("T483_TRACE", "0");
        exchange("M");
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        qunsetenv("T483_TRACE");

        QFile written(log.fileName());
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromLatin1(written.readAll()).split('\n', Qt::SkipEmptyParts);
        const QStringList expected = {R"(COM1 > "K")", R"(COM1 < "100")", R"(COM1 > "R\x01")",
                                      R"(COM1 < "")"};
        QCOMPARE(lines.size(), expected.size());
        const QRegularExpression stamp(R"(^\d\d:\d\d:\d\d\.\d\d\d )");
        for (int k = 0; k < lines.size(); k++) {
            QVERIFY2(stamp.match(lines[k]).hasMatch(), qPrintable(lines[k]));
            QCOMPARE(lines[k].mid(13), expected[k]);
        }
    }

    void openFailureIsReturned()
    {
        qputenv("T483_COM3", "/nonexistent/ttyQ");
        QCOMPARE(link_open(3), int(RS232_NO_DEVICE));
        qunsetenv("T483_COM3");
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_commands.moc"
