// t483ctl's Decade in-process: two of them on two simulated decades at
// once, one looked for again once lost, and replies that are not the
// command's own.
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "ctl/decade.h"
#include "ctl/reconnect.h"
#include "link/port.h"
#include "sim_process.h"

#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

// A command put on the line from another opening of the device, as a run
// that was killed before its reply came had sent it.
bool sendFromElsewhere(const SimProcess &sim, const QByteArray &command)
{
    const int fd = ::open(sim.device().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    const bool sent = ::write(fd, command.constData(), size_t(command.size())) == command.size();
    return ::close(fd) == 0 && sent;
}

// Each of the calls ("I K M") as the Decade answers it, "-" for none.
QString answers(Decade &decade, const QString &calls)
{
    QStringList got;
    for (const QString &call : calls.split(' ')) {
        const std::optional<int> v = call == "I" ? decade.identify() : call == "K" ? decade.resistance() : decade.voltage();
        got << (v ? QString::number(*v) : "-");
    }
    return got.join(' ');
}

}  // namespace

class TestDecade : public QObject {
    Q_OBJECT

private slots:
    // Each Decade talks to its own instrument only: its replies, its
    // silence and its loss are its own, and nothing of one reaches the
    // other's line.
    void twoSideBySide()
    {
        auto a = SimProcess::onPort(1, {"--ident", "48305", "--front", "4072"});
        auto b = SimProcess::onPort(2, {"--ident", "270001", "--voltage", "5000"});
        QVERIFY(a && b);
        Decade one, two;
        std::string error;
        QCOMPARE(one.open(1, &error), 0);
        QCOMPARE(two.open(2, &error), 0);
        QCOMPARE(QString::fromStdString(two.device()), b->device());
        QCOMPARE(one.identify().value_or(-1), 48305);
        QCOMPARE(two.identify().value_or(-1), 270001);
        QVERIFY(two.setRemote(true) && two.setResistance(47));
        QCOMPARE(one.resistance().value_or(-1), 4072);
        QCOMPARE(two.resistance().value_or(-1), 47);

        QVERIFY(a->command("fault silent"));
        QVERIFY(!one.voltage());
        QCOMPARE(two.voltage().value_or(-1), 5000);
        b->kill();
        QVERIFY(!two.resistance());
        QVERIFY(two.lost());
        QVERIFY(!one.lost());
        QVERIFY(a->command("fault none"));
        QCOMPARE(one.voltage().value_or(-1), 1000);

        QVERIFY(a->sentinel());
        QCOMPARE(a->received(), (QList<QByteArray>{"I\r", "K\r", "M\r", "M\r"}));
    }

    // A lost decade looked for on its path (a link, as /dev/serial/by-id
    // has them): only the same identification gives it back open; anything
    // else leaves it closed, saying what was found.
    void reconnect_data()
    {
        QTest::addColumn<QString>("there");  // what the link leads to
        QTest::addColumn<int>("outcome");
        QTest::addColumn<int>("ident");
        QTest::newRow("nothing yet") << "nothing" << int(Reconnect::Absent) << 0;
        QTest::newRow("no serial port") << "file" << int(Reconnect::Unopened) << 0;
        QTest::newRow("silent") << "fault silent" << int(Reconnect::Silent) << 0;
        QTest::newRow("another decade") << "ident 48399" << int(Reconnect::Other) << 48399;
        QTest::newRow("the same") << "ident 48305" << int(Reconnect::Back) << 48305;
    }
    void reconnect()
    {
        QFETCH(QString, there);
        QFETCH(int, outcome);
        QFETCH(int, ident);
        QTemporaryDir dir;
        const QString link = dir.filePath("usb-T483-if00-port0");
        SimProcess sim;
        if (there == "file")
            QVERIFY(QFile(dir.filePath("file")).open(QIODevice::WriteOnly) && QFile::link(dir.filePath("file"), link));
        else if (there != "nothing")
            QVERIFY(sim.start() && sim.command(there) && QFile::link(sim.device(), link));
        qputenv("T483_COM3", link.toLocal8Bit());
        Decade decade;
        const Reconnect r = ::reconnect(decade, 3, link.toStdString(), 48305);
        QCOMPARE(int(r.outcome), outcome);
        QCOMPARE(r.ident, ident);
        QCOMPARE(r.error.empty(), outcome != Reconnect::Unopened);
        QCOMPARE(decade.isOpen(), outcome == Reconnect::Back);
        QCOMPARE(decade.resistance().value_or(-1), outcome == Reconnect::Back ? 100 : -1);
    }

    // Another run's M (killed before its reply came, answered late) whose
    // reply lands after this Decade's open: during the open's wait for a
    // quiet line, or while the identification is read, which is then asked
    // again. Each answer is the command's own all the same.
    void staleReply_data()
    {
        QTest::addColumn<bool>("beforeOpen");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("expected");
        QTest::newRow("on its way at the open") << true << "K" << "4072";
        QTest::newRow("landing in the identification") << false << "I K" << "48305 4072";
    }
    void staleReply()
    {
        QFETCH(bool, beforeOpen);
        QFETCH(QString, call);
        QFETCH(QString, expected);
        auto sim = SimProcess::onPort(1, {"--ident", "48305", "--front", "4072", "--voltage", "2500", "--fault", "late", "50"});
        QVERIFY(sim);
        Decade decade;
        std::string error;
        if (!beforeOpen)
            QCOMPARE(decade.open(1, &error), 0);
        QVERIFY(sendFromElsewhere(*sim, "M\r") && sim->waitReceived(1));
        if (beforeOpen)
            QCOMPARE(decade.open(1, &error), 0);
        QCOMPARE(answers(decade, call), expected);
    }

    // Replies that are no answer in t483ctl: one that came after its read
    // ran out of time, one of 20 bytes without its CR (and more), text
    // without a number for M. Each is none, and no later command takes it
    // for its own, before or after the decade answers properly again; nor
    // does a program that opens the port once the Decade has closed it.
    void repliesNotTaken_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("calls");
        QTest::addColumn<QString>("expected");
        QTest::newRow("0.4 s late") << "late 400" << "M K M" << "- - -";
        QTest::newRow("20 bytes without CR") << "long" << "K" << "-";
        QTest::newRow("garbage") << "garbage" << "M" << "-";
    }
    void repliesNotTaken()
    {
        QFETCH(QString, fault);
        QFETCH(QString, calls);
        QFETCH(QString, expected);
        auto sim = SimProcess::onPort(1, {"--front", "4072", "--voltage", "2500"});
        QVERIFY(sim);
        Decade decade;
        std::string error;
        QCOMPARE(decade.open(1, &error), 0);
        QVERIFY(sim->command("fault " + fault));
        QCOMPARE(answers(decade, calls), expected);
        QVERIFY(sim->command("fault none"));
        QCOMPARE(answers(decade, "K M"), QString("4072 2500"));

        QVERIFY(sim->command("fault " + fault));
        QCOMPARE(answers(decade, calls), expected);
        decade.close();
        QCOMPARE(link_port_open(1), 0);
        LinkReply next;
        link_receive(1, &next);
        link_port_close(1);
        QCOMPARE(next.count, 0);
    }
};

QTEST_GUILESS_MAIN(TestDecade)
#include "tst_decade.moc"
