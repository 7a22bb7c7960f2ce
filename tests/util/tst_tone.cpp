// The tone routine over the modelled 8254 timer and speaker: what it programs,
// what the speaker sounds and for how long, what it leaves behind; and the
// hex-digit converter.
#include "platform/ports.h"
#include "platform/ports_model.h"
#include "util/tone.h"
#include "slack.h"

#include <QtTest>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The latest a wait of `least` seconds may end, `margin` seconds allowed on
// an unloaded machine: only the margin grows with the slack factor.
double latest(double least, double margin)
{
    return least + slack(int(std::lround(margin * 1000))) / 1000.0;
}

// Sign changes between successive non-zero samples.
int crossings(const std::vector<short> &s, int from, int to)
{
    int n = 0, last = 0;
    for (int k = from; k < to; k++) {
        if (s[k] == 0)
            continue;
        int sign = s[k] > 0 ? 1 : -1;
        if (last && sign != last)
            n++;
        last = sign;
    }
    return n;
}

void silence_speaker() { CVI_outp(0x61, 0); }

}  // namespace

class TestTone : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { silence_speaker(); }

    void hexDigits_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("0") << QByteArray("0") << 0;
        QTest::newRow("9") << QByteArray("9") << 9;
        QTest::newRow("A") << QByteArray("A") << 10;
        QTest::newRow("F") << QByteArray("F") << 15;
        QTest::newRow("a is not folded") << QByteArray("a") << 42;
        QTest::newRow("only the first character") << QByteArray("F0") << 15;
    }
    void hexDigits()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, value);
        QCOMPARE(hextodec(text.constData()), value);
    }

    // The count beep loads into channel 2. Counts that cannot be loaded as
    // asked are brought to the nearest the timer can make, not wrapped.
    void divisor_data()
    {
        QTest::addColumn<unsigned>("frequency");
        QTest::addColumn<int>("divisor");
        QTest::newRow("1000 Hz") << 1000u << 1193;
        QTest::newRow("0 Hz") << 0u << 0;
        QTest::newRow("440 Hz") << 440u << 2711;
        QTest::newRow("19 Hz, the lowest that fits") << 19u << 62798;
        QTest::newRow("18 Hz: lowest tone, not 63 Hz") << 18u << 0;
        QTest::newRow("1 Hz: lowest tone, not 88 Hz") << 1u << 0;
        QTest::newRow("the timer's clock") << 1193180u << 1;
        QTest::newRow("above the clock: highest, not lowest") << 4000000000u << 1;
    }
    void divisor()
    {
        QFETCH(unsigned, frequency);
        QFETCH(int, divisor);
        beep(frequency, 0.001);
        QCOMPARE(SpeakerDivisor(), divisor);
    }

    // beep sounds the tone for its time, then leaves the speaker silent and
    // every other bit of port 0x61 as it found it.
    void speakerPort_data()
    {
        QTest::addColumn<int>("before");
        QTest::newRow("all clear") << 0x00;
        QTest::newRow("all other bits set") << 0xFC;
        QTest::newRow("some other bits") << 0xA4;
        QTest::newRow("speaker left on") << 0x03;
        QTest::newRow("gate only") << 0x51;
    }
    void speakerPort()
    {
        QFETCH(int, before);
        CVI_outp(0x61, before);
        double start = SpeakerClock();
        beep(1000, 0.02);
        double end = SpeakerClock();
        QCOMPARE(CVI_inp(0x61), before & ~3);
        QCOMPARE(SpeakerTone(), 0.0);

        // It sounded during the beep and not after it.
        std::vector<short> during(int((end - start) * 48000));
        QCOMPARE(RenderSpeaker(during.data(), int(during.size()), 48000, start),
                 int(during.size()));
        QVERIFY(crossings(during, 0, int(during.size())) > 20);
        std::vector<short> after(4800);
        RenderSpeaker(after.data(), int(after.size()), 48000, end);
        QCOMPARE(std::count(after.begin(), after.end(), 0), qsizetype(after.size()));
    }

    // The samples of a whole beep: the tone for the beep's time at the
    // frequency of the loaded count, then silence.
    void beepSamples_data()
    {
        QTest::addColumn<unsigned>("frequency");
        QTest::addColumn<double>("seconds");
        QTest::addColumn<int>("rate");
        QTest::addColumn<double>("hz");
        QTest::newRow("1000 Hz, 0.2 s") << 1000u << 0.2 << 48000 << 1193180.0 / 1193;
        QTest::newRow("440 Hz, 0.1 s at 44.1 kHz") << 440u << 0.1 << 44100 << 1193180.0 / 2711;
        QTest::newRow("3 kHz, 0.05 s") << 3000u << 0.05 << 48000 << 1193180.0 / 397;
    }
    void beepSamples()
    {
        QFETCH(unsigned, frequency);
        QFETCH(double, seconds);
        QFETCH(int, rate);
        QFETCH(double, hz);
        const double margin = 0.05;
        double start = SpeakerClock();
        beep(frequency, seconds);
        double end = SpeakerClock();

        std::vector<short> s(int((end - start + margin) * rate));
        RenderSpeaker(s.data(), int(s.size()), rate, start);
        int first = 0, last = int(s.size()) - 1;
        while (first <= last && s[first] == 0)
            first++;
        while (last >= first && s[last] == 0)
            last--;
        QVERIFY2(first < last, "no tone");
        QVERIFY(last < int(s.size()) - int(margin * rate) + 1);  // silent after it

        double length = double(last - first + 1) / rate;
        QVERIFY2(length >= seconds - 2.0 / rate, qPrintable(QString::number(length)));
        QVERIFY2(length <= end - start + 2.0 / rate, qPrintable(QString::number(length)));
        // Two crossings a cycle: within one crossing of the count's frequency.
        int counted = crossings(s, first, last + 1);
        double expected = 2 * hz * length;
        QVERIFY2(std::fabs(counted - expected) <= 2,
                 qPrintable(QString("%1 crossings, %2 expected").arg(counted).arg(expected)));
    }

    // What the modelled timer sounds for what is written to its ports.
    void timerModel_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QList<int>>("counts");
        QTest::addColumn<int>("speaker");
        QTest::addColumn<double>("hz");
        const QList<int> c1193{0xA9, 0x04};
        QTest::newRow("1193") << 0xB6 << c1193 << 3 << 1193180.0 / 1193;
        QTest::newRow("0 counts as 65536") << 0xB6 << QList<int>{0, 0} << 3 << 1193180.0 / 65536;
        QTest::newRow("mode 7 is mode 3") << 0xBE << c1193 << 3 << 1193180.0 / 1193;
        QTest::newRow("BCD 1193") << 0xB7 << QList<int>{0x93, 0x11} << 3 << 1193180.0 / 1193;
        QTest::newRow("BCD 0 counts as 10000") << 0xB7 << QList<int>{0, 0} << 3 << 119.318;
        QTest::newRow("low byte only") << 0x96 << QList<int>{200} << 3 << 1193180.0 / 200;
        QTest::newRow("high byte only") << 0xA6 << QList<int>{0x10} << 3 << 1193180.0 / 4096;
        QTest::newRow("count incomplete") << 0xB6 << QList<int>{0xA9} << 3 << 0.0;
        QTest::newRow("gate only") << 0xB6 << c1193 << 1 << 0.0;
        QTest::newRow("data only") << 0xB6 << c1193 << 2 << 0.0;
        QTest::newRow("mode 0 is no tone") << 0xB0 << c1193 << 3 << 0.0;
        QTest::newRow("channel 0's mode word passes by") << 0x36 << c1193 << 3 << 1193180.0 / 1193;
        QTest::newRow("above half the rate") << 0xB6 << QList<int>{4, 0} << 3 << 0.0;
    }
    void timerModel()
    {
        QFETCH(int, mode);
        QFETCH(QList<int>, counts);
        QFETCH(int, speaker);
        QFETCH(double, hz);
        // Channel 2 starts from a known state with no count loaded.
        CVI_outp(0x43, 0xB6);
        CVI_outp(0x43, mode);
        for (int byte : counts)
            CVI_outp(0x42, byte);
        CVI_outp(0x61, speaker);

        std::vector<short> s(48000);
        RenderSpeaker(s.data(), int(s.size()), 48000, SpeakerClock());
        int counted = crossings(s, 0, int(s.size()));
        QVERIFY2(std::fabs(counted - 2 * hz) <= 2,
                 qPrintable(QString("%1 crossings, %2 Hz").arg(counted).arg(hz)));
    }

    void delay_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<double>("least");
        QTest::addColumn<double>("most");
        QTest::newRow("0.1 s") << 0.1 << 0.1 << 0.2;
        QTest::newRow("zero") << 0.0 << 0.0 << 0.02;
        QTest::newRow("negative") << -5.0 << 0.0 << 0.02;
        QTest::newRow("not a number") << std::nan("") << 0.0 << 0.02;
    }
    void delay()
    {
        QFETCH(double, seconds);
        QFETCH(double, least);
        QFETCH(double, most);
        auto start = std::chrono::steady_clock::now();
        Delay(seconds);
        double took = seconds_since(start);
        QVERIFY2(took >= least && took < latest(least, most - least), qPrintable(QString::number(took)));
    }

    // beep returns after its time whether or not anything can play the tone.
    void beepTakesItsTime()
    {
        auto start = std::chrono::steady_clock::now();
        beep(1000, 0.15);
        double took = seconds_since(start);
        QVERIFY2(took >= 0.15 && took < latest(0.15, 0.1), qPrintable(QString::number(took)));
    }
};

QTEST_GUILESS_MAIN(TestTone)
#include "tst_tone.moc"
