// Timing of the panel's own work, the whole program in-process on its real
// panel (offscreen):
//   - a local-control tick (K and M, 4-digit replies) against t483-sim paced
//     at 1200 baud, beside the wire time of its 14 bytes;
//   - a local-control tick against an instrument answering every command
//     0.31 s late (just past the 0.3 s read timeout), and against a silent
//     one (20 ticks at most of each: they take 0.65 s apiece);
//   - a knob commit (an arrow key on the "x 1M" dial) to the first byte of
//     its command reaching the line, with no tick in progress. Here the
//     instrument is a small responder on a pseudo-terminal of our own, which
//     notes when each command's first byte arrives.
//
//   t483-bench-panel SIM [COUNT]
#include "app/startup.h"
#include "app/state.h"
#include "panel/callbacks.h"
#include "panel/t483_uir.h"
#include "platform/serial.h"
#include "platform/ui.h"
#include "platform/ui_testing.h"
#include "sim_process.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Figures {
    double median, min, max;
};

Figures figures(std::vector<double> v)
{
    if (v.empty())
        return {0, 0, 0};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

void ignorePopup(const char *, const char *) {}

// Start-up as the program does it, in an empty working folder; the event
// loop is left at once and never entered again, so no tick runs unasked.
QWidget *startPanel()
{
    demo = com = run = R = M = remote = 0;
    static QTemporaryDir dir;
    const QString home = QDir::currentPath();
    QDir::setCurrent(dir.path());
    QTimer::singleShot(0, [] { QuitUserInterface(0); });
    WinMain(nullptr, nullptr, nullptr, 10);
    QDir::setCurrent(home);
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == "hl")
            return w;
    return nullptr;
}

// A minimal instrument on a pseudo-terminal: answers I with an accepted
// identification and echoes everything else, noting when the first byte of
// each command arrived.
class Responder {
public:
    bool open()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return false;
        device_ = ptsname(master_);
        slave_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY);  // held: no hangup between opens
        termios t;
        if (slave_ < 0 || tcgetattr(slave_, &t) != 0)
            return false;
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    ~Responder()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (slave_ >= 0)
            close(slave_);
        if (master_ >= 0)
            close(master_);
    }
    const std::string &device() const { return device_; }
    // When the first byte of the latest command arrived, and how many
    // commands have begun.
    Clock::time_point firstByte() const { return Clock::time_point(Clock::duration(first_.load())); }
    int begun() const { return begun_.load(); }

private:
    void serve()
    {
        std::string cmd;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            char buf[64];
            const ssize_t n = read(master_, buf, sizeof buf);
            const auto now = Clock::now();
            for (ssize_t k = 0; k < n; k++) {
                if (cmd.empty() && buf[k] != '\r') {
                    first_ = now.time_since_epoch().count();
                    begun_++;
                }
                if (buf[k] != '\r') {
                    cmd += buf[k];
                    continue;
                }
                const std::string reply = (cmd == "I" ? std::string("48300") : cmd) + "\r";
                if (write(master_, reply.data(), reply.size()) < 0)
                    return;
                cmd.clear();
            }
        }
    }
    int master_ = -1, slave_ = -1;
    std::string device_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<Clock::rep> first_{0};
    std::atomic<int> begun_{0};
};

void row(const char *what, int count, const Figures &f, const char *ref, int bad)
{
    std::printf("%-30s %6d %9.2f %9.2f %9.2f %10s %5d\n", what, count, f.median, f.min, f.max, ref, bad);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SIM [COUNT]\n", argv[0]);
        return 2;
    }
    const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("T483_SIM", argv[1]);
    if (!InitCVIRTEEx(nullptr, nullptr, nullptr))
        return 1;
    SetPopupHook(ignorePopup);

    // Local-control ticks against the simulator (front panel 4072 MOhm at
    // 1 kV), with this fault set once Start has found it. A tick is bad
    // when it shows anything else; with `missing`, a value it could not
    // read (0) is no fault, only one that is not its own (a late reply
    // taken for the next command's).
    auto tickTimes = [](const QStringList &options, const QString &fault, int n, bool missing,
                        std::vector<double> &times, int &bad) {
        SimProcess sim;
        if (!sim.start(QStringList{"--front", "4072", "--voltage", "1000"} + options))
            return false;
        sim.useAsPort(1);
        if (!startPanel())
            return false;
        cbstart(pnl_hl, hl_start, EVENT_COMMIT, nullptr, 0, 0);
        if (run != 1 || (!fault.isEmpty() && !sim.command("fault " + fault))) {
            std::fprintf(stderr, "no instrument found on %s\n", qPrintable(sim.device()));
            return false;
        }
        for (int k = 0; k < n; k++) {
            R = M = 0;
            const auto t0 = Clock::now();
            cbtimer(pnl_hl, hl_TIMER, EVENT_TIMER_TICK, nullptr, 0, 0);
            times.push_back(msBetween(t0, Clock::now()));
            if (missing)
                bad += (R != 0 && R != 4072) || (M != 0 && M != 1000);
            else
                bad += R != 4072 || M != 1000;
        }
        CloseCom(com);
        DiscardAllPanels();
        return true;
    };
    std::vector<double> ticks, lateTicks, silentTicks;
    int badTicks = 0, badLate = 0, badSilent = 0;
    const int slowCount = std::min(count, 20);
    if (!tickTimes({"--pace"}, "", count, false, ticks, badTicks) ||
        !tickTimes({}, "late 310", slowCount, true, lateTicks, badLate) ||
        !tickTimes({}, "silent", slowCount, true, silentTicks, badSilent))
        return 1;

    // Knob commits under remote control, nothing else going on.
    std::vector<double> commits;
    int badCommits = 0;
    {
        Responder instrument;
        if (!instrument.open())
            return 1;
        qputenv("T483_COM1", instrument.device().c_str());
        QWidget *window = startPanel();
        if (!window)
            return 1;
        cbstart(pnl_hl, hl_start, EVENT_COMMIT, nullptr, 0, 0);
        QTest::mouseClick(window->findChild<QWidget *>("remote"), Qt::LeftButton);
        QWidget *dial = window->findChild<QWidget *>("R0.dial");
        if (run != 1 || remote != 1 || !dial)
            return 1;
        for (int k = 0; k < count; k++) {
            const int before = instrument.begun();
            const auto t0 = Clock::now();
            QTest::keyClick(dial, k % 2 ? Qt::Key_Down : Qt::Key_Up);
            if (instrument.begun() != before + 1 || R != (k % 2 ? 0 : 1)) {
                badCommits++;
                continue;
            }
            commits.push_back(msBetween(t0, instrument.firstByte()));
        }
        CloseCom(com);
        DiscardAllPanels();
    }

    std::printf("%-30s %6s %9s %9s %9s %10s %5s\n", "what", "count", "median_ms", "min_ms", "max_ms", "wire/goal", "bad");
    row("local tick K+M at 1200 baud", count, figures(ticks), "116.67", badTicks);
    row("local tick, replies 0.31 s late", slowCount, figures(lateTicks), "", badLate);
    row("local tick, silent instrument", slowCount, figures(silentTicks), "< 650", badSilent);
    row("knob commit to first byte", count, figures(commits), "< 5", badCommits);
    return 0;
}
