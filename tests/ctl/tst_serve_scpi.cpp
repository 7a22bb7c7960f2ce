// The SCPI parser and sessions of t483ctl serve, on an instrument that
// records the serial commands it would have been sent; the server's limits.
#include <QTest>

#include "ctl/scpi.h"
#include "ctl/serve_limits.h"

#include <optional>
#include <string>

namespace {

// The serial commands, as the decade would see them.
struct Recorder : scpi::Instrument {
    QStringList sent;
    bool silent = false;
    int mohm = 4072;
    int volts = 1000;

    std::optional<int> resistance() override
    {
        sent << "K";
        return silent ? std::nullopt : std::optional<int>(mohm);
    }
    std::optional<int> voltage() override
    {
        sent << "M";
        return silent ? std::nullopt : std::optional<int>(volts);
    }
    bool setRemote(bool remote) override
    {
        sent << (remote ? "L0" : "L1");
        return !silent;
    }
    bool setResistance(int n) override
    {
        sent << QString("R%1").arg(n);
        if (!silent)
            mohm = n;
        return !silent;
    }
    bool powerOff() override
    {
        sent << "P0";
        return !silent;
    }
    bool identifies() override
    {
        sent << "I";
        return !silent;
    }
};

QByteArray bytes(const std::string &s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}

}  // namespace

class TestScpi : public QObject {
    Q_OBJECT

    Recorder decade;
    scpi::DeviceState state;
    std::optional<scpi::Session> session;

    QByteArray run(const QByteArray &input)
    {
        return bytes(session->run({input.constData(), size_t(input.size())}, decade, state));
    }
    // The error queue, emptied: each entry as SYST:ERR? gives it.
    QStringList drainErrors()
    {
        QStringList errors;
        for (int k = 0; k < 20; k++) {
            const QByteArray reply = run("SYST:ERR?\n");
            if (reply == "0,\"No error\"\n")
                return errors;
            errors << QString::fromLatin1(reply.trimmed());
        }
        return errors << "(no end)";
    }

private slots:
    void init()
    {
        decade = Recorder();
        state = scpi::DeviceState();
        session.emplace(scpi::Identity{48300, "1.0"});
    }

    // A line in, its reply line out, the serial commands it caused and the
    // errors it queued.
    void lines_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<QStringList>("errors");
        const QStringList none;
        const QByteArray idn = "t483,T-483,48300,1.0\n";
        const QByteArray res = "4.072000E+09\n";
        const QString e102 = "-102,\"Syntax error\"", e104 = "-104,\"Data type error\"";
        const QString e108 = "-108,\"Parameter not allowed\"", e109 = "-109,\"Missing parameter\"";
        const QString e113 = "-113,\"Undefined header\"", e131 = "-131,\"Invalid suffix\"";
        const QString e222 = "-222,\"Data out of range\"", e224 = "-224,\"Illegal parameter value\"";

        // Forms and case.
        QTest::newRow("*IDN?") << QByteArray("*IDN?\n") << idn << none << none;
        QTest::newRow("*idn? CR LF") << QByteArray("*idn?\r\n") << idn << none << none;
        QTest::newRow("RES?") << QByteArray("RES?\n") << res << QStringList{"K"} << none;
        QTest::newRow("long form") << QByteArray("SOURce:RESistance?\n") << res << QStringList{"K"} << none;
        QTest::newRow("mixed case") << QByteArray("sOuRcE:rEs?\n") << res << QStringList{"K"} << none;
        QTest::newRow("root colon") << QByteArray(":RES?\n") << res << QStringList{"K"} << none;
        QTest::newRow("blanks") << QByteArray("  \tRES?  \n") << res << QStringList{"K"} << none;
        QTest::newRow("neither form") << QByteArray("RESI?\n") << QByteArray() << none << QStringList{e113};
        QTest::newRow("node too long") << QByteArray("SOURCES:RES?\n") << QByteArray() << none << QStringList{e113};
        QTest::newRow("VOLT?") << QByteArray("VOLTage?\n") << QByteArray("1000\n") << QStringList{"M"} << none;
        QTest::newRow("SOUR:VOLT?") << QByteArray("sour:volt?\n") << QByteArray("1000\n") << QStringList{"M"} << none;
        QTest::newRow("ERR:NEXT?") << QByteArray("SYSTem:ERRor:NEXT?\n") << QByteArray("0,\"No error\"\n") << none << none;
        QTest::newRow("ERR:COUN?") << QByteArray("SYST:ERR:COUN?\n") << QByteArray("0\n") << none << none;
        QTest::newRow("VERS?") << QByteArray("SYST:VERS?\n") << QByteArray("1999.0\n") << none << none;
        QTest::newRow("*OPC?") << QByteArray("*OPC?\n") << QByteArray("1\n") << none << none;
        QTest::newRow("*OPC *WAI") << QByteArray("*OPC;*WAI\n") << QByteArray() << none << none;
        QTest::newRow("RES? MAX") << QByteArray("RES? MAX\n") << QByteArray("1.622100E+10\n") << none << none;
        QTest::newRow("RES? minimum") << QByteArray("RES? minimum\n") << QByteArray("0.000000E+00\n") << none << none;

        // Status: every query answered; *RST clears the session's own state
        // and sends the decade nothing.
        QTest::newRow("*TST?") << QByteArray("*TST?\n") << QByteArray("0\n") << QStringList{"I"} << none;
        QTest::newRow("*ESR? by class") << QByteArray("RES 99999 MOHM;*ESR?;*ESR?\nBOGUS\n*OPC;*ESR?\n")
                                        << QByteArray("16;0\n33\n") << none << QStringList{e222, e113};
        QTest::newRow("*ESE *SRE") << QByteArray("*ESE 36;*ESE?;*SRE 255;*SRE?;*SRE 1.4;*SRE?\n")
                                   << QByteArray("36;191;1\n") << none << none;
        QTest::newRow("*STB? summaries") << QByteArray("BOGUS\n*STB?;*ESE 32;*STB?;*SRE 32;*STB?\n")
                                         << QByteArray("4;36;100\n") << none << QStringList{e113};
        QTest::newRow("*ESE out of range") << QByteArray("*ESE 256\n") << QByteArray() << none << QStringList{e222};
        QTest::newRow("*ESE word") << QByteArray("*ESE ON\n") << QByteArray() << none << QStringList{e104};
        QTest::newRow("*SRE suffix") << QByteArray("*SRE 4 V\n") << QByteArray() << none << QStringList{e131};
        QTest::newRow("*SRE none") << QByteArray("*SRE\n") << QByteArray() << none << QStringList{e109};
        QTest::newRow("ERR:ALL?") << QByteArray("BOGUS\nRES 99999 MOHM\nSYST:ERR:ALL?;ALL?\n")
                                  << QByteArray("-113,\"Undefined header\",-222,\"Data out of range\";0,\"No error\"\n")
                                  << none << none;
        QTest::newRow("*CLS") << QByteArray("BOGUS\n*CLS;*ESR?;*STB?\n") << QByteArray("0;0\n") << none << none;
        QTest::newRow("*RST") << QByteArray("RES 1 MOHM;RES 99999 MOHM;*ESE 4;*RST;*ESE?;*ESR?;SYST:ERR:COUN?;:RES 2 MOHM\n")
                              << QByteArray("0;0;0\n") << QStringList{"L0", "R1", "R2"} << none;
        QTest::newRow("unknown query") << QByteArray("*FOO?\n") << QByteArray() << none << QStringList{e113};

        // Setting the resistance: units and suffixes, remote control first.
        const QStringList r4072{"L0", "R4072"};
        QTest::newRow("ohms NR3") << QByteArray("RES 4.072E9\n") << QByteArray() << r4072 << none;
        QTest::newRow("ohms NR1") << QByteArray("RES 4072000000\n") << QByteArray() << r4072 << none;
        QTest::newRow("OHM") << QByteArray("RES 4072000000 OHM\n") << QByteArray() << r4072 << none;
        QTest::newRow("KOHM") << QByteArray("RES 4.072e6 kohm\n") << QByteArray() << r4072 << none;
        QTest::newRow("MOHM is mega") << QByteArray("RES 4072 MOHM\n") << QByteArray() << r4072 << none;
        QTest::newRow("MOHM unspaced") << QByteArray("RES 4072MOHM\n") << QByteArray() << r4072 << none;
        QTest::newRow("GOHM") << QByteArray("SOUR:RES 4.072 GOHM\n") << QByteArray() << r4072 << none;
        QTest::newRow("MAX") << QByteArray("RES MAX\n") << QByteArray() << QStringList{"L0", "R16221"} << none;
        QTest::newRow("MIN") << QByteArray("RES min\n") << QByteArray() << QStringList{"L0", "R0"} << none;
        QTest::newRow("zero") << QByteArray("RES 0\n") << QByteArray() << QStringList{"L0", "R0"} << none;
        QTest::newRow("upper bound") << QByteArray("RES 1.6221E10\n") << QByteArray() << QStringList{"L0", "R16221"} << none;
        QTest::newRow("L0 once") << QByteArray("RES 1 MOHM;RES 2 MOHM\n") << QByteArray() << QStringList{"L0", "R1", "R2"} << none;

        // Values the decade cannot take, and parameters that are wrong.
        QTest::newRow("over 16221") << QByteArray("RES 16222 MOHM\n") << QByteArray() << none << QStringList{e222};
        QTest::newRow("negative") << QByteArray("RES -1 MOHM\n") << QByteArray() << none << QStringList{e222};
        QTest::newRow("not whole MOhm") << QByteArray("RES 4.0725E9\n") << QByteArray() << none << QStringList{e222};
        QTest::newRow("5 ohms") << QByteArray("RES 5\n") << QByteArray() << none << QStringList{e222};
        QTest::newRow("overflow") << QByteArray("RES 1E999\n") << QByteArray() << none << QStringList{e222};
        QTest::newRow("unknown word") << QByteArray("RES HIGH\n") << QByteArray() << none << QStringList{e224};
        QTest::newRow("unknown suffix") << QByteArray("RES 4072 FOO\n") << QByteArray() << none << QStringList{e131};
        QTest::newRow("string") << QByteArray("RES '4072'\n") << QByteArray() << none << QStringList{e104};
        QTest::newRow("bad number") << QByteArray("RES 1.2.3\n") << QByteArray() << none << QStringList{e102};
        QTest::newRow("no value") << QByteArray("RES\n") << QByteArray() << none << QStringList{e109};
        QTest::newRow("two values") << QByteArray("RES 1,2\n") << QByteArray() << none << QStringList{e108};
        QTest::newRow("empty value") << QByteArray("RES 1,\n") << QByteArray() << none << QStringList{e102};
        QTest::newRow("query takes none") << QByteArray("VOLT? 5\n") << QByteArray() << none << QStringList{e108};
        QTest::newRow("*IDN? 1") << QByteArray("*IDN? 1\n") << QByteArray() << none << QStringList{e108};
        QTest::newRow("no query form") << QByteArray("SYST:REM?\n") << QByteArray() << none << QStringList{e113};
        QTest::newRow("*CLS?") << QByteArray("*CLS?\n") << QByteArray() << none << QStringList{e113};
        QTest::newRow("RES? HIGH") << QByteArray("RES? HIGH\n") << QByteArray() << none << QStringList{e224};
        QTest::newRow("RES? number") << QByteArray("RES? 5\n") << QByteArray() << none << QStringList{e104};
        QTest::newRow("RES? MIN,MAX") << QByteArray("RES? MIN,MAX\n") << QByteArray() << none << QStringList{e108};
        QTest::newRow("POW string") << QByteArray("SYST:POW 'OFF'\n") << QByteArray() << none << QStringList{e104};
        QTest::newRow("POW OFF") << QByteArray("SYST:POW OFF\n") << QByteArray() << QStringList{"P0"} << none;
        QTest::newRow("POW 0") << QByteArray("SYST:POW 0\n") << QByteArray() << QStringList{"P0"} << none;
        QTest::newRow("POW ON") << QByteArray("SYST:POW ON\n") << QByteArray() << none << QStringList{e224};
        QTest::newRow("POW") << QByteArray("SYST:POW\n") << QByteArray() << none << QStringList{e109};

        // Several units in a line: replies joined, paths carried over.
        QTest::newRow("joined") << QByteArray("RES?;VOLT?\n") << QByteArray("4.072000E+09;1000\n") << QStringList{"K", "M"} << none;
        QTest::newRow("relative") << QByteArray("SYST:REM;LOC\n") << QByteArray() << QStringList{"L0", "L1"} << none;
        QTest::newRow("relative ERR") << QByteArray("SYST:ERR?;ERR:COUN?\n") << QByteArray("0,\"No error\";0\n") << none << none;
        QTest::newRow("relative RES? MAX") << QByteArray("SOUR:VOLT?;RES? MAX\n") << QByteArray("1000;1.622100E+10\n")
                                           << QStringList{"M"} << none;
        QTest::newRow("common keeps path") << QByteArray("SOUR:RES?;*IDN?;VOLT?\n")
                                           << QByteArray("4.072000E+09;t483,T-483,48300,1.0;1000\n") << QStringList{"K", "M"} << none;
        QTest::newRow("falls back to root") << QByteArray("SYST:LOC;RES?\n") << res << QStringList{"L1", "K"} << none;
        QTest::newRow("from root") << QByteArray("SYST:LOC;:SYST:REM\n") << QByteArray() << QStringList{"L1", "L0"} << none;
        QTest::newRow("LOC then L0 again") << QByteArray("SYST:REM;LOC;:RES 1 MOHM\n") << QByteArray()
                                           << QStringList{"L0", "L1", "L0", "R1"} << none;
        QTest::newRow("POW OFF forgets remote") << QByteArray("RES 1 MOHM;SYST:POW OFF;:RES 2 MOHM\n") << QByteArray()
                                                << QStringList{"L0", "R1", "P0", "L0", "R2"} << none;
        QTest::newRow("empty units") << QByteArray(";;*IDN?;;\n") << idn << none << none;
        QTest::newRow("blank line") << QByteArray("  \n\n") << QByteArray() << none << none;
        QTest::newRow("command error ends line") << QByteArray("RES?;BOGUS;VOLT?\n") << res << QStringList{"K"} << QStringList{e113};
        QTest::newRow("execution error does not") << QByteArray("RES 99999 MOHM;RES?\n") << res << QStringList{"K"} << QStringList{e222};
        QTest::newRow("';' in a string") << QByteArray("RES 'a;b';*IDN?\n") << QByteArray() << none << QStringList{e104};
        QTest::newRow("open string") << QByteArray("RES 'a;*IDN?\n") << QByteArray() << none << QStringList{e102};
        QTest::newRow("two lines") << QByteArray("RES?\nVOLT?\n") << QByteArray("4.072000E+09\n1000\n") << QStringList{"K", "M"} << none;

        // Bytes that are no SCPI.
        QTest::newRow("NUL") << QByteArray("\0\n", 2) << QByteArray() << none << QStringList{e102};
        QTest::newRow("NUL in header") << QByteArray("*IDN\0?\n", 7) << QByteArray() << none << QStringList{e102};
        QTest::newRow("high bytes") << QByteArray("\xff\xfe\x80\n") << QByteArray() << none << QStringList{e102};
        QTest::newRow("control in parameter") << QByteArray("RES \x01\n") << QByteArray() << none << QStringList{e102};
        QTest::newRow("lone ?") << QByteArray("?\n") << QByteArray() << none << QStringList{e102};
        QTest::newRow("lone :") << QByteArray(":\n") << QByteArray() << none << QStringList{e102};
        QTest::newRow("block data") << QByteArray("RES #H10\n") << QByteArray() << none << QStringList{e102};
    }
    void lines()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, sent);
        QFETCH(QStringList, errors);
        QCOMPARE(run(input), reply);
        QCOMPARE(decade.sent, sent);
        QCOMPARE(drainErrors(), errors);
    }

    // An instrument that does not answer: -240, and queries are still
    // answered, with not-a-number.
    void silentInstrument()
    {
        decade.silent = true;
        QCOMPARE(run("RES?;VOLT?;*IDN?;*TST?\n"), QByteArray("9.91E+37;9.91E+37;t483,T-483,48300,1.0;1\n"));
        QCOMPARE(drainErrors(), (QStringList{"-240,\"Hardware error\"", "-240,\"Hardware error\""}));
        // L0 unanswered: not under remote control, so L0 again next time.
        QCOMPARE(run("RES 1 MOHM\n"), QByteArray());
        decade.silent = false;
        QCOMPARE(run("RES 2 MOHM\n"), QByteArray());
        QCOMPARE(decade.sent, (QStringList{"K", "M", "I", "L0", "L0", "R2"}));
        QCOMPARE(drainErrors(), QStringList{"-240,\"Hardware error\""});
    }

    // RES?'s reply for what the decade may report (any MOhm >= 0): seven
    // significant digits, a tie rounded up.
    void replyFormats_data()
    {
        QTest::addColumn<int>("mohm");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("0") << 0 << QByteArray("0.000000E+00");
        QTest::newRow("5") << 5 << QByteArray("5.000000E+06");
        QTest::newRow("4072") << 4072 << QByteArray("4.072000E+09");
        QTest::newRow("16221") << 16221 << QByteArray("1.622100E+10");
        QTest::newRow("seven digits") << 1234567 << QByteArray("1.234567E+12");
        QTest::newRow("rounded") << 12345675 << QByteArray("1.234568E+13");
        QTest::newRow("half up, not to even") << 12345665 << QByteArray("1.234567E+13");
        QTest::newRow("carried") << 99999999 << QByteArray("1.000000E+14");
    }
    void replyFormats()
    {
        QFETCH(int, mohm);
        QFETCH(QByteArray, reply);
        decade.mohm = mohm;
        QCOMPARE(run("RES?\n"), reply + "\n");
    }

    // The errors' texts as SYST:ERR? gives them, also those no command
    // queues today.
    void errorTexts()
    {
        QCOMPARE(scpi::errorReply(scpi::COMMAND_ERROR), std::string("-100,\"Command error\""));
        QCOMPARE(scpi::errorReply(-1), std::string("-1,\"Unknown error\""));
    }

    // The queue: oldest first, ten at most with -350 in the last place,
    // emptied by *CLS, one per session.
    void errorQueue()
    {
        QCOMPARE(run("BOGUS\nRES 99999 MOHM\nRES\n"), QByteArray());
        QCOMPARE(run("SYST:ERR:COUN?\n"), QByteArray("3\n"));
        QCOMPARE(drainErrors(), (QStringList{"-113,\"Undefined header\"", "-222,\"Data out of range\"",
                                             "-109,\"Missing parameter\""}));
        for (int k = 0; k < 12; k++)
            run(k < 9 ? "BOGUS\n" : "RES 99999 MOHM\n");
        QCOMPARE(run("SYST:ERR:COUN?\n"), QByteArray("10\n"));
        const QStringList errors = drainErrors();
        QCOMPARE(errors.size(), 10);
        QCOMPARE(errors.mid(0, 9), QStringList(9, "-113,\"Undefined header\""));
        QCOMPARE(errors.last(), QString("-350,\"Queue overflow\""));

        run("BOGUS\nBOGUS\n");
        scpi::Session other(scpi::Identity{48300, "1.0"});
        const std::string theirs = other.run("SYST:ERR?\n", decade, state);
        QCOMPARE(bytes(theirs), QByteArray("0,\"No error\"\n"));
        QCOMPARE(run("*CLS;SYST:ERR?\n"), QByteArray("0,\"No error\"\n"));
    }

    // Lines up to 4096 bytes are taken, in any pieces; a longer one is
    // dropped whole with -363, and the next line is read as usual.
    void longLines()
    {
        const QByteArray longest = "*IDN?" + QByteArray(int(scpi::MAX_LINE) - 5, ' ');
        QCOMPARE(run(longest + "\r\n"), QByteArray("t483,T-483,48300,1.0\n"));
        QCOMPARE(run(longest + "\n"), QByteArray("t483,T-483,48300,1.0\n"));
        QCOMPARE(drainErrors(), QStringList());

        const QByteArray tooLong = "RES?" + QByteArray(int(scpi::MAX_LINE) + 100000, 'x') + "\n*IDN?\n";
        for (qsizetype k = 0; k < tooLong.size(); k += 1000)
            session->feed({tooLong.constData() + k, size_t(std::min<qsizetype>(1000, tooLong.size() - k))});
        QCOMPARE(run(""), QByteArray("t483,T-483,48300,1.0\n"));
        QCOMPARE(decade.sent, QStringList());
        QCOMPARE(drainErrors(), QStringList{"-363,\"Input buffer overrun\""});

        // One byte over, the CR included, is over.
        QCOMPARE(run(longest + " \r\n*OPC?\n"), QByteArray("1\n"));
        QCOMPARE(drainErrors(), QStringList{"-363,\"Input buffer overrun\""});
    }

    // Nothing of a line is carried out before its LF.
    void unfinishedLine()
    {
        QCOMPARE(run("RES 1 MOHM;RES?"), QByteArray());
        QCOMPARE(decade.sent, QStringList());
        QCOMPARE(run("\n"), QByteArray("1.000000E+06\n"));
        QCOMPARE(decade.sent, (QStringList{"L0", "R1", "K"}));
    }

    // The session hands out one instrument command at a time and goes on
    // only when it is finished.
    void oneCommandAtATime()
    {
        session->feed("RES?;*IDN?\nVOLT?\n");
        const auto first = session->next();
        QVERIFY(first);
        QCOMPARE(first->row->header, "[SOURce]:RESistance?");
        QVERIFY(!session->next());
        QCOMPARE(bytes(session->take()), QByteArray());
        session->complete(scpi::execute(*first, decade, state));
        const auto second = session->next();
        QVERIFY(second);
        QCOMPARE(second->row->header, "[SOURce]:VOLTage?");
        QCOMPARE(bytes(session->take()), QByteArray("4.072000E+09;t483,T-483,48300,1.0\n"));
        session->complete(scpi::execute(*second, decade, state));
        QVERIFY(!session->next());
        QCOMPARE(bytes(session->take()), QByteArray("1000\n"));
    }

    // A connection beyond the limits is refused for the limit it meets,
    // and that is what standard error says.
    void refusals_data()
    {
        QTest::addColumn<int>("seated");
        QTest::addColumn<int>("open");
        QTest::addColumn<QString>("why");
        QTest::newRow("room") << 15 << 63 << "";
        QTest::newRow("clients") << 16 << 16 << "16 clients are connected";
        QTest::newRow("both") << 16 << 64 << "16 clients are connected";
        QTest::newRow("connections") << 3 << 64
                                     << "64 connections are open (3 of them clients connected, the others ended "
                                        "with replies or commands still pending)";
    }
    void refusals()
    {
        QFETCH(int, seated);
        QFETCH(int, open);
        QFETCH(QString, why);
        QCOMPARE(QString::fromStdString(serve::refusal(seated, std::size_t(open))), why);
    }
};

QTEST_GUILESS_MAIN(TestScpi)
#include "tst_serve_scpi.moc"
