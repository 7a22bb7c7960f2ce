// The simulated T-483 by itself, with no pseudo-terminal: its replies under
// local and remote control and switched off, each fault's reply, the hang-up
// count, the lines on the simulator's standard input, and its traffic log.
#include "sim/control.h"
#include "sim/instrument.h"

#include <QtTest>
#include <algorithm>

namespace {

// One step of a script: "> LINE" is a line of standard input, which must be
// taken; anything else a command, sent byte by byte with its CR, whose reply
// is added to replies.
void step(sim::Instrument &instrument, const QByteArray &text, QByteArrayList &replies)
{
    if (text.startsWith("> ")) {
        sim::Request c = sim::control(instrument, text.mid(2).toStdString());
        QCOMPARE(QByteArray::fromStdString(c.answer), QByteArray("ok"));
        return;
    }
    std::optional<std::string> command;
    for (char byte : text + '\r') {
        QVERIFY2(!command, "a command ended before its CR");
        command = instrument.receive(byte);
    }
    QVERIFY2(command, "no command at the CR");
    replies += QByteArray::fromStdString(instrument.command(*command).bytes);
}

// What a line of standard input answered and asked of the line, in one text.
QByteArray describe(const sim::Request &c)
{
    QByteArray s = QByteArray::fromStdString(c.answer);
    if (c.pace)
        s += *c.pace ? " pace on" : " pace off";
    if (c.send)
        s += " send" + (c.send->empty() ? "" : " " + QByteArray::fromStdString(*c.send).toHex(' '));
    if (c.quit)
        s += " quit";
    return s;
}

}  // namespace

class TestSimInstrument : public QObject {
    Q_OBJECT

private slots:
    void conversation_data()
    {
        QTest::addColumn<QByteArrayList>("script");
        QTest::addColumn<QByteArrayList>("replies");
        QTest::newRow("I K M by default") << QByteArrayList{"I", "K", "M"}
                                          << QByteArrayList{"48300\r", "100\r", "1000\r"};
        QTest::newRow("I K M as set")
            << QByteArrayList{"> ident 48305", "> front 4072", "> voltage 2500", "I", "K", "M"}
            << QByteArrayList{"48305\r", "4072\r", "2500\r"};
        QTest::newRow("texts with escapes, or empty")
            << QByteArrayList{"> ident 4\\x38\\r", "> voltage", "I", "M"}
            << QByteArrayList{"48\r\r", "\r"};
        QTest::newRow("R under local: echoed, not taken")
            << QByteArrayList{"> front 4072", "R5", "K"} << QByteArrayList{"R5\r", "4072\r"};
        QTest::newRow("R under remote: K gives it, without leading zeros")
            << QByteArrayList{"> remote", "R007", "K", "R999999999", "K"}
            << QByteArrayList{"R007\r", "7\r", "R999999999\r", "999999999\r"};
        QTest::newRow("L0 and L1 echoed, and switch what K gives")
            << QByteArrayList{"> front 12", "L0", "R34", "K", "L1", "K", "R56", "L0", "K"}
            << QByteArrayList{"L0\r", "R34\r", "34\r", "L1\r", "12\r", "R56\r", "L0\r", "34\r"};
        QTest::newRow("local undoes remote")
            << QByteArrayList{"> remote", "> local", "R9", "K"} << QByteArrayList{"R9\r", "100\r"};
        QTest::newRow("unknown commands")
            << QByteArrayList{"X", "", "i", "II", "I ", "R", "R12a", "R-1", "R1234567890", "L2",
                              "P1"}
            << QByteArrayList(11, QByteArray("?\r"));
        QTest::newRow("R0 and LF is no R0")
            << QByteArrayList{"> remote", "R0\n", "\nK", "K"}
            << QByteArrayList{"?\r", "?\r", "100\r"};
        QTest::newRow("P0 echoed, then silence until power on")
            << QByteArrayList{"> remote", "R77", "P0", "I", "P0", "L1", "> power on", "K"}
            << QByteArrayList{"R77\r", "P0\r", "", "", "", "77\r"};
        QTest::newRow("a silent instrument still acts")
            << QByteArrayList{"> fault silent", "L0", "R5", "> fault none", "K"}
            << QByteArrayList{"", "", "5\r"};
        QTest::newRow("an instrument answering twice acts once")
            << QByteArrayList{"> fault twice", "L0", "R5", "K", "> fault none", "K"}
            << QByteArrayList{"L0\rL0\r", "R5\rR5\r", "5\r5\r", "5\r"};
    }
    void conversation()
    {
        QFETCH(QByteArrayList, script);
        QFETCH(QByteArrayList, replies);
        sim::Instrument instrument;
        QByteArrayList got;
        for (const QByteArray &text : script) {
            step(instrument, text, got);
            if (QTest::currentTestFailed())
                return;
        }
        QCOMPARE(got, replies);
    }

    void framing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArrayList>("commands");
        QTest::newRow("two") << QByteArray("I\rK\r") << QByteArrayList{"I", "K"};
        QTest::newRow("none before a CR") << QByteArray("I") << QByteArrayList{};
        QTest::newRow("a CR alone") << QByteArray("\r") << QByteArrayList{""};
        QTest::newRow("LF and NUL kept") << QByteArray("\nR0\n\0\r", 6)
                                         << QByteArrayList{QByteArray("\nR0\n\0", 5)};
        QTest::newRow("cut at 200 bytes") << QByteArray(250, 'A') + "\rI\r"
                                          << QByteArrayList{QByteArray(200, 'A'), "I"};
    }
    void framing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArrayList, commands);
        sim::Instrument instrument;
        QByteArrayList got;
        for (char byte : bytes)
            if (std::optional<std::string> command = instrument.receive(byte))
                got += QByteArray::fromStdString(*command);
        QCOMPARE(got, commands);
    }

    void faults_data()
    {
        QTest::addColumn<QByteArrayList>("setup");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("splitAt");  // -1: not split
        QTest::addColumn<int>("splitMs");
        QTest::addColumn<int>("lateMs");
        QTest::newRow("none") << QByteArrayList{"> fault none"} << QByteArray("I")
                              << QByteArray("48300\r") << -1 << 0 << 0;
        QTest::newRow("silent") << QByteArrayList{"> fault silent"} << QByteArray("I")
                                << QByteArray() << -1 << 0 << 0;
        QTest::newRow("garbage") << QByteArrayList{"> fault garbage"} << QByteArray("R5")
                                 << QByteArray("x#?\xff\r") << -1 << 0 << 0;
        QTest::newRow("long") << QByteArrayList{"> fault long"} << QByteArray("M")
                              << QByteArray("0123456789ABCDEFGHIJKLMNOPQRSTUV") << -1 << 0 << 0;
        QTest::newRow("split") << QByteArrayList{"> fault split 40"} << QByteArray("I")
                               << QByteArray("48300\r") << 3 << 40 << 0;
        QTest::newRow("split, odd length, no MS") << QByteArrayList{"> fault split"}
                                                  << QByteArray("K") << QByteArray("100\r") << 2
                                                  << 0 << 0;
        QTest::newRow("split of a CR alone") << QByteArrayList{"> ident", "> fault split 7"}
                                             << QByteArray("I") << QByteArray("\r") << 0 << 7 << 0;
        QTest::newRow("hangup: replies as usual") << QByteArrayList{"> fault hangup 3"}
                                                  << QByteArray("X") << QByteArray("?\r") << -1
                                                  << 0 << 0;
        QTest::newRow("late: the whole reply, later") << QByteArrayList{"> fault late 310"}
                                                      << QByteArray("K") << QByteArray("100\r") << -1
                                                      << 0 << 310;
        QTest::newRow("late, no MS: at once") << QByteArrayList{"> fault late"} << QByteArray("M")
                                              << QByteArray("1000\r") << -1 << 0 << 0;
        QTest::newRow("late, negative: at once") << QByteArrayList{"> fault late -5"}
                                                 << QByteArray("M") << QByteArray("1000\r") << -1
                                                 << 0 << 0;
        QTest::newRow("twice") << QByteArrayList{"> front 4072", "> fault twice"} << QByteArray("K")
                               << QByteArray("4072\r4072\r") << -1 << 0 << 0;
        QTest::newRow("twice, an empty reply") << QByteArrayList{"> voltage", "> fault twice"}
                                               << QByteArray("M") << QByteArray("\r\r") << -1 << 0
                                               << 0;
        QTest::newRow("the last fault set counts")
            << QByteArrayList{"> fault garbage", "> fault split 9", "> fault late 400", "> fault none"}
            << QByteArray("I") << QByteArray("48300\r") << -1 << 0 << 0;
    }
    void faults()
    {
        QFETCH(QByteArrayList, setup);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, bytes);
        QFETCH(int, splitAt);
        QFETCH(int, splitMs);
        QFETCH(int, lateMs);
        sim::Instrument instrument;
        QByteArrayList unused;
        for (const QByteArray &text : setup)
            step(instrument, text, unused);
        const sim::Reply reply = instrument.command(command.toStdString());
        QCOMPARE(QByteArray::fromStdString(reply.bytes), bytes);
        QCOMPARE(reply.split_at ? int(*reply.split_at) : -1, splitAt);
        if (reply.split_at)
            QCOMPARE(reply.split_ms, long(splitMs));
        QCOMPARE(reply.late_ms, long(lateMs));
        QVERIFY(!instrument.hanging_up());
    }

    // hangsFrom: the step of the script from which the line is to go; -1 never.
    void hangup_data()
    {
        QTest::addColumn<QByteArrayList>("script");
        QTest::addColumn<int>("hangsFrom");
        QTest::newRow("no fault") << QByteArrayList{"I", "K", "P0"} << -1;
        QTest::newRow("after 1") << QByteArrayList{"> fault hangup 1", "I", "K"} << 1;
        QTest::newRow("after 3") << QByteArrayList{"> fault hangup 3", "I", "K", "M", "I"} << 3;
        QTest::newRow("0: at once") << QByteArrayList{"> fault hangup 0", "I"} << 0;
        QTest::newRow("negative: at once") << QByteArrayList{"> fault hangup -2"} << 0;
        QTest::newRow("no N: at once") << QByteArrayList{"> fault hangup"} << 0;
        QTest::newRow("unknown commands count")
            << QByteArrayList{"> fault hangup 2", "X", "R0\n"} << 2;
        QTest::newRow("P0 counts, commands while off do not")
            << QByteArrayList{"> fault hangup 2", "P0", "I", "K", "> power on", "I"} << 5;
        QTest::newRow("another fault before the count ends stops it")
            << QByteArrayList{"> fault hangup 2", "I", "> fault none", "I", "K"} << -1;
        QTest::newRow("once due, it stays due")
            << QByteArrayList{"> fault hangup 1", "I", "> fault none", "I"} << 1;
    }
    void hangup()
    {
        QFETCH(QByteArrayList, script);
        QFETCH(int, hangsFrom);
        sim::Instrument instrument;
        QByteArrayList replies;
        for (int k = 0; k < script.size(); k++) {
            step(instrument, script[k], replies);
            QVERIFY2(instrument.hanging_up() == (hangsFrom >= 0 && k >= hangsFrom),
                     qPrintable(QString("after step %1").arg(k)));
        }
    }

    // Each line as described: its answer, then what it asks of the line.
    void controlLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("result");
        QTest::newRow("ident") << QByteArray("ident 48305") << QByteArray("ok");
        QTest::newRow("local takes any rest") << QByteArray("local now") << QByteArray("ok");
        QTest::newRow("fault with its ARG") << QByteArray("fault split 40") << QByteArray("ok");
        QTest::newRow("fault late") << QByteArray("fault late 310") << QByteArray("ok");
        QTest::newRow("fault twice") << QByteArray("fault twice") << QByteArray("ok");
        QTest::newRow("pace on") << QByteArray("pace on") << QByteArray("ok pace on");
        QTest::newRow("pace off") << QByteArray("pace off") << QByteArray("ok pace off");
        QTest::newRow("send") << QByteArray("send 40\\r\\x00") << QByteArray("ok send 34 30 0d 00");
        QTest::newRow("send nothing") << QByteArray("send") << QByteArray("ok send");
        QTest::newRow("quit") << QByteArray("quit") << QByteArray("ok quit");
        QTest::newRow("empty") << QByteArray("") << QByteArray("error unknown command ");
        QTest::newRow("leading space") << QByteArray(" ident 1")
                                       << QByteArray("error unknown command  ident 1");
        QTest::newRow("capitals") << QByteArray("Ident 1")
                                  << QByteArray("error unknown command Ident 1");
        QTest::newRow("pace without on or off") << QByteArray("pace yes")
                                                << QByteArray("error unknown command pace yes");
        QTest::newRow("power off") << QByteArray("power off")
                                   << QByteArray("error unknown command power off");
        QTest::newRow("unknown fault") << QByteArray("fault loud 3")
                                       << QByteArray("error unknown fault loud 3");
        QTest::newRow("fault without a mode") << QByteArray("fault")
                                              << QByteArray("error unknown fault ");
    }
    void controlLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, result);
        sim::Instrument instrument;
        QCOMPARE(describe(sim::control(instrument, line.toStdString())), result);
    }

    void escapes_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("none") << QByteArray("48305") << QByteArray("48305");
        QTest::newRow("CR LF backslash") << QByteArray("\\r \\n \\\\") << QByteArray("\r \n \\");
        QTest::newRow("hex, either case") << QByteArray("\\x41\\xfF\\x00")
                                          << QByteArray("A\xff\0", 3);
        QTest::newRow("hex with one digit") << QByteArray("\\x4") << QByteArray("x4");
        QTest::newRow("hex with no digits") << QByteArray("\\xg1") << QByteArray("xg1");
        QTest::newRow("another character") << QByteArray("\\q\\ ") << QByteArray("q ");
        QTest::newRow("backslash at the end") << QByteArray("42\\") << QByteArray("42\\");
    }
    void escapes()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(QByteArray::fromStdString(sim::unescape(text.toStdString())), bytes);
    }

    // The lines tests/support/sim_process.cpp reads back.
    void reportLines()
    {
        QCOMPARE(QByteArray::fromStdString(sim::rx_line("R0\n")), QByteArray("rx 52 30 0a 0d"));
        QCOMPARE(QByteArray::fromStdString(sim::rx_line("")), QByteArray("rx 0d"));
        QCOMPARE(QByteArray::fromStdString(sim::tx_line("x#?\xff\r")),
                 QByteArray("tx 78 23 3f ff 0d"));
    }

    // The traffic log in each mode, for one command and its reply.
    void logLines_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArrayList>("lines");
        const int readable = int(sim::Log::readable), hex = int(sim::Log::hex),
                  quiet = int(sim::Log::quiet);
        QTest::newRow("reply") << readable << QByteArray("K") << QByteArray("4072\r")
                               << QByteArrayList{"K → 4072"};
        QTest::newRow("echo") << readable << QByteArray("R47") << QByteArray("R47\r")
                              << QByteArrayList{"R47 → R47"};
        QTest::newRow("no reply") << readable << QByteArray("K") << QByteArray()
                                  << QByteArrayList{"K → (no reply)"};
        QTest::newRow("empty texts") << readable << QByteArray() << QByteArray("\r")
                                     << QByteArrayList{"(empty) → (empty)"};
        QTest::newRow("escaped") << readable << QByteArray("R0\n") << QByteArray("x#?\xff\r")
                                 << QByteArrayList{"R0\\n → x#?\\xff"};
        QTest::newRow("backslash, inner CR") << readable << QByteArray("\\")
                                             << QByteArray("4\r0\r")
                                             << QByteArrayList{"\\\\ → 4\\r0"};
        QTest::newRow("no CR") << readable << QByteArray("K") << QByteArray("0123")
                               << QByteArrayList{"K → 0123 (no CR)"};
        QTest::newRow("hex") << hex << QByteArray("K") << QByteArray("47\r")
                             << QByteArrayList{"rx 4b 0d", "tx 34 37 0d"};
        QTest::newRow("hex, no reply") << hex << QByteArray("K") << QByteArray()
                                       << QByteArrayList{"rx 4b 0d"};
        QTest::newRow("quiet") << quiet << QByteArray("K") << QByteArray("47\r")
                               << QByteArrayList{};
    }
    void logLines()
    {
        QFETCH(int, mode);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArrayList, lines);
        QByteArrayList got;
        for (const std::string &line :
             sim::log_lines(sim::Log(mode), command.toStdString(), reply.toStdString()))
            got += QByteArray::fromStdString(line);
        QCOMPARE(got, lines);
    }

    // What the readable log shows, typed back on standard input (front,
    // send), gives every byte again.
    void escapeRoundTrip()
    {
        std::string all;
        for (int b = 0; b < 256; b++)
            all += char(b);
        const std::string shown = sim::escape(all);
        QVERIFY(std::all_of(shown.begin(), shown.end(),
                            [](char c) { return c >= 0x20 && c < 0x7f; }));
        QCOMPARE(QByteArray::fromStdString(sim::unescape(shown)), QByteArray::fromStdString(all));
    }

    // help lists the commands, each line indented so that none reads as an
    // answer or a log line, and is answered ok; it takes no argument.
    void help()
    {
        sim::Instrument instrument;
        const sim::Request c = sim::control(instrument, "help");
        QCOMPARE(QByteArray::fromStdString(c.answer), QByteArray("ok"));
        QByteArray text;
        for (const std::string &line : c.lines) {
            QVERIFY2(line.rfind("  ", 0) == 0, line.c_str());
            text += QByteArray::fromStdString(line) + '\n';
        }
        for (const char *word : {"ident", "front", "voltage", "fault", "pace", "send", "local",
                                 "remote", "power on", "help", "quit"})
            QVERIFY2(text.contains(word), word);
        QCOMPARE(describe(sim::control(instrument, "help me")),
                 QByteArray("error unknown command help me"));
        QVERIFY(sim::control(instrument, "ident 1").lines.empty());
    }
};

QTEST_APPLESS_MAIN(TestSimInstrument)
#include "tst_instrument.moc"
