// The text-file and text services: line reading at its limits, byte
// comparison, the two scan formats and bounded composing; the atomic
// replacement of a file, and what a failed one leaves.
#include <QtTest>

#include <climits>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/text.h"

using Lines = QList<QByteArray>;

class TextTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QByteArray write(const char *name, const QByteArray &content)
    {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(f.fileName()));
        return QFile::encodeName(f.fileName());
    }

    int open(const QByteArray &path)
    {
        return OpenFile(path.constData(), VAL_READ_ONLY, VAL_OPEN_AS_IS, VAL_ASCII);
    }

private slots:
    void readLine_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Lines>("lines");

        const QByteArray a81(81, 'a');
        const QByteArray b80(80, 'b');
        QTest::newRow("empty file") << QByteArray() << Lines{};
        QTest::newRow("CR LF ends") << QByteArray("[t483]\r\ndemo=1\r\n") << Lines{"[t483]", "demo=1"};
        QTest::newRow("no line end at the end") << QByteArray("a\nlast") << Lines{"a", "last"};
        QTest::newRow("empty lines") << QByteArray("\n\r\n\nx\n") << Lines{"", "", "", "x"};
        QTest::newRow("exactly 81 bytes, LF") << a81 + "\nnext\n" << Lines{a81, "next"};
        QTest::newRow("exactly 81 bytes, CR LF") << a81 + "\r\nnext\r\n" << Lines{a81, "next"};
        QTest::newRow("80 bytes, CR LF") << b80 + "\r\nnext\n" << Lines{b80, "next"};

        // A lone CR ends a line too (old Macintosh files), wherever it falls.
        QTest::newRow("lone CR ends a line") << QByteArray("a\rb\n") << Lines{"a", "b"};
        QTest::newRow("CR ends only") << QByteArray("[t483]\rdemo=1\r\r") << Lines{"[t483]", "demo=1", ""};
        QTest::newRow("all three ends mixed") << QByteArray("a\r\nb\rc\nd") << Lines{"a", "b", "c", "d"};
        QTest::newRow("81st byte a lone CR") << b80 + "\rz\n" << Lines{b80, "z"};
        QTest::newRow("81 bytes, lone CR") << a81 + "\rz\n" << Lines{a81, "z"};

        // What does not fit is dropped up to the line end: a long line is
        // one line, never the start of the next.
        const QByteArray x81(81, 'x');
        QTest::newRow("long line, LF") << QByteArray(200, 'x') + "\ny\n" << Lines{x81, "y"};
        QTest::newRow("long line, CR LF") << x81 + "demo=1\r\ny\r\n" << Lines{x81, "y"};
        QTest::newRow("long line, lone CR") << x81 + "demo=1\ry" << Lines{x81, "y"};
        QTest::newRow("long last line") << x81 + "demo=1" << Lines{x81};

        // A UTF-8 byte-order mark opening the file is not text; anywhere
        // else it is.
        const QByteArray bom = "\xef\xbb\xbf";
        QTest::newRow("byte-order mark") << bom + "[t483]\r\nx\r\n" << Lines{"[t483]", "x"};
        QTest::newRow("byte-order mark alone") << bom << Lines{};
        QTest::newRow("byte-order mark, empty line") << bom + "\n" << Lines{""};
        QTest::newRow("byte-order mark later") << "a\n" + bom + "b\n" << Lines{"a", bom + "b"};
        QTest::newRow("byte-order mark twice") << bom + bom + "a" << Lines{bom + "a"};

        // Only the first 64 KiB of a file are read, and of them only whole
        // lines: a line reaching past the mark is not read at all.
        Lines lines64k;
        QByteArray text64k;
        for (int k = 0; k < 1024; k++) {
            lines64k << QByteArray::number(k).rightJustified(63, '.');
            text64k += lines64k.last() + '\n';
        }
        QTest::newRow("64 KiB read whole") << text64k << lines64k;
        QTest::newRow("nothing after 64 KiB") << text64k + "[t483]\ndemo=1\n" << lines64k;
        QTest::newRow("line across 64 KiB") << text64k.left(65530) + "demo=1\n" << lines64k.mid(0, 1023);
        QTest::newRow("64 KiB of one line") << QByteArray(70000, 'x') << Lines{};
        QTest::newRow("NUL bytes are counted")
            << QByteArray("ab\0cd\n\0\n", 8) << Lines{QByteArray("ab\0cd", 5), QByteArray("\0", 1)};
    }

    void readLine()
    {
        QFETCH(QByteArray, content);
        QFETCH(Lines, lines);
        int h = open(write("lines.txt", content));
        QVERIFY(h > 0);
        auto close = qScopeGuard([&] { QCOMPARE(CloseFile(h), 0); });  // a failed row too
        for (int pass = 0; pass < 2; pass++) {  // the second time after a rewind
            for (const QByteArray &line : lines) {
                char buf[100];
                std::memset(buf, 0x55, sizeof buf);
                int n = ReadLine(h, buf, 81);
                QCOMPARE(n, line.size());
                QCOMPARE(QByteArray(buf, n), line);
                QCOMPARE(buf[n], '\0');
                for (int k = 82; k < int(sizeof buf); k++)
                    QCOMPARE(buf[k], '\x55');
            }
            char buf[82] = "stale";
            QCOMPARE(ReadLine(h, buf, 81), -2);
            QCOMPARE(buf[0], '\0');
            QCOMPARE(ReadLine(h, buf, 81), -2);
            QCOMPARE(SetFilePtr(h, 0, 0), 0L);
        }
    }

    void handles()
    {
        const QByteArray missing = QFile::encodeName(dir.filePath("missing.ini"));
        QCOMPARE(open(missing), -1);
        QVERIFY(!QFile::exists(dir.filePath("missing.ini")));

        const QByteArray path = write("some.txt", "x\n");
        QCOMPARE(OpenFile(path.constData(), VAL_READ_WRITE, VAL_OPEN_AS_IS, VAL_ASCII), -1);
        QCOMPARE(OpenFile(missing.constData(), VAL_WRITE_ONLY, VAL_TRUNCATE, VAL_ASCII), -1);
        QVERIFY(!QFile::exists(dir.filePath("missing.ini")));

        // A read-only file is still read.
        QFile::setPermissions(dir.filePath("some.txt"), QFile::ReadOwner);
        int handles[64];
        int opened = 0;
        while (opened < 64 && (handles[opened] = open(path)) > 0)
            opened++;
        QVERIFY(opened >= 2 && opened < 64);  // a few at once, then a refusal
        QCOMPARE(CloseFile(handles[0]), 0);
        QCOMPARE(CloseFile(handles[0]), -1);
        handles[0] = open(path);
        QVERIFY(handles[0] > 0);
        char buf[82];
        QCOMPARE(ReadLine(handles[0], buf, 81), 1);
        for (int k = 0; k < opened; k++)
            QCOMPARE(CloseFile(handles[k]), 0);

        for (int bad : {0, -1, 9999, handles[0]}) {
            QCOMPARE(ReadLine(bad, buf, 81), -1);
            QCOMPARE(SetFilePtr(bad, 0, 0), -1L);
            QCOMPARE(CloseFile(bad), -1);
        }
    }

    // Only a regular file is a file to read (a link to one is followed);
    // a device or a folder is not opened as one. (A FIFO, which could
    // block start-up, is tried through start-up in tests/app/tst_startup.cpp.)
    void onlyRegularFiles_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("opens");
        QTest::newRow("regular file") << "plain.txt" << true;
        QTest::newRow("endless device") << "/dev/zero" << false;
        QTest::newRow("empty device") << "/dev/null" << false;
        QTest::newRow("folder") << "." << false;
    }
    void onlyRegularFiles()
    {
        QFETCH(QString, target);
        QFETCH(bool, opens);
        write("plain.txt", "x\n");
        const QString link = dir.filePath("link.ini");
        QFile::remove(link);
        QVERIFY(QFile::link(target.startsWith('/') ? target : dir.filePath(target), link));
        for (const QString &name : {link, target.startsWith('/') ? target : dir.filePath(target)}) {
            const int h = open(QFile::encodeName(name));
            const bool closed = h < 1 || CloseFile(h) == 0;
            QVERIFY2((h > 0) == opens, qPrintable(name));
            QVERIFY(closed);
        }
    }

    void compareBytes_data()
    {
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("caseSensitive");
        QTest::addColumn<int>("sign");

        QTest::newRow("same prefix, case ignored") << QByteArray("LANGUAGE=2") << QByteArray("language") << 8 << 0 << 0;
        QTest::newRow("case counts when asked") << QByteArray("Demo") << QByteArray("demo") << 4 << 1 << -1;
        QTest::newRow("shorter line") << QByteArray("lang") << QByteArray("language") << 8 << 0 << -1;
        QTest::newRow("both end before n") << QByteArray("demo") << QByteArray("DEMO") << 50 << 0 << 0;
        QTest::newRow("high bytes are not letters") << QByteArray("\xe8") << QByteArray("\xc8") << 1 << 0 << 1;
    }

    void compareBytes()
    {
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        QFETCH(int, n);
        QFETCH(int, caseSensitive);
        QFETCH(int, sign);
        int r = CompareBytes(a.constData(), 0, b.constData(), 0, n, caseSensitive);
        QCOMPARE((r > 0) - (r < 0), sign);
    }

    void scan_data()
    {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<int>("steps");
        QTest::addColumn<int>("value");  // 12345 where nothing may be stored

        const QByteArray start = "%s>%i", first = "%s>%s[dt#]%i";
        QTest::newRow("reply") << start << QByteArray("2500\r") << 1 << 2500;
        QTest::newRow("blanks before") << start << QByteArray(" \t47") << 1 << 47;
        QTest::newRow("signed") << start << QByteArray("-12") << 1 << -12;
        QTest::newRow("largest") << start << QByteArray("2147483647") << 1 << INT_MAX;
        QTest::newRow("smallest") << start << QByteArray("-2147483648") << 1 << INT_MIN;
        QTest::newRow("one past largest") << start << QByteArray("2147483648") << 0 << 12345;
        QTest::newRow("far too large") << start << QByteArray("99999999999") << 0 << 12345;
        QTest::newRow("empty") << start << QByteArray("") << 0 << 12345;
        QTest::newRow("text first") << start << QByteArray("V2500") << 0 << 12345;

        QTest::newRow("letters and a blank") << first << QByteArray("ID 483123\r") << 2 << 483123;
        QTest::newRow("hyphen is not a sign") << first << QByteArray("T-483") << 2 << 483;
        QTest::newRow("leading zeros") << first << QByteArray("x=000000000007") << 2 << 7;
        QTest::newRow("unknown format") << QByteArray("%s>%f") << QByteArray("1") << -1 << 12345;
    }

    void scan()
    {
        QFETCH(QByteArray, format);
        QFETCH(QByteArray, source);
        QFETCH(int, steps);
        QFETCH(int, value);
        int got = 12345;
        QCOMPARE(Scan(source.constData(), format.constData(), &got), steps);
        QCOMPARE(got, value);
    }

    void fmt_data()
    {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("text");

        QTest::newRow("percent") << QByteArray("100%% %s") << QByteArray("x") << QByteArray() << 84
                                 << QByteArray("100% x");
        QTest::newRow("unknown conversion kept") << QByteArray("%n%x %s") << QByteArray("y") << QByteArray()
                                                 << 84 << QByteArray("%n%x y");
        QTest::newRow("cut to fit") << QByteArray("%s%s") << QByteArray("abcdef") << QByteArray("ghij") << 8
                                    << QByteArray("abcdefg");
    }

    void fmt()
    {
        QFETCH(QByteArray, format);
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        QFETCH(int, size);
        QFETCH(QByteArray, text);
        char buf[100];
        std::memset(buf, 0x55, sizeof buf);
        Fmt(buf, size, format.constData(), a.constData(), b.constData());
        QCOMPARE(QByteArray(buf), text);
        for (int k = size; k < int(sizeof buf); k++)
            QCOMPARE(buf[k], '\x55');
    }

    void fmtNumbers()
    {
        char buf[84];
        QCOMPARE(Fmt(buf, sizeof buf, "R%d", 0), 2);
        QCOMPARE(QByteArray(buf), QByteArray("R0"));
        Fmt(buf, sizeof buf, "R%i|%d|%d", 16221, -5, INT_MIN);
        QCOMPARE(QByteArray(buf), QByteArray("R16221|-5|-2147483648"));
        QCOMPARE(Fmt(buf, 4, "R%d", 15000), 6);  // the length it needed
        QCOMPARE(QByteArray(buf), QByteArray("R15"));
        QCOMPARE(Fmt(nullptr, 0, "%d", 123), 3);
    }



    // The file's new bytes, its permissions kept, nothing left beside it; a
    // link stays a link, its target replaced; a new file is made.
    void writeAtomically()
    {
        QTemporaryDir d;
        const QByteArray file = QFile::encodeName(d.filePath("T483.INI"));
        const QByteArray old("; ours\r\n[t483]\r\nlanguage=3\r\n");
        QFile f(d.filePath("T483.INI"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(old) == old.size());
        f.close();
        QVERIFY(chmod(file.constData(), 0600) == 0);
        const QByteArray neu = old + "com1=/dev/ttyUSB0\r\n";
        QCOMPARE(WriteFileAtomically(file.constData(), neu.constData(), neu.size()), 0);
        QCOMPARE(contents(file), neu);
        struct stat st;
        QVERIFY(stat(file.constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0600));
        QCOMPARE(QDir(d.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"T483.INI"});

        QVERIFY(QFile::link(d.filePath("T483.INI"), d.filePath("link.ini")));
        const QByteArray link = QFile::encodeName(d.filePath("link.ini"));
        QCOMPARE(WriteFileAtomically(link.constData(), "x\n", 2), 0);
        QCOMPARE(QFileInfo(d.filePath("link.ini")).isSymLink(), true);
        QCOMPARE(contents(file), QByteArray("x\n"));

        const QByteArray fresh = QFile::encodeName(d.filePath("a/b/T483.INI"));
        QCOMPARE(MakeFolders(QFile::encodeName(d.filePath("a/b")).constData()), 0);
        QCOMPARE(MakeFolders(QFile::encodeName(d.filePath("a/b")).constData()), 0);
        QCOMPARE(WriteFileAtomically(fresh.constData(), "", 0), 0);
        QCOMPARE(contents(fresh), QByteArray(""));
        QCOMPARE(MakeFolders(QFile::encodeName(d.filePath("T483.INI/c")).constData()), -1);
    }

    // A write that cannot be completed leaves the old file byte for byte and
    // nothing beside it: the disk full midway (a file size limit, and a tiny
    // file system where one can be mounted), a folder that cannot be written,
    // a folder gone, a folder in the file's place.
    void failedWriteKeepsTheOldFile_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("file size limit") << "limit";
        QTest::newRow("full file system") << "tmpfs";
        QTest::newRow("read-only folder") << "read-only";
        QTest::newRow("folder gone") << "gone";
        QTest::newRow("a folder in its place") << "folder";
    }
    void failedWriteKeepsTheOldFile()
    {
        QFETCH(QString, how);
        QTemporaryDir d;
        QString folder = d.path();
        bool mounted = false;
        if (how == "tmpfs") {
            folder = d.filePath("small");
            QVERIFY(QDir().mkdir(folder));
            if (geteuid() != 0 || mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=8k") != 0)
                QSKIP("no tmpfs can be mounted here");
            mounted = true;
        }
        auto unmount = qScopeGuard([&] {
            if (mounted)
                umount(QFile::encodeName(folder).constData());
            chmod(QFile::encodeName(folder).constData(), 0755);
        });
        const QString name = QDir(folder).filePath("T483.INI");
        const QByteArray file = QFile::encodeName(name);
        const QByteArray old("[t483]\nlanguage=2\n; keep\n");
        QFile f(name);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(old) == old.size());
        f.close();
        QByteArray neu(64 * 1024, 'z');
        QByteArray target = file;

        int result = 0;
        if (how == "limit") {
            rlimit was, small{16, 16};
            QVERIFY(getrlimit(RLIMIT_FSIZE, &was) == 0);
            small.rlim_max = was.rlim_max;
            auto sig = std::signal(SIGXFSZ, SIG_IGN);
            QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
            result = WriteFileAtomically(file.constData(), neu.constData(), neu.size());
            setrlimit(RLIMIT_FSIZE, &was);
            std::signal(SIGXFSZ, sig);
        } else if (how == "read-only") {
            if (geteuid() == 0)
                QSKIP("root writes a read-only folder all the same");
            QVERIFY(chmod(QFile::encodeName(folder).constData(), 0555) == 0);
            result = WriteFileAtomically(file.constData(), neu.constData(), neu.size());
        } else if (how == "gone") {
            target = QFile::encodeName(d.filePath("gone/T483.INI"));
            result = WriteFileAtomically(target.constData(), neu.constData(), neu.size());
        } else if (how == "folder") {
            QVERIFY(QDir(folder).mkdir("T483.INI.d"));
            QVERIFY(QFile::rename(name, name + ".keep"));
            QVERIFY(QDir(folder).rename("T483.INI.d", "T483.INI"));
            result = WriteFileAtomically(file.constData(), neu.constData(), neu.size());
            QVERIFY(QFileInfo(name).isDir());
            QVERIFY(QDir(folder).rmdir("T483.INI"));
            QVERIFY(QFile::rename(name + ".keep", name));
        } else {
            result = WriteFileAtomically(file.constData(), neu.constData(), neu.size());
        }
        QCOMPARE(result, -1);
        QCOMPARE(contents(file), old);
        QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(left, QStringList{"T483.INI"});
    }

private:
    static QByteArray contents(const QByteArray &path)
    {
        QFile f(QFile::decodeName(path));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
    }
};

QTEST_APPLESS_MAIN(TextTest)
#include "tst_text.moc"
