// REMOTE, the decade knobs, the resistance numeric, the timer's polling and
// the test-voltage lamps on the real panel, offscreen, against t483-sim.
#include "panel_session.h"
#include "sim_process.h"
#include "slack.h"

#include <memory>

namespace {

const QList<int> settable{hl_R3, hl_R2, hl_R1, hl_R0, hl_odpor};

int count(const QList<QByteArray> &cmds, const QByteArray &cmd)
{
    return int(std::count(cmds.begin(), cmds.end(), cmd));
}

} // namespace

class ResistanceTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PanelSession> s;
    std::unique_ptr<SimProcess> sim;

    // Started against the simulator on COM1, under local control.
    bool connected(const QStringList &options = {})
    {
        sim = SimProcess::onPort(1, options);
        return sim && s->connect(*sim);
    }
    bool remoteOn()
    {
        s->click("remote");
        return remote == 1;
    }
    // Waits until the simulator has received `more` further copies of cmd.
    bool waitFor(const QByteArray &cmd, int more, int timeoutMs = slack(3000))
    {
        const int target = count(sim->received(), cmd) + more;
        QElapsedTimer t;
        t.start();
        while (count(sim->received(), cmd) < target) {
            if (t.elapsed() > timeoutMs)
                return false;
            QTest::qWait(10);
        }
        return true;
    }

private slots:
    void init() { s = std::make_unique<PanelSession>(); }
    void cleanup()
    {
        s.reset();
        sim.reset();
    }

    // Each knob commit sends the composed resistance once and the numeric
    // follows; positions 10 and 11 count as such, and the composed value
    // may pass the numeric's typing range.
    void knobsSendTheComposedResistance_data()
    {
        QTest::addColumn<QList<int>>("positions");  // x 1G, x 100M, x 10M, x 1M
        QTest::addColumn<QList<QByteArray>>("sent");
        QTest::addColumn<int>("shown");
        QTest::newRow("4,0,7,2") << QList<int>{4, 0, 7, 2} << QList<QByteArray>{"R4000\r", "R4070\r", "R4072\r"} << 4072;
        QTest::newRow("0,11,11,11") << QList<int>{0, 11, 11, 11}
                                    << QList<QByteArray>{"R1100\r", "R1210\r", "R1221\r"} << 1221;
        QTest::newRow("15,11,11,11") << QList<int>{15, 11, 11, 11}
                                     << QList<QByteArray>{"R15000\r", "R16100\r", "R16210\r", "R16221\r"} << 16221;
    }
    void knobsSendTheComposedResistance()
    {
        QFETCH(QList<int>, positions);
        QFETCH(QList<QByteArray>, sent);
        QVERIFY(connected());
        QVERIFY(remoteOn());
        sim->clearReceived();
        const char *names[] = {"R3", "R2", "R1", "R0"};
        for (int k = 0; k < 4; k++)
            s->turnKnob(names[k], positions[k]);
        QCOMPARE(s->knobs(), positions);
        QCOMPARE(awaitCommands(*sim, int(sent.size())), sent);
        QTEST(R, "shown");
        QTEST(s->numericText().toInt(), "shown");
        QTEST(s->value(hl_odpor), "shown");
        // Under remote control the ticks keep the operator's setting.
        QVERIFY(waitFor("M\r", 2));
        QCOMPARE(s->knobs(), positions);
        QTEST(s->value(hl_odpor), "shown");
    }

    // The numeric shows a composed 16221 as it is; its arrows lead back
    // into the operator's range and never further out.
    void numericArrowsFromBeyondItsRange()
    {
        QVERIFY(connected());
        QVERIFY(remoteOn());
        for (const char *knob : {"R3", "R2", "R1", "R0"})
            s->turnKnob(knob, knob[1] == '3' ? 15 : 11);
        QCOMPARE(s->numericText(), QString("16221"));
        sim->clearReceived();
        QWidget *arrows = s->part("odpor.arrows");
        QTest::mouseClick(arrows, Qt::LeftButton, {}, QPoint(arrows->width() / 2, 2));
        QCOMPARE(s->numericText(), QString("16221"));
        QTest::mouseClick(arrows, Qt::LeftButton, {}, QPoint(arrows->width() / 2, arrows->height() - 3));
        QCOMPARE(awaitCommands(*sim, 1), QList<QByteArray>{"R15000\r"});
        QCOMPARE(s->knobs(), (QList<int>{15, 0, 0, 0}));
        QCOMPARE(s->numericText(), QString("15000"));
    }

    // 16221 read back puts "x 1G" on 16, its pointer resting on 15: under
    // remote control, turning it to 15 still sets 15.
    void thousandsAboveFifteenTurnBackToFifteen()
    {
        QVERIFY(connected({"--front", "16221"}));
        QVERIFY(waitFor("M\r", 1));
        QCOMPARE(s->displays(), (QStringList{"16", "2", "2", "1"}));
        QVERIFY(remoteOn());
        sim->clearReceived();
        s->turnKnob("R3", 15);
        QCOMPARE(awaitCommands(*sim, 1), QList<QByteArray>{"R15221\r"});
        QCOMPARE(s->displays(), (QStringList{"15", "2", "2", "1"}));
        QCOMPARE(s->numericText(), QString("15221"));
        // Once there, the same again is no change and sends nothing.
        s->turnKnob("R3", 15);
        QVERIFY(waitFor("M\r", 1));
        QCOMPARE(without(sim->received(), {"M"}), QList<QByteArray>{"R15221\r"});
    }

    // Typing a resistance and Enter sends it once and splits it over the
    // knobs; typing is held to 0..15000.
    void typedResistance_data()
    {
        QTest::addColumn<QByteArray>("typed");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QList<int>>("knobs");
        QTest::addColumn<QStringList>("displays");
        QTest::newRow("150") << QByteArray("150") << QByteArray("R150\r") << QList<int>{0, 1, 5, 0}
                             << QStringList{"0", "1", "5", "0"};
        QTest::newRow("12345") << QByteArray("12345") << QByteArray("R12345\r") << QList<int>{12, 3, 4, 5}
                               << QStringList{"12", "3", "4", "5"};
        QTest::newRow("0") << QByteArray("0") << QByteArray("R0\r") << QList<int>{0, 0, 0, 0}
                           << QStringList{"0", "0", "0", "0"};
        QTest::newRow("20000 held at 15000") << QByteArray("20000") << QByteArray("R15000\r")
                                             << QList<int>{15, 0, 0, 0} << QStringList{"15", "0", "0", "0"};
    }
    void typedResistance()
    {
        QFETCH(QByteArray, typed);
        QFETCH(QByteArray, sent);
        QVERIFY(connected());
        QVERIFY(remoteOn());
        if (typed == "0")  // from something else, so that 0 is a change
            s->typeResistance("7");
        sim->clearReceived();
        s->typeResistance(typed.constData());
        QTEST(s->knobs(), "knobs");
        QTEST(s->displays(), "displays");
        // Leaving the field, and ticks, send it no second time.
        s->part("remote")->setFocus();
        QVERIFY(waitFor("M\r", 2));
        QCOMPARE(without(sim->received(), {"M"}), QList<QByteArray>{sent});
    }

    // REMOTE hands the instrument over and back: L0 unlocks the knobs and
    // the numeric and lights REM, L1 locks them and darkens it.
    void remoteOnAndOff()
    {
        QVERIFY(connected());
        QCOMPARE(s->value(hl_LED4), 0);
        sim->clearReceived();
        QVERIFY(remoteOn());
        QCOMPARE(awaitCommands(*sim, 1), QList<QByteArray>{"L0\r"});
        for (int id : settable)
            QVERIFY(!s->dimmed(id));
        QCOMPARE(s->value(hl_LED4), 1);

        s->click("remote");
        QCOMPARE(remote, 0);
        QCOMPARE(awaitCommands(*sim, 2), (QList<QByteArray>{"L0\r", "L1\r"}));
        for (int id : settable)
            QVERIFY(s->dimmed(id));
        QCOMPARE(s->value(hl_LED4), 0);
        QVERIFY(!s->dimmed(hl_remote));
    }

    // Under local control each tick asks K then M; under remote control
    // only M. Mirroring the front panel never sends R back.
    void ticksPollByMode()
    {
        QVERIFY(connected({"--front", "4072"}));
        sim->clearReceived();
        QVERIFY(waitFor("M\r", 3));
        QList<QByteArray> got = sim->received();
        // Whole ticks only: from the first K to the last M.
        got = got.mid(got.indexOf("K\r"));
        while (!got.isEmpty() && got.last() != "M\r")
            got.removeLast();
        QVERIFY(got.size() >= 4);
        for (int k = 0; k < got.size(); k++)
            QCOMPARE(got[k], QByteArray(k % 2 ? "M\r" : "K\r"));
        QCOMPARE(s->knobs(), (QList<int>{4, 0, 7, 2}));
        QCOMPARE(s->value(hl_odpor), 4072);

        QVERIFY(remoteOn());
        sim->clearReceived();
        QVERIFY(waitFor("M\r", 3));
        QCOMPARE(without(sim->received(), {"M"}), QList<QByteArray>{});
    }

    // A change on the instrument's front panel shows within two ticks, and
    // is only ever read, never sent back: one session, one change after
    // another.
    void frontPanelChangeIsMirrored()
    {
        const struct {
            const char *front;
            QList<int> knobs;
            QStringList displays;
        } changes[] = {
            {"4072", {4, 0, 7, 2}, {"4", "0", "7", "2"}},
            {"0", {0, 0, 0, 0}, {"0", "0", "0", "0"}},
            // Beyond what the controls take from the operator: shown as it is.
            {"16221", {16, 2, 2, 1}, {"16", "2", "2", "1"}},
            {"15000", {15, 0, 0, 0}, {"15", "0", "0", "0"}},
        };
        QVERIFY(connected({"--front", "1234"}));
        QVERIFY(waitFor("M\r", 1));
        QCOMPARE(s->value(hl_odpor), 1234);
        for (const auto &c : changes) {
            QVERIFY(sim->command(QStringLiteral("front ") + c.front));
            QVERIFY(s->waitTicks(2));
            QCOMPARE(s->knobs(), c.knobs);
            QCOMPARE(R, atoi(c.front));
            QCOMPARE(s->numericText(), QString(c.front));
            QCOMPARE(s->displays(), c.displays);
        }
        QVERIFY(waitFor("M\r", 2));
        QCOMPARE(without(sim->received(), {"I", "K", "M"}), QList<QByteArray>{});
    }

    // The lamp of the reported voltage alone is lit; anything else, or no
    // number at all, darkens all three. One session goes through the
    // voltages in an order that has each lamp lit after each of the other
    // two and each kind of non-voltage after a different lit lamp; then
    // under remote control (its ticks ask M alone) a lit and a dark one.
    void voltageLamps()
    {
        const struct {
            const char *voltage;
            QList<int> lit;  // 1 kV, 2.5 kV, 5 kV
        } steps[] = {
            {"1000", {1, 0, 0}}, {"2500", {0, 1, 0}}, {"5000", {0, 0, 1}}, {"2500", {0, 1, 0}},
            {"1000", {1, 0, 0}}, {"5000", {0, 0, 1}}, {"2400", {0, 0, 0}}, {"1000", {1, 0, 0}},
            {"", {0, 0, 0}},     {"2500", {0, 1, 0}}, {"kV", {0, 0, 0}},
        };
        QVERIFY(connected({"--voltage", "5000"}));
        QVERIFY(waitFor("M\r", 1));
        QCOMPARE(s->lamps(), (QList<int>{0, 0, 1}));
        for (const auto &step : steps) {
            QVERIFY(sim->command(QStringLiteral("voltage ") + step.voltage));
            QVERIFY(waitFor("M\r", 2));
            QVERIFY2(s->lamps() == step.lit, step.voltage);
        }
        QVERIFY(remoteOn());
        for (const auto &step : {steps[2], steps[6]}) {
            QVERIFY(sim->command(QStringLiteral("voltage ") + step.voltage));
            QVERIFY(waitFor("M\r", 2));
            QVERIFY2(s->lamps() == step.lit, step.voltage);
        }
    }

    // A K reply without a number leaves R, the knobs and the numeric as
    // they were.
    void unreadableResistanceKeepsTheLastOne_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::newRow("empty") << "";
        QTest::newRow("text") << "ERR";
        QTest::newRow("garbage") << "\\xff#";
        QTest::newRow("negative") << "-5";
    }
    void unreadableResistanceKeepsTheLastOne()
    {
        QFETCH(QString, reply);
        QVERIFY(connected({"--front", "4072"}));
        QVERIFY(waitFor("M\r", 1));
        QCOMPARE(s->knobs(), (QList<int>{4, 0, 7, 2}));
        QVERIFY(sim->command("front " + reply));
        QVERIFY(waitFor("K\r", 3));
        QCOMPARE(R, 4072);
        QCOMPARE(s->knobs(), (QList<int>{4, 0, 7, 2}));
        QCOMPARE(s->numericText(), QString("4072"));
        QCOMPARE(s->value(hl_odpor), 4072);
    }

    // Offline: the knobs and the numeric follow each other, nothing leaves
    // the computer, and no voltage lamp lights.
    void offline()
    {
        sim = SimProcess::onPort(1);
        QVERIFY(sim);
        QVERIFY(s->start("[t483]\ndemo=1\n"));
        s->click("start");
        QCOMPARE(run, 1);
        QVERIFY(remoteOn());
        QCOMPARE(s->value(hl_LED4), 1);
        s->turnKnob("R3", 4);
        s->turnKnob("R1", 7);
        s->turnKnob("R0", 2);
        QCOMPARE(s->value(hl_odpor), 4072);
        QCOMPARE(s->numericText(), QString("4072"));
        s->typeResistance("12345");
        QCOMPARE(s->knobs(), (QList<int>{12, 3, 4, 5}));
        QVERIFY(s->waitTicks(2));  // ticks under remote control
        s->click("remote");
        QVERIFY(s->waitTicks(2));  // ticks under local control
        QCOMPARE(s->value(hl_LED4), 0);
        QCOMPARE(s->lamps(), (QList<int>{0, 0, 0}));
        QCOMPARE(R, 12345);
        QCOMPARE(s->knobs(), (QList<int>{12, 3, 4, 5}));
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>{});
    }

    // A silent instrument: a tick waits at most 0.3 s for each of its two
    // replies, and between ticks the operator is still answered.
    void silentInstrumentLeavesThePanelUsable()
    {
        QVERIFY(connected());
        QVERIFY(sim->command("fault silent"));
        QVERIFY(waitFor("M\r", 1));

        // A probe every 10 ms sees how long the event loop is held, and how
        // often it is free between one tick and the next.
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0, worst = 0;
        int probes = 0;
        QList<int> probesByTick;  // the probes seen by the end of each tick
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        connect(&probe, &QTimer::timeout, [&] {
            worst = std::max(worst, clock.elapsed() - last);
            last = clock.elapsed();
            probes++;
        });
        connect(s->timer, &QTimer::timeout, &probe, [&] { probesByTick << probes; });
        probe.start(10);
        const int ticksBefore = count(sim->received(), "M\r");
        QVERIFY(s->waitTicks(2));
        // The operator takes remote control in the middle of it all.
        QElapsedTimer took;
        took.start();
        s->click("remote");
        const qint64 answered = took.elapsed();
        QVERIFY(s->waitTicks(2));
        probe.stop();
        const int ticks = count(sim->received(), "M\r") - ticksBefore;

        QVERIFY2(worst <= 2 * 300 + slack(150), qPrintable(QString("event loop held %1 ms").arg(worst)));
        QVERIFY2(ticks >= 3, qPrintable(QString::number(ticks)));
        // Between ticks the loop is free for a good part of the time (the
        // click held it between the second and the third).
        QCOMPARE(probesByTick.size(), 4);
        for (int k : {1, 3})
            QVERIFY2(probesByTick[k] - probesByTick[k - 1] >= 5,
                     qPrintable(QString("%1 probes between ticks").arg(probesByTick[k] - probesByTick[k - 1])));
        QCOMPARE(remote, 1);
        QVERIFY2(answered <= 300 + slack(100), qPrintable(QString::number(answered)));  // L0 and its unanswered read
        QVERIFY(sim->received().contains("L0\r"));
        QVERIFY(!s->dimmed(hl_R0));
    }
};

QTEST_MAIN(ResistanceTest)
#include "tst_resistance.moc"
