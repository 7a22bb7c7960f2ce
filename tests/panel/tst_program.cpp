// The real executable as a child process, offscreen, operated through
// T483_SCRIPT, against t483-sim on COM1: how a session ends, what reaches
// the instrument, the pop-ups it puts up and the exit status.
#include "sim_process.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

class ProgramTest : public QObject {
    Q_OBJECT
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<QTemporaryDir> dir;
    QByteArray out;  // the program's standard output

    bool simOnCom1(const QStringList &options = {})
    {
        sim = std::make_unique<SimProcess>();
        if (!sim->start(options))
            return false;
        sim->useAsPort(1);
        return true;
    }

    // Runs the program with this script (and T483.INI when given) until it
    // ends; its exit code, or -1000 when it crashed or did not end.
    int runProgram(const QString &script, const QByteArray &ini = {})
    {
        const QString exe = qEnvironmentVariable("T483_EXE");
        if (exe.isEmpty()) {
            qWarning("T483_EXE is not set");
            return -1000;
        }
        if (!ini.isEmpty()) {
            QFile f(dir->filePath("T483.INI"));
            if (!f.open(QIODevice::WriteOnly) || f.write(ini) < 0)
                return -1000;
        }
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("T483_SCRIPT", script);
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dir->path());
        p.start(exe, {});
        if (!p.waitForFinished(15000)) {
            p.kill();
            p.waitForFinished();
            qWarning("the program did not end");
            return -1000;
        }
        out = p.readAllStandardOutput();
        const QByteArray err = p.readAllStandardError();
        if (err.contains("T483_SCRIPT"))
            qWarning("%s", err.constData());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1000;
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        out.clear();
        qunsetenv("T483_COM1");
    }
    void cleanup()
    {
        sim.reset();
        dir.reset();
    }

    // A session with the instrument ends with L1 then P0 and status 0,
    // whether Exit is clicked, Escape pressed or the window closed.
    void sessionEnds_data()
    {
        QTest::addColumn<QString>("route");
        QTest::newRow("button") << "click konec";
        QTest::newRow("Escape") << "key Escape";
        QTest::newRow("close box") << "close";
    }
    void sessionEnds()
    {
        QFETCH(QString, route);
        QVERIFY(simOnCom1({"--front", "4072"}));
        QCOMPARE(runProgram("wait 200; click start; wait 700; " + route), 0);
        QTest::qWait(300);  // anything sent late would show now
        const QList<QByteArray> got = sim->received();
        QVERIFY2(got.size() >= 5, qPrintable(QString::number(got.size())));
        QCOMPARE(got.first(), QByteArray("I\r"));
        QCOMPARE(got.mid(got.size() - 2), (QList<QByteArray>{"L1\r", "P0\r"}));
        // Between them only the ticks' K and M.
        for (const QByteArray &c : got.mid(1, got.size() - 3))
            QVERIFY2(c == "K\r" || c == "M\r", c.constData());
        QVERIFY(got.contains("K\r"));
    }

    // Without a Start, and in offline mode, Exit sends nothing.
    void nothingSent_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("ini");
        QTest::newRow("Escape before Start") << "wait 300; key Escape" << QByteArray();
        QTest::newRow("close box before Start") << "wait 300; close" << QByteArray();
        QTest::newRow("offline session")
            << "click start; wait 500; click remote; wait 300; click vyp; click konec"
            << QByteArray("[t483]\ndemo=1\n");
    }
    void nothingSent()
    {
        QFETCH(QString, script);
        QFETCH(QByteArray, ini);
        QVERIFY(simOnCom1());
        QCOMPARE(runProgram(script, ini), 0);
        QTest::qWait(200);
        QCOMPARE(sim->received(), QList<QByteArray>{});
    }

    // Failed Starts put up their pop-up in the real program too; Exit then
    // sends nothing, as no instrument was found.
    void failedStart_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QByteArray>("port");
        QTest::addColumn<QByteArray>("popup");  // a part of the pop-up's text
        QTest::newRow("unopenable port") << "none" << QByteArray("/nonexistent/ttyT483")
                                         << QByteArray("/nonexistent/ttyT483");
        QTest::newRow("silent instrument") << "silent" << QByteArray()
                                           << QByteArray("|Instrument T-483 on RS232 BUS not found!\n");
    }
    void failedStart()
    {
        QFETCH(QString, fault);
        QFETCH(QByteArray, port);
        QFETCH(QByteArray, popup);
        QVERIFY(simOnCom1());
        QVERIFY(sim->command("fault " + fault));
        if (!port.isEmpty())
            qputenv("T483_COM1", port);
        QCOMPARE(runProgram("click start; wait 500; accept; wait 100; click konec", "[t483]\nlanguage=3\n"), 0);
        QVERIFY2(out.startsWith("popup T-483 Control|") && out.contains(popup), out.constData());
        QCOMPARE(out.count("popup"), 1);
        QTest::qWait(200);
        QCOMPARE(sim->received(), port.isEmpty() ? QList<QByteArray>{"I\r"} : QList<QByteArray>{});
    }
};

QTEST_MAIN(ProgramTest)
#include "tst_program.moc"
