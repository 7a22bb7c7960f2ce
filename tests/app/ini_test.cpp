// The configuration file reader over real T483.INI files: what start-up ends
// up with, and every pop-up it shows on the way.
#include <QtTest>

#include "app/ini.h"
#include "app/state.h"
#include "platform/cp1250.h"
#include "platform/files.h"
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

// The message for a rejected key line, in each language.
static QByteArray czech(const QByteArray &line)
{
    return CP1250("Nepřípustný parametr v T483.INI: [t483], ") + line;
}
static QByteArray slovak(const QByteArray &line)
{
    return CP1250("Neprípustný parameter v T483.INI: [t483], ") + line;
}
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

    // The two reads of start-up, in its order.
    void read_as_at_startup()
    {
        fhi = OpenFile(path.constData(), VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_ASCII);
        if (fhi < 0)
            return;
        ini_rd("[t483]", "language", 0, 4, &language);
        ini_rd("[t483]", "demo", 0, 2, &demo);
        QCOMPARE(CloseFile(fhi), 0);
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

    void startup_data()
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

    void startup()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, lang);
        QFETCH(int, offline);
        QFETCH(Texts, shown);
        if (!content.isNull())
            write(content);

        read_as_at_startup();

        QCOMPARE(language, lang);
        QCOMPARE(demo, offline);
        QCOMPARE(messages, shown);
        for (const QByteArray &title : titles)
            QCOMPARE(title, QByteArray());  // shown before the panel's texts are set
        QVERIFY(content.isNull() || fhi > 0);
        QCOMPARE(QFile::exists(dir.filePath("T483.INI")), !content.isNull());
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
        for (int call = 0; call < 2; call++)  // each call reads from the top
            QCOMPARE(ini_rd("[t483]", "key", lower, upper, &out), result);
        CloseFile(fhi);
        QCOMPARE(out, value);
        QCOMPARE(messages.size(), 2 * popups);
        for (const QByteArray &title : titles)
            QCOMPARE(title, QByteArray("T-483 Control"));
    }
};

QTEST_MAIN(IniTest)
#include "ini_test.moc"
