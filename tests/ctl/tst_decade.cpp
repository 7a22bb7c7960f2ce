// t483ctl's Decade in-process: two of them on two simulated decades at once.
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "ctl/decade.h"
#include "ctl/reconnect.h"
#include "sim_process.h"

#include <memory>

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
};

QTEST_GUILESS_MAIN(TestDecade)
#include "tst_decade.moc"
