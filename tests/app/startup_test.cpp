// Start-up on the real panel, offscreen: which texts each language puts up,
// what is dimmed, coloured and focused once the event loop runs. (The exit
// status when no display can be had is in tests/panel/tst_program.cpp.)
#include <QtTest>

#include "app/startup.h"
#include "app/state.h"
#include "panel/t483_uir.h"
#include "platform/cp1250.h"
#include "platform/ui.h"
#include "platform/ui_testing.h"

#include <QPushButton>
#include <unistd.h>

namespace {

QList<QByteArray> popups;  // "title|message" of each pop-up

void catchPopup(const char *title, const char *message)
{
    popups << QByteArray(title) + '|' + QByteArray(message);
}

struct Seen {
    QString title, vyp, konec, comTip;
    QByteArray sw, t1;
    QList<int> dimmed;
    int active = 0, closeCtrl = 0;
    QMap<int, int> onColour, offColour;
};

} // namespace

class StartupTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString home;

    // Runs WinMain in dir with this T483.INI (none when null) and returns
    // what the panel showed once its event loop was running.
    Seen startWith(const char *ini)
    {
        QFile::remove(dir.filePath("T483.INI"));
        if (ini) {
            QFile f(dir.filePath("T483.INI"));
            f.open(QIODevice::WriteOnly);
            f.write(ini);
        }
        Seen seen;
        QTimer::singleShot(0, [&] {
            QWidget *w = nullptr;
            for (QWidget *t : QApplication::topLevelWidgets())
                if (t->objectName() == "hl")
                    w = t;
            if (!w)
                return QuitUserInterface(0), void();
            seen.title = w->windowTitle();
            seen.vyp = w->findChild<QPushButton *>("vyp")->text();
            seen.konec = w->findChild<QPushButton *>("konec")->text();
            seen.comTip = w->findChild<QWidget *>("com.box")->toolTip();
            seen.sw = SW;
            seen.t1 = t1;
            for (int id = hl_vyp; id <= hl_odpor; id++) {
                int v = 0;
                GetCtrlAttribute(pnl_hl, id, ATTR_DIMMED, &v);
                if (v)
                    seen.dimmed << id;
                if (GetCtrlAttribute(pnl_hl, id, ATTR_ON_COLOR, &v) == 0)
                    seen.onColour[id] = v;
                if (GetCtrlAttribute(pnl_hl, id, ATTR_OFF_COLOR, &v) == 0)
                    seen.offColour[id] = v;
            }
            seen.active = GetActiveCtrl(pnl_hl);
            GetPanelAttribute(pnl_hl, ATTR_CLOSE_CTRL, &seen.closeCtrl);
            QuitUserInterface(0);
        });
        QDir::setCurrent(dir.path());
        const int status = WinMain(nullptr, nullptr, nullptr, 10);
        QDir::setCurrent(home);
        if (status != 0)
            qWarning("WinMain returned %d", status);
        return seen;
    }

private slots:
    void initTestCase()
    {
        home = QDir::currentPath();
        QVERIFY(InitCVIRTEEx(nullptr, nullptr, nullptr));
        SetPopupHook(catchPopup);
    }

    void init()
    {
        reset_state();
        popups.clear();
    }

    void cleanup() { DiscardAllPanels(); }

    // With no file the panel is Czech, only Start, Exit and COM are usable,
    // Start has the focus, and the lamps have their colours.
    void noFileIdleCzechPanel()
    {
        const Seen s = startWith(nullptr);
        QCOMPARE(s.title, QString::fromUtf8("Ovládací panel dekády T-483"));
        QCOMPARE(s.vyp, QString("Vypnout"));
        QCOMPARE(s.konec, QString("Konec"));
        QCOMPARE(s.sw, QByteArray(CP1250("Ovládání dekády T-483")));
        QCOMPARE(s.t1, QByteArray(CP1250("Přístroj T-483 se na sběrnici RS232 nehlásí!")));
        QList<int> dimmed{hl_vyp, hl_remote, hl_R3, hl_R2, hl_R1, hl_R0, hl_odpor};
        std::sort(dimmed.begin(), dimmed.end());
        QCOMPARE(s.dimmed, dimmed);
        QCOMPARE(s.active, int(hl_start));
        QCOMPARE(s.closeCtrl, int(hl_konec));
        QCOMPARE(s.onColour.value(hl_LED1), 0xFF0000);
        QCOMPARE(s.onColour.value(hl_LED2), 0xFF0000);
        QCOMPARE(s.onColour.value(hl_LED3), 0xFF0000);
        QCOMPARE(s.onColour.value(hl_LED4), 0x00FF00);
        for (int led : {hl_LED1, hl_LED2, hl_LED3, hl_LED4})
            QCOMPARE(s.offColour.value(led), 0xC0C0C0);
        QVERIFY(popups.isEmpty());
        QCOMPARE(demo, 0);
    }

    void languages_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("vyp");
        QTest::addColumn<QString>("konec");
        QTest::addColumn<QByteArray>("sw");
        QTest::addColumn<QByteArray>("t1");
        QTest::newRow("Slovak") << QByteArray("[t483]\nlanguage=2\n")
                                << QString::fromUtf8("Ovládací panel dekády T-483") << "Vypnout" << "Koniec"
                                << QByteArray(CP1250("Ovládanie dekády T-483"))
                                << QByteArray(CP1250("Prístroj T-483 sa na zbernici RS232 nehlásí!"));
        QTest::newRow("English") << QByteArray("[T483]\r\nLANGUAGE=3\r\n")
                                 << "T-483 Control Panel" << "Power OFF" << "Exit"
                                 << QByteArray("T-483 Control") << QByteArray("Instrument T-483 on RS232 BUS not found!");
    }
    void languages()
    {
        QFETCH(QByteArray, ini);
        const Seen s = startWith(ini.constData());
        QTEST(s.title, "title");
        QTEST(s.vyp, "vyp");
        QTEST(s.konec, "konec");
        QTEST(s.sw, "sw");
        QTEST(s.t1, "t1");
        QVERIFY(popups.isEmpty());
    }

    // A rejected language is reported under an empty title while the panel
    // is not yet up, and the panel stays Czech.
    void rejectedLanguage()
    {
        const Seen s = startWith("[t483]\nlanguage=7\n");
        QCOMPARE(popups, QList<QByteArray>{"|" + QByteArray(CP1250("Nepřípustný parametr v T483.INI: [t483], language=7"))});
        QCOMPARE(s.title, QString::fromUtf8("Ovládací panel dekády T-483"));
        QCOMPARE(s.konec, QString("Konec"));
        QCOMPARE(language, 1);
    }

    void offlineModeFromFile()
    {
        startWith("[t483]\ndemo=1\nlanguage=3\n");
        QCOMPARE(demo, 1);
        QCOMPARE(language, 3);
    }

    // The COM selector tells which device each port number reaches.
    void comTooltipNamesDevices()
    {
        qputenv("T483_COM3", "/dev/ttyUSB7");
        const Seen s = startWith(nullptr);
        qunsetenv("T483_COM3");
        QVERIFY2(s.comTip.contains("COM1: /dev/ttyS0"), qPrintable(s.comTip));
        QVERIFY2(s.comTip.contains("COM3: /dev/ttyUSB7"), qPrintable(s.comTip));
        QVERIFY2(s.comTip.contains("COM8: /dev/ttyS7"), qPrintable(s.comTip));
    }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
