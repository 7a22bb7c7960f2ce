// The COM selector's devices on the real panel, offscreen: the serial devices
// present (pseudo-terminals behind by-id links in a test folder, named by
// T483_BY_ID_DIR), the context menu choosing one and remembering it in
// T483.INI byte for byte, the tooltip, which device wins (environment,
// settings file, default), the settings file in the user's configuration
// folder, and a choice that cannot be saved.
#include <QtTest>

#include "app/ini.h"
#include "panel_session.h"
#include "platform/cp1250.h"
#include "platform/files.h"

#include <QMenu>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// A pseudo-terminal: its master kept open, its slave's path.
struct Pty {
    int master = -1;
    QByteArray slave;
};

Pty openPty()
{
    Pty p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (p.master >= 0 && grantpt(p.master) == 0 && unlockpt(p.master) == 0)
        p.slave = ptsname(p.master);
    return p;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
}

} // namespace

class PortsTest : public QObject {
    Q_OBJECT
    QTemporaryDir byId, config;
    Pty ftdi, acm;
    QString ftdiLink, acmLink;

    // Brings up the COM selector's menu with `ask` and picks item `pick`
    // with the mouse (Escape closes it when it is still up then); the items
    // it showed, and in `marks` how each was shown: "x" checked, "-" greyed.
    QStringList pickFromMenu(const std::function<void()> &ask, int pick, QStringList *marks = nullptr)
    {
        QStringList seen;
        std::function<void()> look = [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu) {
                QTimer::singleShot(10, look);
                return;
            }
            for (QAction *a : menu->actions()) {
                seen << a->text();
                if (marks)
                    *marks << QString(a->isChecked() ? "x" : "") + (a->isEnabled() ? "" : "-");
            }
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(menu->actions()[pick]).center());
            if (QApplication::activePopupWidget() == menu)
                QTest::keyClick(menu, Qt::Key_Escape);
        };
        QTimer::singleShot(0, look);
        ask();
        return seen;
    }
    // The operator right-clicks the COM selector.
    static void rightClick(PanelSession &s)
    {
        QWidget *box = s.part("com.box");
        QTest::mouseClick(s.window->windowHandle(), Qt::RightButton, {}, box->mapTo(s.window, box->rect().center()));
    }
    static QString tooltipLine(PanelSession &s, int port)
    {
        return s.part("com.box")->toolTip().split('\n').value(port - 1);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(byId.isValid() && config.isValid());
        ftdi = openPty();
        acm = openPty();
        QVERIFY(!ftdi.slave.isEmpty() && !acm.slave.isEmpty());
        ftdiLink = byId.filePath("usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0");
        acmLink = byId.filePath("usb-Arduino_Uno_7543-if00");
        QVERIFY(QFile::link(QString::fromLatin1(ftdi.slave), ftdiLink));
        QVERIFY(QFile::link(QString::fromLatin1(acm.slave), acmLink));
        // Neither a regular file nor a dangling link is a device.
        QFile plain(byId.filePath("usb-plain-file"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(byId.filePath("gone"), byId.filePath("usb-gone-if00")));
        qputenv("T483_BY_ID_DIR", QFile::encodeName(byId.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        for (int p = 1; p <= 8; p++)
            qunsetenv(qPrintable(QStringLiteral("T483_COM%1").arg(p)));
    }

    void init()
    {
        for (int p = 1; p <= 8; p++)
            SetComSetting(p, "");
        QDir(config.path()).removeRecursively();
        QVERIFY(QDir().mkpath(config.path()));
    }

    // The by-id links first, by name, each with the device behind it; the
    // rest of the list names each device once.
    void devicesPresent()
    {
        ComDevice found[COM_LIST_MAX];
        const int n = ListComDevices(found, COM_LIST_MAX);
        QVERIFY(n >= 2);
        QCOMPARE(QByteArray(found[0].device), QFile::encodeName(acmLink));
        QCOMPARE(QByteArray(found[0].description), acm.slave);
        QCOMPARE(QByteArray(found[1].device), QFile::encodeName(ftdiLink));
        QCOMPARE(QByteArray(found[1].description), ftdi.slave);
        QSet<QByteArray> devices;
        for (int k = 0; k < n; k++) {
            QVERIFY2(!QByteArray(found[k].device).contains("usb-plain") && !QByteArray(found[k].device).contains("gone"),
                     found[k].device);
            devices << found[k].device;
        }
        QCOMPARE(devices.size(), n);
        QCOMPARE(ListComDevices(found, 1), 1);
    }

    // Right-click on COM 2: the devices and COM 2's default; the one chosen
    // is COM 2's device from then on, written as one line into T483.INI, every
    // other byte kept; the tooltip says so. Shift+F10 and the default put the
    // file back as it was.
    void menuChoosesAndRemembers()
    {
        const QByteArray ini("; bench 4\r\n[t483]\r\nlanguage=3\r\n[other]\r\ncom2=x\r\n");
        PanelSession s;
        QVERIFY(s.start(ini.constData()));
        const QString file = QFile::decodeName(ini_path());
        QVERIFY(file.endsWith("/T483.INI") && !file.startsWith(config.path()));
        QCOMPARE(tooltipLine(s, 2), QStringLiteral("COM2: /dev/ttyS1 (default)"));
        SetCtrlVal(pnl_hl, hl_com, 2);

        const QStringList items = pickFromMenu([&] { rightClick(s); }, 1);
        QCOMPARE(items.size() >= 3, true);
        QCOMPARE(items[0], acmLink + "  (" + acm.slave + ")");
        QCOMPARE(items[1], ftdiLink + "  (" + ftdi.slave + ")");
        QCOMPARE(items.last(), QStringLiteral("Default (/dev/ttyS1)"));
        QTRY_COMPARE(QByteArray(ComDeviceName(2)), QFile::encodeName(ftdiLink));
        QCOMPARE(fileBytes(file), "; bench 4\r\n[t483]\r\ncom2=" + QFile::encodeName(ftdiLink) +
                                      "\r\nlanguage=3\r\n[other]\r\ncom2=x\r\n");
        QCOMPARE(tooltipLine(s, 2), QStringLiteral("COM2: %1 (settings file %2)").arg(ftdiLink, file));
        QCOMPARE(tooltipLine(s, 1), QStringLiteral("COM1: /dev/ttyS0 (default)"));
        QCOMPARE(popups.size(), 0);

        QWidget *box = s.part("com.box");
        box->setFocus();
        const int last = int(items.size()) - 1;
        pickFromMenu([&] { QTest::keyClick(box, Qt::Key_F10, Qt::ShiftModifier); }, last);
        QTRY_COMPARE(QByteArray(ComDeviceName(2)), QByteArray("/dev/ttyS1"));
        QCOMPARE(fileBytes(file), ini);
        QCOMPARE(tooltipLine(s, 2), QStringLiteral("COM2: /dev/ttyS1 (default)"));
    }

    // The menu checks the entry in force: the default, the settings file's
    // device (listed first when it is not present), or, while T483_COM2 names
    // the device, a first item saying so in the panel's language, the choices
    // greyed: picking any changes neither the device nor the file.
    void menuShowsWhatIsInForce_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QByteArray>("env");
        QTest::addColumn<QString>("first");  // the item before the devices present; none when empty
        QTest::addColumn<QStringList>("marks");
        const QByteArray present = "[t483]\nlanguage=3\ncom2=" + QFile::encodeName(ftdiLink) + "\n";
        QTest::newRow("default") << QByteArray("[t483]\nlanguage=3\n") << QByteArray() << QString()
                                 << QStringList{"", "", "x"};
        QTest::newRow("settings") << present << QByteArray() << QString() << QStringList{"", "x", ""};
        QTest::newRow("settings, not present") << QByteArray("[t483]\nlanguage=3\ncom2=/dev/ttyUSB7\n")
                                               << QByteArray() << "/dev/ttyUSB7" << QStringList{"x", "", "", ""};
        const QStringList overridden{"x", "-", "-", "-"};
        QTest::newRow("environment") << present << QByteArray("/dev/from-env")
                                     << "/dev/from-env: set by the environment variable T483_COM2, which overrides "
                                        "the choice"
                                     << overridden;
        QTest::newRow("environment, cs")
            << QByteArray("[t483]\nlanguage=1\n") << QByteArray("/dev/from-env")
            << QString::fromUtf8("/dev/from-env: určuje proměnná prostředí T483_COM2, má přednost před volbou")
            << overridden;
    }
    void menuShowsWhatIsInForce()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QByteArray, env);
        QFETCH(QString, first);
        QFETCH(QStringList, marks);
        if (!env.isEmpty())
            qputenv("T483_COM2", env);
        auto unset = qScopeGuard([] { qunsetenv("T483_COM2"); });
        PanelSession s;
        QVERIFY(s.start(ini.constData()));
        const QString file = QFile::decodeName(ini_path());
        const QByteArray device = ComDeviceName(2);
        SetCtrlVal(pnl_hl, hl_com, 2);

        // The first device present (acm) is picked; the environment's item
        // too, when there is one: it changes nothing.
        QStringList seen;
        const int at = first.isEmpty() ? 0 : 1;
        const QStringList items = pickFromMenu([&] { rightClick(s); }, at, &seen);
        QCOMPARE(seen.mid(0, at + 2) + seen.mid(seen.size() - 1), marks);
        QCOMPARE(items.mid(0, at), first.isEmpty() ? QStringList() : QStringList{first});
        QCOMPARE(items[at], acmLink + "  (" + acm.slave + ")");
        if (!env.isEmpty())
            pickFromMenu([&] { rightClick(s); }, 0);
        if (env.isEmpty()) {
            QTRY_COMPARE(QByteArray(ComDeviceName(2)), QFile::encodeName(acmLink));
        } else {
            QCOMPARE(QByteArray(ComDeviceName(2)), device);
            QCOMPARE(fileBytes(file), ini);
        }
    }

    // T483_COM<n> first, then the settings file, then /dev/ttyS<n-1>; the
    // tooltip tells which.
    void precedence()
    {
        qputenv("T483_COM3", "/dev/from-env");
        auto unset = qScopeGuard([] { qunsetenv("T483_COM3"); });
        PanelSession s;
        QVERIFY(s.start("[t483]\nlanguage=3\ncom3=/dev/from-file3\ncom4=/dev/from-file4\n"));
        QCOMPARE(QByteArray(ComDeviceName(3)), QByteArray("/dev/from-env"));
        QCOMPARE(QByteArray(ComDeviceName(4)), QByteArray("/dev/from-file4"));
        QCOMPARE(QByteArray(ComDeviceName(5)), QByteArray("/dev/ttyS4"));
        QCOMPARE(tooltipLine(s, 3), QStringLiteral("COM3: /dev/from-env (environment variable T483_COM3)"));
        QCOMPARE(tooltipLine(s, 4), QStringLiteral("COM4: /dev/from-file4 (settings file %1)").arg(QFile::decodeName(ini_path())));
        QCOMPARE(tooltipLine(s, 5), QStringLiteral("COM5: /dev/ttyS4 (default)"));
    }

    // No T483.INI in the working folder: the one in the configuration
    // folder is read the same way, and a choice goes there; with none there
    // either, a choice makes it, folder and all.
    void configurationFolder()
    {
        QVERIFY(QDir(config.path()).mkpath("t483"));
        const QString file = config.filePath("t483/T483.INI");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("[t483]\nlanguage=3\ndemo=1\n") > 0);
        f.close();
        {
            PanelSession s;
            QVERIFY(s.start());
            QCOMPARE(language, 3);
            QCOMPARE(demo, 1);
            QCOMPARE(QFile::decodeName(ini_path()), file);
            pickFromMenu([&] { rightClick(s); }, 0);
            QTRY_COMPARE(fileBytes(file), "[t483]\ncom1=" + QFile::encodeName(acmLink) + "\nlanguage=3\ndemo=1\n");
        }
        QVERIFY(QDir(config.path()).removeRecursively());
        PanelSession s;
        QVERIFY(s.start());
        pickFromMenu([&] { rightClick(s); }, 1);
        QTRY_COMPARE(fileBytes(file), "[t483]\ncom1=" + QFile::encodeName(ftdiLink) + "\n");
    }

    // A file that cannot be written (here: the disk fills up midway) stays
    // byte for byte; the operator is told in a pop-up in the panel's
    // language, and the choice holds for the session.
    void choiceThatCannotBeSaved()
    {
        const QByteArray ini("[t483]\nlanguage=1\n");
        PanelSession s;
        QVERIFY(s.start(ini.constData()));
        const QString file = QFile::decodeName(ini_path());
        rlimit was, small{8, 8};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &was) == 0);
        small.rlim_max = was.rlim_max;
        auto sig = std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        pickFromMenu([&] { rightClick(s); }, 1);
        QTRY_COMPARE(popups.size(), 1);
        setrlimit(RLIMIT_FSIZE, &was);
        std::signal(SIGXFSZ, sig);
        QCOMPARE(popups[0].title, QByteArray(CP1250("Ovládání dekády T-483")));
        const QByteArray told = CP1250("Volbu zařízení pro COM1 nelze uložit do souboru ") + QFile::encodeName(file) +
                                CP1250(". Platí jen do ukončení programu.");
        QCOMPARE(popups[0].text, told);
        QCOMPARE(fileBytes(file), ini);
        QCOMPARE(QDir(QFileInfo(file).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"T483.INI"});
        QCOMPARE(QByteArray(ComDeviceName(1)), QFile::encodeName(ftdiLink));
    }
};

QTEST_MAIN(PortsTest)
#include "tst_ports.moc"
