// t483ctl's Decade in-process: two of them on two simulated decades at once.
#include <QTest>

#include "ctl/decade.h"
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
};

QTEST_GUILESS_MAIN(TestDecade)
#include "tst_decade.moc"
