// The configuration file reader over real T483.INI files: one key looked up
// between given bounds, and the pop-up for a value outside them. (What
// start-up makes of whole files, through its own lookups, is in
// startup_test.cpp.)
#include <QtTest>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

#include "app/ini.h"
#include "app/settings.h"
#include "app/state.h"
#include "platform/cp1250.h"
#include "platform/files.h"
#include "platform/serial.h"
#include "platform/ui.h"
#include "platform/ui_testing.h"

using Texts = QList<QByteArray>;

static Texts titles;    // titles of the pop-ups shown, in order
static Texts messages;  // their messages

static void catch_popup(const char *title, const char *message)
{
    titles << QByteArray(title);
    messages << QByteArray(message);
}

// The message for a rejected key line, in English.
static QByteArray english(const QByteArray &line)
{
    return "Not acceptable parameter in the file T483.INI: [t483], " + line;
}

class IniTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QByteArray path;  // T483.INI in dir

    void write(const QByteArray &content)
    {
        QFile f(dir.filePath("T483.INI"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(content), content.size());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        path = QFile::encodeName(dir.filePath("T483.INI"));
        SetPopupHook(catch_popup);
    }

    void init()
    {
        QFile::remove(dir.filePath("T483.INI"));
        reset_state();
        titles.clear();
        messages.clear();
    }

    void lookup_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("lower");
        QTest::addColumn<int>("upper");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("value");  // -99: left alone
        QTest::addColumn<int>("popups");

        QTest::newRow("inside the bounds") << QByteArray("[t483]\nkey=5\n") << 4 << 6 << 1 << 5 << 0;
        QTest::newRow("at the lower bound") << QByteArray("[t483]\nkey=4\n") << 4 << 6 << 0 << -99 << 1;
        QTest::newRow("at the upper bound") << QByteArray("[t483]\nkey=6\n") << 4 << 6 << 0 << -99 << 1;
        QTest::newRow("key missing") << QByteArray("[t483]\nother=5\n") << 4 << 6 << 0 << -99 << 0;
        QTest::newRow("next section first") << QByteArray("[t483]\n[x]\nkey=5\n") << 4 << 6 << 0 << -99 << 0;
        QTest::newRow("longer key matches") << QByteArray("[t483]\nkeys=5\n") << 4 << 6 << 1 << 5 << 0;

        // The first number on the line, negative when a minus sign comes
        // directly before its digits.
        QTest::newRow("minus sign") << QByteArray("[t483]\nkey=-5\n") << 4 << 6 << 0 << -99 << 1;
        QTest::newRow("negative within") << QByteArray("[t483]\nkey=-5\n") << -6 << -4 << 1 << -5 << 0;
        QTest::newRow("large negative") << QByteArray("[t483]\nkey=-2147483647\n") << INT_MIN << 0 << 1
                                        << -INT_MAX << 0;
        QTest::newRow("minus after text") << QByteArray("[t483]\nkey=T-5\n") << -6 << -4 << 1 << -5 << 0;
        QTest::newRow("blank after the minus") << QByteArray("[t483]\nkey=- 5\n") << 4 << 6 << 1 << 5 << 0;
        QTest::newRow("minus on the key") << QByteArray("[t483]\nkey-x 5\n") << 4 << 6 << 1 << 5 << 0;
        QTest::newRow("plus sign") << QByteArray("[t483]\nkey=+5\n") << 4 << 6 << 1 << 5 << 0;
        QTest::newRow("two minus signs") << QByteArray("[t483]\nkey=--5\n") << -6 << -4 << 1 << -5 << 0;
        QTest::newRow("second number's sign") << QByteArray("[t483]\nkey=5,-7\n") << 4 << 6 << 1 << 5 << 0;
    }

    void lookup()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, lower);
        QFETCH(int, upper);
        QFETCH(int, result);
        QFETCH(int, value);
        QFETCH(int, popups);
        write(content);
        qstrcpy(SW, "T-483 Control");
        language = 3;
        int out = -99;
        fhi = OpenFile(path.constData(), VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_ASCII);
        QVERIFY(fhi > 0);
        auto close = qScopeGuard([] { CloseFile(fhi); });  // a failed row too
        for (int call = 0; call < 2; call++)  // each call reads from the top
            QCOMPARE(ini_rd("[t483]", "key", lower, upper, &out), result);
        QCOMPARE(out, value);
        QCOMPARE(messages.size(), 2 * popups);
        for (const QByteArray &title : titles)
            QCOMPARE(title, QByteArray("T-483 Control"));
        for (const QByteArray &message : messages)  // the key line, in the language in force
            QCOMPARE(message, english(content.split('\n').at(1)));
    }



    // A port choice rewrites only its com<n> line of [t483], in the file's
    // own line ends; every other byte stays.
    void setPort_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("no file") << QByteArray() << 1 << QByteArray("/dev/pts/3") << QByteArray("[t483]\ncom1=/dev/pts/3\n");
        QTest::newRow("default, no file") << QByteArray() << 1 << QByteArray() << QByteArray();
        QTest::newRow("CR LF, comments kept")
            << QByteArray("; bench 4\r\n[t483]\r\nlanguage=3\r\n[other]\r\ncom2=x\r\n") << 2 << QByteArray("/dev/a")
            << QByteArray("; bench 4\r\n[t483]\r\ncom2=/dev/a\r\nlanguage=3\r\n[other]\r\ncom2=x\r\n");
        QTest::newRow("replaced where it is, case ignored, the twin dropped")
            << QByteArray("[T483]\ndemo=1\nCOM3 = /old\ncom3=/older\ncom30=y\n") << 3 << QByteArray("/new")
            << QByteArray("[T483]\ndemo=1\ncom3=/new\ncom30=y\n");
        QTest::newRow("default removes it")
            << QByteArray("[t483]\rcom1=/dev/b\rdemo=1") << 1 << QByteArray() << QByteArray("[t483]\rdemo=1");
        QTest::newRow("no section, no last line end")
            << QByteArray("; x\r\nlanguage=2") << 4 << QByteArray("/d")
            << QByteArray("; x\r\nlanguage=2\r\n[t483]\r\ncom4=/d\r\n");
        QTest::newRow("header ends the file") << QByteArray("\xef\xbb\xbf[t483]") << 1 << QByteArray("/d")
                                              << QByteArray("\xef\xbb\xbf[t483]\ncom1=/d\n");
    }
    void setPort()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, port);
        QFETCH(QByteArray, device);
        QFETCH(QByteArray, after);
        char out[4096];
        const long n = ini_set_port(before.constData(), before.size(), port, device.constData(), out, sizeof out);
        QCOMPARE(QByteArray(out, int(n)), after);
        if (after.size() > 4)  // what does not fit is not made
            QCOMPARE(ini_set_port(before.constData(), before.size(), port, device.constData(), out, 4), -1L);
    }

    // Port keys and the old keys are never taken for one another: a line
    // of language or demo is no port's, com<n> is neither language nor demo,
    // and only com1 to com8 followed by '=' name a port.
    void portKeysApart()
    {
        write("[t483]\ncom1 = /dev/serial/by-id/usb-FTDI_x-if00-port0 \ncommunication=2\ncom9=/nine\n"
              "com2x=/no\nCOM3\t=\t/three\nlanguage=3\ndemo=1\ncom4=\n[next]\ncom5=/not-here\n");
        for (int p = 1; p <= 8; p++)
            SetComSetting(p, p == 4 ? "/was" : "");
        fhi = OpenFile(path.constData(), VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_ASCII);
        QVERIFY(fhi > 0);
        QCOMPARE(ini_rd("[t483]", "language", 0, 4, &language), 1);
        QCOMPARE(ini_rd("[t483]", "demo", 0, 2, &demo), 1);
        ini_rd_ports();
        CloseFile(fhi);
        QCOMPARE(language, 3);
        QCOMPARE(demo, 1);
        const QList<QByteArray> expected{"/dev/serial/by-id/usb-FTDI_x-if00-port0", "", "/three", "", "", "", "", ""};
        for (int p = 1; p <= 8; p++)
            QCOMPARE(QByteArray(ComSetting(p)), expected[p - 1]);
        QCOMPARE(titles.size(), 0);
        for (int p = 1; p <= 8; p++)
            SetComSetting(p, "");
    }

    // The settings file keeps its owner and group when the panel, run as
    // root, saves a port (the file is replaced by a new one).
    void savedKeepsOwner()
    {
        if (geteuid() != 0)
            QSKIP("giving a file to another user needs root");
        write("[t483]\nlanguage=3\n");
        QCOMPARE(chown(path.constData(), 4321, 4322), 0);
        const QString here = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        fhi = ini_open();
        QVERIFY(QDir::setCurrent(here));
        QVERIFY(fhi > 0);
        CloseFile(fhi);
        QCOMPARE(ini_save_port(2, "/dev/ttyUSB1"), 0);
        struct stat st {};
        QCOMPARE(stat(path.constData(), &st), 0);
        QCOMPARE(st.st_uid, uid_t(4321));
        QCOMPARE(st.st_gid, gid_t(4322));
        QFile saved(QString::fromLocal8Bit(path));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("[t483]\ncom2=/dev/ttyUSB1\nlanguage=3\n"));
    }
};

QTEST_MAIN(IniTest)
#include "tst_ini.moc"
