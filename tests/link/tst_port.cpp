// The link on one port, without the program's state: the reply scans, and
// each kind of reply as link_receive returns it.
#include <QTest>

#include "link/port.h"
#include "platform/serial.h"
#include "sim_process.h"

#include <memory>

class TestPort : public QObject {
    Q_OBJECT

    std::unique_ptr<SimProcess> sim;

private slots:
    void cleanup()
    {
        link_port_close(1);
        sim.reset();
    }

    // What each scan finds in a reply: -1 for none. A number that does not
    // fit an int is none; an identification skips to the first digit (a
    // '-' before it is no sign), the others read from the start.
    void scans_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("r");
        QTest::addColumn<int>("m");
        QTest::newRow("number") << QByteArray("4072") << 4072 << 4072 << 4072;
        QTest::newRow("zero") << QByteArray("0") << 0 << 0 << 0;
        QTest::newRow("after letters") << QByteArray("ABC 483123") << 483123 << -1 << -1;
        QTest::newRow("blanks first") << QByteArray(" 2500") << 2500 << 2500 << 2500;
        QTest::newRow("text after") << QByteArray("47 MOhm") << 47 << 47 << 47;
        QTest::newRow("negative") << QByteArray("-5") << 5 << -1 << -5;
        QTest::newRow("plus") << QByteArray("+12") << 12 << 12 << 12;
        QTest::newRow("empty") << QByteArray("") << -1 << -1 << -1;
        QTest::newRow("no digits") << QByteArray("T-FOUR") << -1 << -1 << -1;
        QTest::newRow("too long a number") << QByteArray("99999999999") << -1 << -1 << -1;
    }
    void scans()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, id);
        QFETCH(int, r);
        QFETCH(int, m);
        int value = -1;
        QCOMPARE(parse_id(reply.constData(), &value), int(id >= 0));
        QCOMPARE(value, id);
        value = -1;
        QCOMPARE(parse_r(reply.constData(), &value), int(r >= 0));
        QCOMPARE(value, r);
        value = -1;
        QCOMPARE(parse_m(reply.constData(), &value), int(m != -1));
        QCOMPARE(value, m);
    }

    // What the instrument puts on the line (the simulator's "send", or a
    // fault), as one reply: its count, whether the read ran out of time or
    // found the device gone, its text. A whole reply (link_receive_whole,
    // t483ctl's) is one whose CR came, twenty bytes at most.
    void replies_data()
    {
        QTest::addColumn<bool>("whole");
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("timedOut");
        QTest::addColumn<bool>("lost");
        QTest::addColumn<QByteArray>("text");
        const QString twenty = "0123456789ABCDEFGHIJ";
        QTest::newRow("whole") << false << "send 4072\\r" << 4 << false << false << QByteArray("4072");
        QTest::newRow("empty") << false << "send \\r" << 0 << false << false << QByteArray("");
        QTest::newRow("NUL inside") << false << "send 1\\x002\\r" << 3 << false << false << QByteArray("1\0" "2", 3);
        QTest::newRow("20 bytes, no CR") << false << "send 0123456789ABCDEFGHIJKLM" << 20 << false << false
                                         << twenty.toLatin1();
        QTest::newRow("silence") << false << "" << 0 << true << false << QByteArray("");
        QTest::newRow("cut short") << false << "send 40" << int(RS232_CUT_SHORT) << true << false << QByteArray("");
        QTest::newRow("device gone") << false << "kill" << int(RS232_IO) << false << true << QByteArray("");
        QTest::newRow("whole: 20 bytes and CR") << true << "send " + twenty + "\\r" << 20 << false << false
                                                << twenty.toLatin1();
        QTest::newRow("whole: 20 bytes, no CR") << true << "send 0123456789ABCDEFGHIJKLM" << int(RS232_CUT_SHORT)
                                                << false << false << QByteArray("");
    }
    void replies()
    {
        QFETCH(bool, whole);
        QFETCH(QString, line);
        QFETCH(int, count);
        QFETCH(bool, timedOut);
        QFETCH(bool, lost);
        QFETCH(QByteArray, text);
        sim = SimProcess::onPort(1);
        QVERIFY(sim);
        QCOMPARE(link_port_open(1), 0);
        if (line == "kill")
            sim->kill();
        else if (!line.isEmpty())
            QVERIFY(sim->command(line));
        LinkReply reply;
        memset(&reply, '#', sizeof reply);
        (whole ? link_receive_whole : link_receive)(1, &reply);
        QCOMPARE(reply.count, count);
        QCOMPARE(reply.timed_out, int(timedOut));
        QCOMPARE(reply.lost, int(lost));
        QCOMPARE(QByteArray(reply.text, text.size() + 1), text + '\0');
    }
};

QTEST_GUILESS_MAIN(TestPort)
#include "tst_port.moc"
