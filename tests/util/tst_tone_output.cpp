// The sound card path end to end: the tone output plays into ALSA's "file"
// device (no sound card needed), and the recording must hold each beep at its
// pitch and length, with the pause between them.
#include "platform/ports.h"
#include "util/tone.h"
#include "slack.h"

#include <QtTest>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

const int RATE = 48000;

struct Run {
    int first, last;  // samples
    int crossings;
    double length() const { return double(last - first + 1) / RATE; }
    double hz() const { return crossings / (2 * length()); }
};

// Stretches of tone in the recording, parted by at least 10 ms of silence.
std::vector<Run> tone_runs(const std::vector<short> &s)
{
    std::vector<Run> runs;
    int sign = 0;
    for (int k = 0; k < int(s.size()); k++) {
        if (s[k] == 0)
            continue;
        int now = s[k] > 0 ? 1 : -1;
        if (runs.empty() || k - runs.back().last > RATE / 100) {
            runs.push_back({k, k, 0});
        } else {
            if (now != sign)
                runs.back().crossings++;
            runs.back().last = k;
        }
        sign = now;
    }
    return runs;
}

std::vector<short> read_recording(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes = f.readAll();
    std::vector<short> s(bytes.size() / 2);
    memcpy(s.data(), bytes.constData(), s.size() * 2);
    return s;
}

}  // namespace

class TestToneOutput : public QObject {
    Q_OBJECT

private slots:
    void recording()
    {
        QString path = qEnvironmentVariable("T483_TONE_FILE");
        QVERIFY(!path.isEmpty());
        QFile::remove(path);

        beep(1000, 0.2);
        Delay(0.1);
        beep(3000, 0.05);

        // The output closes a second after the last tone; wait for the whole
        // recording (the tones and that second of silence).
        std::vector<short> s;
        for (int tries = 0; tries < slack(50); tries++) {
            Delay(0.1);
            s = read_recording(path);
            if (s.size() >= size_t(1.3 * RATE) && QFileInfo(path).lastModified().msecsTo(
                                                       QDateTime::currentDateTime()) > 300)
                break;
        }
        QVERIFY2(s.size() >= size_t(1.3 * RATE), qPrintable(QString::number(s.size())));

        std::vector<Run> runs = tone_runs(s);
        QCOMPARE(runs.size(), size_t(2));
        // Lengths come from the caller's clock: only their upper bounds
        // allow for a loaded machine.
        QVERIFY2(runs[0].length() >= 0.199 && runs[0].length() < 0.2 + slack(100) / 1000.0,
                 qPrintable(QString::number(runs[0].length())));
        QVERIFY2(std::fabs(runs[0].hz() - 1000.15) < 10, qPrintable(QString::number(runs[0].hz())));
        double pause = double(runs[1].first - runs[0].last) / RATE;
        QVERIFY2(pause >= 0.099 && pause < 0.1 + slack(100) / 1000.0, qPrintable(QString::number(pause)));
        QVERIFY2(runs[1].length() >= 0.049 && runs[1].length() < 0.05 + slack(100) / 1000.0,
                 qPrintable(QString::number(runs[1].length())));
        QVERIFY2(std::fabs(runs[1].hz() - 3005.5) < 60, qPrintable(QString::number(runs[1].hz())));
    }
};

QTEST_GUILESS_MAIN(TestToneOutput)
#include "tst_tone_output.moc"
