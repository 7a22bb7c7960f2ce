// Start-up on the real panel, offscreen: what T483.INI makes of the program,
// which texts each language puts up, and what the operator finds once the
// event loop runs: which controls can be used, where the focus is, what
// the lamps look like, what the close box does. (The exit status when no
// display can be had is in tests/panel/tst_program.cpp.)
#include <QtTest>

#include "app/startup.h"
#include "app/state.h"
#include "panel/t483_uir.h"
#include "platform/cp1250.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "platform/ui/widgets.h"
#include "platform/ui_testing.h"

#include <QLabel>
#include <QPushButton>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <sys/stat.h>

#include "slack.h"

namespace {

// What the operator must find before Start: the port choice, Start and
// Exit can be used; every other control that takes input is greyed out
// until an instrument has been found. The lamps take no input and are
// shown plainly.
const QStringList usableBeforeStart{"com", "start", "konec"};

// The lamps, each by its label: a voltage lights red, remote control green;
// a dark lamp is light grey.
const QColor RED(0xFF, 0, 0), GREEN(0, 0xFF, 0), LIGHT_GREY(0xC0, 0xC0, 0xC0);
const struct {
    int id;
    const char *label;
    QColor lit;
} lamps[] = {{hl_LED3, "1 kV", RED}, {hl_LED2, "2.5 kV", RED}, {hl_LED1, "5 kV", RED}, {hl_LED4, "REM", GREEN}};

using Texts = QList<QByteArray>;
Texts titles;    // the pop-ups shown: their titles
Texts messages;  // and their messages
QList<int> exits;  // ExitProgram's statuses

void catchPopup(const char *title, const char *message)
{
    titles << QByteArray(title);
    messages << QByteArray(message);
}

void catchExit(int status)
{
    exits << status;
}

// The message for a rejected key line, in each language.
QByteArray czech(const QByteArray &line)
{
    return CP1250("Nepřípustný parametr v T483.INI: [t483], ") + line;
}
QByteArray slovak(const QByteArray &line)
{
    return CP1250("Neprípustný parameter v T483.INI: [t483], ") + line;
}
QByteArray english(const QByteArray &line)
{
    return "Not acceptable parameter in the file T483.INI: [t483], " + line;
}

// The colour a lamp is painted in, away from its highlight.
QColor painted(QWidget *lamp)
{
    const QImage img = lamp->grab().toImage();
    return img.pixelColor(img.width() / 2 + 3, img.height() / 2 + 3);
}

bool near(const QColor &a, const QColor &b)
{
    return std::abs(a.red() - b.red()) <= 48 && std::abs(a.green() - b.green()) <= 48 &&
           std::abs(a.blue() - b.blue()) <= 48;
}

// The panel as the operator found it once the event loop ran.
struct Seen {
    QString title, vyp, konec, comTip;
    QByteArray sw, t1;
    QMap<QString, int> usable;  // each control: 1 all its parts usable, 0 all greyed, -1 mixed
    QStringList lampControls;   // the controls that are lamps
    QString focus;              // the control with the keyboard focus
    QMap<QString, QColor> lit, dark;  // each lamp, by its label, as painted
    QList<int> closeBox;        // what the close box led to: ExitProgram's statuses
};

QString controlOf(const QWidget *part)
{
    return part ? part->objectName().section('.', 0, 0) : QString();
}

// Ends the test run when start-up has not put its panel up within the time
// limit: a start-up that hangs (in open or reading T483.INI) would otherwise
// hold the suite until ctest kills it, without a word of why. The working
// folder goes first, so that no FIFO or huge file outlives the run.
class Watchdog
{
public:
    Watchdog(int ms, const QByteArray &what, const QString &folder)
        : thread_([this, ms, what, folder] {
              std::unique_lock lock(mutex_);
              if (woken_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_; }))
                  return;
              QDir(folder).removeRecursively();
              qFatal("start-up (%s) had not put its panel up after %d ms", what.constData(), ms);
          })
    {
    }
    ~Watchdog()
    {
        stop();
        thread_.join();
    }
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        woken_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool stopped_ = false;
    std::thread thread_;  // last: started once the rest is ready
};

} // namespace

class StartupTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString home;

    // Runs WinMain in dir with this T483.INI (none when null) and returns
    // what the panel showed once its event loop was running.
    Seen startWith(const QByteArray &ini)
    {
        QFile::remove(dir.filePath("T483.INI"));
        if (!ini.isNull()) {
            QFile f(dir.filePath("T483.INI"));
            if (!f.open(QIODevice::WriteOnly) || f.write(ini) != ini.size())
                qWarning("cannot write T483.INI");
        }
        return start();
    }

    // Runs WinMain in dir with T483.INI as it is there, the panel to be up
    // within the time limit.
    Seen start()
    {
        const char *what = QTest::currentDataTag() ? QTest::currentDataTag() : QTest::currentTestFunction();
        Watchdog watchdog(slack(10000), what, dir.path());
        Seen seen;
        QTimer::singleShot(0, [&] {
            watchdog.stop();
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
            for (QWidget *part : w->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
                const QString ctrl = controlOf(part);
                if (ctrl.isEmpty())
                    continue;
                const int usable = part->isEnabled() ? 1 : 0;
                seen.usable[ctrl] = seen.usable.value(ctrl, usable) == usable ? usable : -1;
                if (qobject_cast<Led *>(part))
                    seen.lampControls << ctrl;
            }
            seen.focus = controlOf(w->focusWidget());
            for (const auto &lamp : lamps) {
                QLabel *label = nullptr;
                for (QLabel *l : w->findChildren<QLabel *>(Qt::FindDirectChildrenOnly))
                    if (l->text() == lamp.label)
                        label = l;
                Led *led = label ? w->findChild<Led *>(controlOf(label), Qt::FindDirectChildrenOnly) : nullptr;
                if (!led)
                    continue;
                seen.dark[lamp.label] = painted(led);
                SetCtrlVal(pnl_hl, lamp.id, 1);
                seen.lit[lamp.label] = painted(led);
                SetCtrlVal(pnl_hl, lamp.id, 0);
            }
            exits.clear();
            w->close();
            seen.closeBox = exits;
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
        QVERIFY(dir.isValid());
        QVERIFY(InitCVIRTEEx(nullptr, nullptr, nullptr));
        SetPopupHook(catchPopup);
        SetExitHook(catchExit);
    }

    void init()
    {
        reset_state();
        titles.clear();
        messages.clear();
    }

    void cleanup() { DiscardAllPanels(); }

    // With no file the panel is Czech.
    void noFileCzechPanel()
    {
        const Seen s = startWith({});
        QCOMPARE(s.title, QString::fromUtf8("Ovládací panel dekády T-483"));
        QCOMPARE(s.vyp, QString("Vypnout"));
        QCOMPARE(s.konec, QString("Konec"));
        QCOMPARE(s.sw, QByteArray(CP1250("Ovládání dekády T-483")));
        QCOMPARE(s.t1, QByteArray(CP1250("Přístroj T-483 se na sběrnici RS232 nehlásí!")));
        QVERIFY(messages.isEmpty());
        QCOMPARE(demo, 0);
    }

    // Whatever the file says, the operator finds the panel idle: only the
    // port choice, Start and Exit usable, Start with the focus, the lamps
    // dark in light grey and lighting in their colours, and the close box
    // ending the program as Exit does.
    void idlePanelBeforeStart_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::newRow("no file") << QByteArray();
        QTest::newRow("English") << QByteArray("[t483]\nlanguage=3\n");
        QTest::newRow("offline") << QByteArray("[t483]\ndemo=1\n");
    }
    void idlePanelBeforeStart()
    {
        QFETCH(QByteArray, ini);
        const Seen s = startWith(ini);
        for (const QString &ctrl : usableBeforeStart)
            QVERIFY2(s.usable.contains(ctrl), qPrintable("no control " + ctrl));
        for (auto c = s.usable.cbegin(); c != s.usable.cend(); ++c) {
            const bool usable = usableBeforeStart.contains(c.key()) || s.lampControls.contains(c.key());
            const char *found = c.value() < 0 ? "partly greyed" : c.value() ? "usable" : "greyed";
            QVERIFY2(c.value() == int(usable), qPrintable(c.key() + " is " + found));
        }
        QCOMPARE(s.focus, QString("start"));
        QCOMPARE(s.lampControls.size(), int(std::size(lamps)));
        for (const auto &lamp : lamps) {
            QVERIFY2(s.lit.contains(lamp.label), lamp.label);
            QVERIFY2(near(s.lit[lamp.label], lamp.lit),
                     qPrintable(QString("%1 lit %2").arg(lamp.label, s.lit[lamp.label].name())));
            QVERIFY2(near(s.dark[lamp.label], LIGHT_GREY),
                     qPrintable(QString("%1 dark %2").arg(lamp.label, s.dark[lamp.label].name())));
        }
        QCOMPARE(s.closeBox, QList<int>{0});
        QVERIFY(messages.isEmpty());
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
        const Seen s = startWith(ini);
        QTEST(s.title, "title");
        QTEST(s.vyp, "vyp");
        QTEST(s.konec, "konec");
        QTEST(s.sw, "sw");
        QTEST(s.t1, "t1");
        QVERIFY(messages.isEmpty());
    }

    // A rejected language is reported under an empty title while the panel
    // is not yet up, and the panel stays Czech.
    void rejectedLanguage()
    {
        const Seen s = startWith("[t483]\nlanguage=7\n");
        QCOMPARE(titles, Texts{""});
        QCOMPARE(messages, Texts{CP1250("Nepřípustný parametr v T483.INI: [t483], language=7")});
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

    // What start-up makes of T483.INI: the language and offline mode it
    // ends up with, and every pop-up it shows on the way.
    void configuration_data()
    {
        QTest::addColumn<QByteArray>("content");  // null: no file at all
        QTest::addColumn<int>("lang");
        QTest::addColumn<int>("offline");
        QTest::addColumn<Texts>("shown");

        QTest::newRow("no file") << QByteArray() << 1 << 0 << Texts{};
        QTest::newRow("empty file") << QByteArray("") << 1 << 0 << Texts{};
        QTest::newRow("both keys") << QByteArray("[t483]\nlanguage=3\ndemo=1\n") << 3 << 1 << Texts{};
        QTest::newRow("CR LF line ends") << QByteArray("[t483]\r\nlanguage=2\r\ndemo=1\r\n") << 2 << 1 << Texts{};
        QTest::newRow("no end to the last line") << QByteArray("[t483]\ndemo=1") << 1 << 1 << Texts{};
        QTest::newRow("keys in either order") << QByteArray("[t483]\ndemo=1\nlanguage=2\n") << 2 << 1 << Texts{};
        QTest::newRow("upper case") << QByteArray("[T483]\r\nLANGUAGE=2\r\n") << 2 << 0 << Texts{};
        QTest::newRow("blank or colon before the value")
            << QByteArray("[t483]\nlanguage: 3\ndemo 1\n") << 3 << 1 << Texts{};
        QTest::newRow("keys before the header are ignored")
            << QByteArray("language=3\ndemo=1\n[t483]\n") << 1 << 0 << Texts{};
        QTest::newRow("key only in a later section")
            << QByteArray("[t483]\nlanguage=2\n[other]\ndemo=1\n") << 2 << 0 << Texts{};
        QTest::newRow("long line before the key")
            << "[t483]\n" + QByteArray(300, 'x') + "\nlanguage=3\n" << 3 << 0 << Texts{};
        QTest::newRow("UTF-8 byte-order mark")
            << QByteArray("\xef\xbb\xbf[t483]\r\nlanguage=3\r\ndemo=1\r\n") << 3 << 1 << Texts{};
        QTest::newRow("lone CR line ends") << QByteArray("[t483]\rlanguage=2\rdemo=1\r") << 2 << 1 << Texts{};
        // Past the 81 bytes a line is read to, the rest of it is not a line.
        const QByteArray rule = ";" + QByteArray(80, '-');
        QTest::newRow("long comment ending in a key")
            << "[t483]\n" + rule + "demo=1\nlanguage=3\n" << 3 << 0 << Texts{};
        QTest::newRow("long comment ending in a section")
            << "[t483]\r\n" + rule + "[other]\r\nlanguage=3\r\n" << 3 << 0 << Texts{};
        QTest::newRow("binary junk")
            << QByteArray("\0\xff\xfe\x1a\n[t483]\n\x01\x80\0[\n\xff\xff\nlang\0uage=2\nlanguage=3\n", 43)
            << 3 << 0 << Texts{};

        QTest::newRow("language= with no digits")
            << QByteArray("[t483]\nlanguage=\n") << 1 << 0 << Texts{czech("language=")};
        QTest::newRow("NUL before the value")
            << QByteArray("[t483]\nlanguage=\0 3\n", 20) << 1 << 0 << Texts{czech("language=")};
        QTest::newRow("language=7") << QByteArray("[t483]\nlanguage=7\n") << 1 << 0 << Texts{czech("language=7")};
        QTest::newRow("demo=0") << QByteArray("[t483]\ndemo=0\n") << 1 << 0
                                << Texts{CP1250("Nepřípustný parametr v T483.INI: [t483], demo=0")};
        QTest::newRow("bounds are exclusive") << QByteArray("[t483]\r\nlanguage=4\r\ndemo=2\r\n") << 1 << 0
                                              << Texts{czech("language=4"), czech("demo=2")};
        QTest::newRow("too large for an int") << QByteArray("[t483]\nlanguage=4294967299\ndemo=4294967297\n")
                                              << 1 << 0
                                              << Texts{czech("language=4294967299"), czech("demo=4294967297")};
        QTest::newRow("negative values")
            << QByteArray("[t483]\nlanguage=-1\ndemo=-1\n") << 1 << 0
            << Texts{czech("language=-1"), czech("demo=-1")};
        QTest::newRow("Slovak once language is 2")
            << QByteArray("[t483]\nlanguage=2\ndemo=5\n") << 2 << 0 << Texts{slovak("demo=5")};
        QTest::newRow("English once language is 3")
            << QByteArray("[t483]\nlanguage=3\ndemo=x\n") << 3 << 0 << Texts{english("demo=x")};
        QTest::newRow("line shown as it stands")
            << QByteArray("[t483]\ndemo=%s%n%d%%\n") << 1 << 0 << Texts{czech("demo=%s%n%d%%")};
        const QByteArray longest = "demo=" + QByteArray(76, 'x');  // 81 bytes
        QTest::newRow("longest message whole")
            << "[t483]\nlanguage=3\n" + longest + "\n" << 3 << 0 << Texts{english(longest)};
        QTest::newRow("key line longer than a line")
            << "[t483]\r\n" + longest + "1\r\n" << 1 << 0 << Texts{czech(longest)};
    }
    void configuration()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, lang);
        QFETCH(int, offline);
        QFETCH(Texts, shown);

        startWith(content);

        QCOMPARE(language, lang);
        QCOMPARE(demo, offline);
        QCOMPARE(messages, shown);
        for (const QByteArray &title : titles)
            QCOMPARE(title, QByteArray());  // shown before the panel's texts are set
        QCOMPARE(QFile::exists(dir.filePath("T483.INI")), !content.isNull());
        if (!content.isNull()) {
            // It was opened, and closed again: the next file opened gets
            // the same handle.
            QVERIFY(fhi > 0);
            const int again = OpenFile(QFile::encodeName(dir.filePath("T483.INI")).constData(), VAL_READ_ONLY,
                                       VAL_OPEN_AS_IS, VAL_ASCII);
            QCOMPARE(again, fhi);
            QCOMPARE(CloseFile(again), 0);
        }
    }

    // Start-up reads T483.INI only if it is a regular file, and only its
    // start: what is not (a FIFO no one writes to, an endless device behind
    // a link) counts as no file at all, without a pop-up; of a huge file the
    // settings past its first 64 KiB are not read. Neither holds start-up up.
    void onlyTheStartOfARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("opened");
        QTest::newRow("FIFO with no writer") << "fifo" << false;
        QTest::newRow("link to /dev/zero") << "/dev/zero" << false;
        QTest::newRow("link to /dev/urandom") << "/dev/urandom" << false;
        QTest::newRow("1 TiB, settings at the end") << "huge" << true;
    }
    void onlyTheStartOfARegularFile()
    {
        QFETCH(QString, kind);
        QFETCH(bool, opened);
        const QString ini = dir.filePath("T483.INI");
        QFile::remove(ini);
        auto remove = qScopeGuard([&] { QFile::remove(ini); });
        if (kind == "fifo") {
            QCOMPARE(mkfifo(QFile::encodeName(ini).constData(), 0600), 0);
        } else if (kind == "huge") {
            QFile f(ini);  // sparse: takes no room on the disk
            QVERIFY(f.open(QIODevice::WriteOnly) && f.seek(qint64(1) << 40));
            QVERIFY(f.write("\n[t483]\nlanguage=3\ndemo=1\n") > 0);
        } else {
            QVERIFY(QFile::link(kind, ini));
        }

        start();

        QCOMPARE(language, 1);
        QCOMPARE(demo, 0);
        QCOMPARE(messages, Texts{});
        QCOMPARE(fhi > 0, opened);
    }

    // The COM selector tells which device each port number reaches.
    void comTooltipNamesDevices()
    {
        qputenv("T483_COM3", "/dev/ttyUSB7");
        const Seen s = startWith({});
        qunsetenv("T483_COM3");
        QVERIFY2(s.comTip.contains("COM1: /dev/ttyS0"), qPrintable(s.comTip));
        QVERIFY2(s.comTip.contains("COM3: /dev/ttyUSB7"), qPrintable(s.comTip));
        QVERIFY2(s.comTip.contains("COM8: /dev/ttyS7"), qPrintable(s.comTip));
    }
};

QTEST_MAIN(StartupTest)
#include "tst_startup.moc"
