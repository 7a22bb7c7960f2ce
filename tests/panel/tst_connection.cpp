// Start, Power OFF and Exit on the real panel, offscreen, against t483-sim on
// a pseudo-terminal: the bytes the instrument receives, what is dimmed, the
// focus, the COM selector's colour and the pop-ups.
#include "panel_session.h"
#include "sim_process.h"
#include "slack.h"

#include <memory>

namespace {

QList<int> dimmedOf(const PanelSession &s)
{
    QList<int> out;
    for (int id = hl_vyp; id <= hl_odpor; id++)
        if (s.dimmed(id))
            out << id;
    return out;
}

} // namespace

class ConnectionTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PanelSession> s;
    std::unique_ptr<SimProcess> sim;

    // Operates Exit by the button, the Escape key or the window's close box.
    void exitBy(const QString &route)
    {
        if (route == "button")
            s->click("konec");
        else if (route == "Escape")
            QTest::keyClick(s->window, Qt::Key_Escape);
        else
            s->window->close();
    }

    // Starts the simulator on COM1 with these options.
    bool simOnCom1(const QStringList &options = {})
    {
        sim = SimProcess::onPort(1, options);
        return sim != nullptr;
    }

    // Start pressed with a T-483 answering: the connected state.
    bool connected() { return simOnCom1() && s->connect(*sim); }

private slots:
    void init()
    {
        s = std::make_unique<PanelSession>();
        qunsetenv("T483_COM1");
        qunsetenv("T483_COM2");
    }
    void cleanup()
    {
        s.reset();
        sim.reset();
    }

    // An accepted identification unlocks Power OFF and REMOTE and locks
    // Start and the port choice; only "I" was sent.
    void passingIdentification()
    {
        QVERIFY(simOnCom1({"--ident", "ID 483123"}));
        QVERIFY(s->start());
        s->click("start");
        QCOMPARE(run, 1);
        QCOMPARE(com, 1);
        QVERIFY(sim->waitReceived(1));
        QCOMPARE(sim->received().first(), QByteArray("I\r"));
        QVERIFY(!s->dimmed(hl_vyp));
        QVERIFY(!s->dimmed(hl_remote));
        QVERIFY(!s->dimmed(hl_konec));
        QVERIFY(s->dimmed(hl_start));
        QVERIFY(s->dimmed(hl_com));
        QCOMPARE(s->failColour(), -1);
        QVERIFY(popups.isEmpty());
        // Still local control: knobs and numeric stay locked.
        for (int id : {hl_R3, hl_R2, hl_R1, hl_R0, hl_odpor})
            QVERIFY(s->dimmed(id));
    }

    // A port that cannot be opened: the run-time's own text for the error,
    // red port choice, nothing unlocked; the operator picks another port and
    // Start works there.
    void unopenablePortThenAnother()
    {
        QVERIFY(simOnCom1());
        qputenv("T483_COM1", "/nonexistent/ttyT483");
        sim->useAsPort(2);
        QVERIFY(s->start("[t483]\nlanguage=3\n"));
        const QList<int> before = dimmedOf(*s);

        s->click("start");
        QCOMPARE(popups.size(), 1);
        QCOMPARE(popups[0].title, QByteArray("T-483 Control"));
        QVERIFY(i < 0);
        QCOMPARE(popups[0].text, QByteArray(GetRS232ErrorString(i)));
        QVERIFY2(popups[0].text.contains("/nonexistent/ttyT483"), popups[0].text.constData());
        QVERIFY(popups[0].text != QByteArray(t1));
        QCOMPARE(s->failColour(), 0xFF0000);
        QCOMPARE(run, 0);
        QCOMPARE(dimmedOf(*s), before);
        QCOMPARE(FlushInQ(1), int(RS232_NOT_OPEN));

        // COM2: one step up the list (8 down to 1).
        QWidget *arrows = s->part("com.arrows");
        QTest::mouseClick(arrows, Qt::LeftButton, {}, QPoint(arrows->width() / 2, 2));
        QCOMPARE(s->value(hl_com), 2);
        s->click("start");
        QCOMPARE(run, 1);
        QCOMPARE(com, 2);
        QCOMPARE(popups.size(), 1);
        QVERIFY(sim->waitReceived(1));
        QCOMPARE(sim->received().first(), QByteArray("I\r"));
        QCOMPARE(s->failColour(), 0xFF0000);  // once set, never cleared
    }

    // No T-483 answering: the not-found text in the language in force, focus
    // on Exit, the port closed; a second Start opens it again and succeeds.
    void noT483Answering_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("ident");
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QByteArray>("title");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("silent, Czech") << "silent" << "48300" << QByteArray()
                                       << QByteArray("Ovl\xe1" "d\xe1n\xed dek\xe1" "dy T-483")
                                       << QByteArray("P\xf8\xedstroj T-483 se na sb\xec" "rnici RS232 nehl\xe1s\xed!");
        QTest::newRow("wrong ident, English") << "none" << "4830" << QByteArray("[t483]\nlanguage=3\n")
                                              << QByteArray("T-483 Control")
                                              << QByteArray("Instrument T-483 on RS232 BUS not found!");
        QTest::newRow("no digits, Slovak") << "none" << "T-483" << QByteArray("[t483]\nlanguage=2\n")
                                           << QByteArray("Ovl\xe1" "danie dek\xe1" "dy T-483")
                                           << QByteArray("Pr\xedstroj T-483 sa na zbernici RS232 nehl\xe1s\xed!");
    }
    void noT483Answering()
    {
        QFETCH(QString, fault);
        QFETCH(QString, ident);
        QFETCH(QByteArray, ini);
        QVERIFY(simOnCom1({"--ident", ident}));
        QVERIFY(sim->command("fault " + fault));
        QVERIFY(s->start(ini.isEmpty() ? nullptr : ini.constData()));

        QElapsedTimer took;
        took.start();
        s->click("start");
        QVERIFY2(took.elapsed() < slack(1000), qPrintable(QString::number(took.elapsed())));
        QCOMPARE(popups.size(), 1);
        QTEST(popups[0].title, "title");
        QTEST(popups[0].text, "text");
        QCOMPARE(GetActiveCtrl(pnl_hl), int(hl_konec));
        QCOMPARE(s->failColour(), 0xFF0000);
        QCOMPARE(run, 0);
        QCOMPARE(FlushInQ(1), int(RS232_NOT_OPEN));
        QVERIFY(!s->dimmed(hl_start));
        QVERIFY(!s->dimmed(hl_com));
        QVERIFY(s->dimmed(hl_vyp));
        QVERIFY(s->dimmed(hl_remote));
        QVERIFY(sim->waitReceived(1));
        QCOMPARE(sim->received(), QList<QByteArray>{"I\r"});

        // Ticks do nothing while no instrument is found: the next Start's
        // I follows the first with nothing between them.
        QVERIFY(s->waitTicks(2));

        QVERIFY(sim->command("fault none"));
        QVERIFY(sim->command("ident 48399"));
        s->click("start");
        QCOMPARE(popups.size(), 1);
        QCOMPARE(run, 1);
        QVERIFY(sim->waitReceived(2));
        QCOMPARE(sim->received().mid(0, 2), (QList<QByteArray>{"I\r", "I\r"}));
        QVERIFY(s->dimmed(hl_start));
    }

    // Offline: Start succeeds at once with no port touched, and neither
    // Power OFF nor Exit sends anything.
    void offline()
    {
        QVERIFY(simOnCom1());
        QVERIFY(s->start("[t483]\ndemo=1\n"));
        QElapsedTimer took;
        took.start();
        s->click("start");
        QVERIFY2(took.elapsed() < slack(100), qPrintable(QString::number(took.elapsed())));
        QCOMPARE(run, 1);
        QCOMPARE(com, 0);
        QVERIFY(popups.isEmpty());
        QVERIFY(s->dimmed(hl_start));
        QVERIFY(!s->dimmed(hl_vyp));
        QVERIFY(!s->dimmed(hl_remote));
        QCOMPARE(FlushInQ(1), int(RS232_NOT_OPEN));
        s->click("vyp");
        QVERIFY(s->waitTicks(2));  // ticks too
        s->click("konec");
        QCOMPARE(exitStatuses, QList<int>{0});
        QVERIFY(s->waitTicks(1));  // and after Exit
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>{});
    }

    // Exit before any Start: nothing sent, status 0, from all three routes.
    void exitBeforeStart_data()
    {
        QTest::addColumn<QString>("route");
        QTest::newRow("button") << "button";
        QTest::newRow("Escape") << "Escape";
        QTest::newRow("close box") << "close";
    }
    void exitBeforeStart()
    {
        QFETCH(QString, route);
        QVERIFY(simOnCom1());
        QVERIFY(s->start());
        exitBy(route);
        QCOMPARE(exitStatuses, QList<int>{0});
        QVERIFY(s->waitTicks(1));
        QVERIFY(sim->sentinel());
        QCOMPARE(sim->received(), QList<QByteArray>{});
        QCOMPARE(FlushInQ(1), int(RS232_NOT_OPEN));
    }

    // Exit after Start: L1 then P0 are the last commands, nothing after
    // them, the port closed and status 0, from all three routes.
    void exitAfterStart_data() { exitBeforeStart_data(); }
    void exitAfterStart()
    {
        QFETCH(QString, route);
        QVERIFY(connected());
        QVERIFY(s->waitTicks(1));  // a tick of polling first
        exitBy(route);
        QCOMPARE(exitStatuses, QList<int>{0});
        QCOMPARE(FlushInQ(1), int(RS232_NOT_OPEN));
        QVERIFY(s->waitTicks(1));  // one that would poll after Exit
        QVERIFY(sim->sentinel());
        const QList<QByteArray> got = sim->received();
        QVERIFY(got.size() >= 3);
        QCOMPARE(got.first(), QByteArray("I\r"));
        QCOMPARE(got.mid(got.size() - 2), (QList<QByteArray>{"L1\r", "P0\r"}));
        QCOMPARE(without(got.mid(1, got.size() - 3), {"K", "M"}), QList<QByteArray>{});
    }

    // Power OFF sends P0 and changes nothing on the panel; a switched-off
    // instrument does not answer, and Exit still ends the program.
    void powerOff()
    {
        QVERIFY(connected());
        const QList<int> before = dimmedOf(*s);
        sim->clearReceived();
        s->click("vyp");
        QCOMPARE(awaitCommands(*sim, 1), QList<QByteArray>{"P0\r"});
        QCOMPARE(run, 1);
        QCOMPARE(dimmedOf(*s), before);
        QVERIFY(popups.isEmpty());
        s->click("konec");
        QCOMPARE(exitStatuses, QList<int>{0});
    }
};

QTEST_MAIN(ConnectionTest)
#include "tst_connection.moc"
