// The configuration file reader over real T483.INI files: one key looked up
// between given bounds, and the pop-up for a value outside them. (What
// start-up makes of whole files, through its own lookups, is in
// startup_test.cpp.)
#include <QtTest>

#include <climits>

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
};

QTEST_MAIN(IniTest)
#include "tst_ini.moc"
