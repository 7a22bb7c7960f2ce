// The trace: T483_TRACE=1 writes to standard error with time-of-day stamps;
// any other value names a file the trace is appended to with full date-time
// stamps; a file that cannot be opened is warned of once and leaves the
// trace off, without ever blocking; one that takes no line is warned of once.
#include <QDateTime>
#include <QRegularExpression>
#include <QtTest>

#include <cstdio>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/trace.h"

namespace {

// Standard error caught in a temporary file until text() is called.
class CaughtStderr {
    QTemporaryFile file;
    int saved = -1;

public:
    CaughtStderr()
    {
        if (!file.open())
            qFatal("cannot make a temporary file");
        fflush(stderr);
        saved = dup(STDERR_FILENO);
        dup2(file.handle(), STDERR_FILENO);
    }
    ~CaughtStderr() { restore(); }
    void restore()
    {
        if (saved < 0)
            return;
        fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        saved = -1;
    }
    QByteArray text()
    {
        restore();
        QFile caught(file.fileName());
        return caught.open(QIODevice::ReadOnly) ? caught.readAll() : QByteArray("(unreadable)");
    }
};

QByteArrayList linesOf(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {"(unreadable)"};
    return f.readAll().split('\n');
}

// A local date-time stamp with milliseconds and the offset from UTC, a
// space, then the text.
const QRegularExpression dated(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d\d\d([+-]\d\d:\d\d)) (.*)$)");
const QRegularExpression timeOfDay(R"(^\d\d:\d\d:\d\d\.\d\d\d (.*)$)");

}  // namespace

class TraceTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void cleanup()
    {
        qunsetenv("T483_TRACE");
        qunsetenv("TZ");
        tzset();
    }

    // Appended after what the file held, every line stamped with the local
    // date and time and the zone's offset (whole hours, half hours, west of
    // Greenwich), the texts as on standard error, which stays clean.
    void toFile_data()
    {
        QTest::addColumn<QByteArray>("tz");
        QTest::addColumn<QString>("offset");
        QTest::newRow("UTC") << QByteArray("UTC0") << "+00:00";
        QTest::newRow("east, half hour") << QByteArray("XST-5:30") << "+05:30";
        QTest::newRow("west") << QByteArray("YST+3") << "-03:00";
    }
    void toFile()
    {
        QFETCH(QByteArray, tz);
        QFETCH(QString, offset);
        qputenv("TZ", tz);
        tzset();
        const QString path = dir.filePath(QString("trace-%1.log").arg(QTest::currentDataTag()));
        {
            QFile earlier(path);
            QVERIFY(earlier.open(QIODevice::WriteOnly));
            earlier.write("earlier run\n");
        }
        qputenv("T483_TRACE", QFile::encodeName(path));
        CaughtStderr err;
        const QDateTime before = QDateTime::currentDateTime();
        QVERIFY(TraceOn());
        TraceLink(1, '>', "R47", 3);
        TraceLink(2, '<', "\x01\"", 2);
        TraceLink(1, '<', nullptr, -8);
        Trace("tone: %s", "modelled only");
        const QDateTime after = QDateTime::currentDateTime();
        QCOMPARE(err.text(), QByteArray());

        const QByteArrayList lines = linesOf(path);
        const QByteArrayList texts = {R"(COM1 > "R47")", R"(COM2 < "\x01\x22")", "COM1 < (failed: -8)",
                                      "tone: modelled only"};
        QCOMPARE(lines.size(), texts.size() + 2);  // the earlier line, and after the last newline
        QCOMPARE(lines.first(), QByteArray("earlier run"));
        QCOMPARE(lines.last(), QByteArray());
        for (int k = 0; k < texts.size(); k++) {
            const QRegularExpressionMatch m = dated.match(QString::fromLatin1(lines[k + 1]));
            QVERIFY2(m.hasMatch(), lines[k + 1].constData());
            QCOMPARE(m.captured(2), offset);
            QCOMPARE(m.captured(3), QString::fromLatin1(texts[k]));
            // The stamp is the moment written, in the zone it names.
            const QDateTime at = QDateTime::fromString(m.captured(1), Qt::ISODateWithMs);
            QVERIFY2(at.isValid(), qPrintable(m.captured(1)));
            QVERIFY2(before.msecsTo(at) >= -1 && at.msecsTo(after) >= 0, qPrintable(m.captured(1)));
        }
    }

    // The trace is looked up on every call: a file, then standard error,
    // then nothing, then the file again, each line where it was on at the
    // time.
    void switchedDuringARun()
    {
        const QString path = dir.filePath("switched.log");
        CaughtStderr err;
        qputenv("T483_TRACE", QFile::encodeName(path));
        Trace("first");
        qputenv("T483_TRACE", "1");
        Trace("second");
        qputenv("T483_TRACE", "0");
        QVERIFY(!TraceOn());
        Trace("third");
        qputenv("T483_TRACE", QFile::encodeName(path));
        Trace("fourth");

        const QByteArrayList onStderr = err.text().split('\n');
        QCOMPARE(onStderr.size(), 2);
        const QRegularExpressionMatch m = timeOfDay.match(QString::fromLatin1(onStderr[0]));
        QVERIFY2(m.hasMatch(), onStderr[0].constData());
        QCOMPARE(m.captured(1), QString("second"));

        const QByteArrayList inFile = linesOf(path);
        QCOMPARE(inFile.size(), 3);
        QVERIFY(inFile[0].endsWith(" first") && dated.match(QString::fromLatin1(inFile[0])).hasMatch());
        QVERIFY(inFile[1].endsWith(" fourth") && dated.match(QString::fromLatin1(inFile[1])).hasMatch());
    }

    // A file that cannot be opened, or only by waiting (a pipe nobody
    // reads): one warning naming it, then the trace is off.
    void unopenable_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("missing folder") << "/nonexistent/t483/trace.log";
        QTest::newRow("a folder") << dir.path();
        QTest::newRow("a pipe without reader") << dir.filePath("fifo");
    }
    void unopenable()
    {
        QFETCH(QString, path);
        if (path.endsWith("fifo"))
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        qputenv("T483_TRACE", QFile::encodeName(path));
        CaughtStderr err;
        QVERIFY(!TraceOn());
        Trace("tone: %s", "modelled only");
        TraceLink(1, '>', "K", 1);
        QVERIFY(!TraceOn());
        const QByteArray text = err.text();
        QCOMPARE(text.count('\n'), 1);
        QVERIFY2(text.endsWith('\n') && text.contains(QFile::encodeName(path)), text.constData());
        QVERIFY2(!text.contains("COM1") && !text.contains("tone"), text.constData());
    }

    // A file that takes no line (a full disk): one warning naming it.
    void unwritable()
    {
        qputenv("T483_TRACE", "/dev/full");
        CaughtStderr err;
        QVERIFY(TraceOn());
        Trace("tone: %s", "modelled only");
        TraceLink(1, '>', "K", 1);
        const QByteArray text = err.text();
        QCOMPARE(text.count('\n'), 1);
        QVERIFY2(text.contains("/dev/full") && !text.contains("tone"), text.constData());
    }
};

QTEST_GUILESS_MAIN(TraceTest)
#include "tst_trace.moc"
