// Test support: the whole program in-process on the real panel, offscreen.
//
//   PanelSession s;                      // in init(): fresh state, hooks set
//   QVERIFY(s.start("[t483]\ndemo=1\n")); // WinMain's start-up, this T483.INI
//   s.click("start");
//   ... the simulator sees the bytes, `popups` the pop-ups ...
//
//   auto sim = SimProcess::onPort(1);    // or, against the simulator on COM1:
//   QVERIFY(sim && s.connect(*sim));     // start-up, Start, identified
//   QVERIFY(s.waitTicks(2));             // two polls of the panel's timer
//
// start() runs WinMain in a temporary working folder; its event loop is left
// as soon as it is entered, so the panel stays up exactly as start-up set
// it, and the test drives it with QTest events (timer ticks arrive whenever
// the test waits). Pop-ups are recorded instead of shown, and ExitProgram
// is recorded instead of ending the test process.
#pragma once

#include "app/startup.h"
#include "app/state.h"
#include "panel/t483_uir.h"
#include "platform/serial.h"
#include "platform/ui.h"
#include "platform/ui/widgets.h"
#include "platform/ui_testing.h"
#include "sim_process.h"
#include "slack.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <cstring>

struct Popup {
    QByteArray title, text;
};

inline QList<Popup> popups;        // every pop-up since start()
inline QList<int> exitStatuses;    // every ExitProgram since start()

inline void recordPopup(const char *title, const char *text)
{
    popups << Popup{title, text};
}

// After Exit the process would be gone: nothing more may reach the
// instrument, so the program is left as before any Start.
inline void recordExit(int status)
{
    exitStatuses << status;
    run = 0;
}

class PanelSession {
public:
    PanelSession()
    {
        reset_state();
        popups.clear();
        exitStatuses.clear();
        SetPopupHook(recordPopup);
        SetExitHook(recordExit);
    }
    ~PanelSession()
    {
        // A port left open would be found open by the next case.
        if (com)
            CloseCom(com);
        DiscardAllPanels();
        SetPopupHook(nullptr);
        SetExitHook(nullptr);
    }
    PanelSession(const PanelSession &) = delete;
    PanelSession &operator=(const PanelSession &) = delete;

    // Start-up with this T483.INI (none when null). False when it failed.
    bool start(const char *ini = nullptr)
    {
        if (!InitCVIRTEEx(nullptr, nullptr, nullptr) || !dir_.isValid())
            return false;
        if (ini) {
            QFile f(dir_.filePath("T483.INI"));
            if (!f.open(QIODevice::WriteOnly) || f.write(ini) < 0)
                return false;
        }
        const QString home = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        QTimer::singleShot(0, [] { QuitUserInterface(0); });
        const int status = WinMain(nullptr, nullptr, nullptr, 10);
        QDir::setCurrent(home);
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == "hl")
                window = w;
        if (status != 0 || !window)
            return false;
        // The panel's timer control: the window's one timer.
        const QList<QTimer *> timers = window->findChildren<QTimer *>(Qt::FindDirectChildrenOnly);
        if (timers.size() != 1) {
            qWarning("%d timers on the panel", int(timers.size()));
            return false;
        }
        // Connected after the panel's own handler: counts each tick once
        // its callback is done.
        timer = timers[0];
        QObject::connect(timer, &QTimer::timeout, window, [this] {
            ticks_++;
            if (tickLoop_ && ticks_ >= tickTarget_)
                tickLoop_->quit();
        });
        return QTest::qWaitForWindowExposed(window);
    }

    // Start-up with this T483.INI, then Start against the simulator the
    // test has put on COM1: true once the instrument has been identified
    // (run is 1 and the simulator has received the I).
    bool connect(SimProcess &sim, const char *ini = nullptr)
    {
        if (!start(ini))
            return false;
        click("start");
        return run == 1 && sim.waitReceived(1);
    }

    // Runs the event loop until the panel's timer has ticked n more times,
    // and not a tick longer: the test then sees the panel as the n-th tick
    // left it. False when that takes more than timeoutMs.
    bool waitTicks(int n, int timeoutMs = slack(5000))
    {
        QEventLoop loop;
        tickTarget_ = ticks_ + n;
        tickLoop_ = &loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        if (ticks_ < tickTarget_)
            loop.exec();
        tickLoop_ = nullptr;
        if (ticks_ < tickTarget_)
            qWarning("%d of %d ticks in %d ms", n - (tickTarget_ - ticks_), n, timeoutMs);
        return ticks_ >= tickTarget_;
    }
    // The ticks of the panel's timer since start().
    int ticks() const { return ticks_; }

    QWidget *part(const char *name) const
    {
        QWidget *w = window ? window->findChild<QWidget *>(QString::fromLatin1(name)) : nullptr;
        if (!w)
            qWarning("no widget %s", name);
        return w;
    }

    int value(int ctrl) const
    {
        int v = -1;
        GetCtrlVal(pnl_hl, ctrl, &v);
        return v;
    }
    bool dimmed(int ctrl) const
    {
        int v = -1;
        GetCtrlAttribute(pnl_hl, ctrl, ATTR_DIMMED, &v);
        return v == 1;
    }
    // The three voltage lamps, lit (1) or dark (0): 1 kV, 2.5 kV, 5 kV.
    QList<int> lamps() const { return {value(hl_LED3), value(hl_LED2), value(hl_LED1)}; }
    // The colour the COM selector's number turns when Start fails there;
    // -1 while it has none.
    int failColour() const
    {
        int v = -1;
        GetCtrlAttribute(pnl_hl, hl_com, ATTR_FAIL_COLOR, &v);
        return v;
    }
    // The four knobs, x 1G first.
    QList<int> knobs() const { return {value(hl_R3), value(hl_R2), value(hl_R1), value(hl_R0)}; }
    // What the knobs' digital displays read, x 1G first.
    QStringList displays() const
    {
        QStringList out;
        for (const char *n : {"R3.display", "R2.display", "R1.display", "R0.display"})
            if (QWidget *w = part(n))
                out << static_cast<ItemBox *>(w)->text();
        return out;
    }
    QString numericText() const
    {
        auto *edit = qobject_cast<QLineEdit *>(part("odpor"));
        return edit ? edit->text() : QString();
    }

    // The operator turns a knob: press on its dial at the position's angle
    // and release there, one commit.
    void turnKnob(const char *knob, int position)
    {
        QWidget *d = part((QByteArray(knob) + ".dial").constData());
        if (!d)
            return;
        const int count = static_cast<Dial *>(d)->positions();
        const double deg = 225.0 - 270.0 * position / (count - 1);
        const double rad = deg * M_PI / 180.0;
        const QPoint c = d->rect().center();
        const QPoint at(c.x() + int(std::lround(22 * std::cos(rad))), c.y() - int(std::lround(22 * std::sin(rad))));
        QTest::mousePress(d, Qt::LeftButton, {}, at);
        QTest::mouseRelease(d, Qt::LeftButton, {}, at);
    }

    // The operator types into the numeric and presses Enter.
    void typeResistance(const char *digits)
    {
        auto *edit = qobject_cast<QLineEdit *>(part("odpor"));
        if (!edit)
            return;
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, digits);
        QTest::keyClick(edit, Qt::Key_Return);
    }

    void click(const char *name)
    {
        if (QWidget *w = part(name))
            QTest::mouseClick(w, Qt::LeftButton);
    }

    QWidget *window = nullptr;
    QTimer *timer = nullptr;  // the panel's timer control, once started

private:
    QTemporaryDir dir_;
    int ticks_ = 0;
    int tickTarget_ = 0;
    QEventLoop *tickLoop_ = nullptr;
};

// The commands among those received that are not this poll command
// ("M", or "K").
inline QList<QByteArray> without(const QList<QByteArray> &cmds, std::initializer_list<const char *> polls)
{
    QList<QByteArray> out;
    for (const QByteArray &c : cmds) {
        bool poll = false;
        for (const char *p : polls)
            poll |= c == QByteArray(p) + '\r';
        if (!poll)
            out << c;
    }
    return out;
}

// Waits (without running the event loop, so no tick adds to them) until the
// simulator has received n commands other than K and M, and returns those.
inline QList<QByteArray> awaitCommands(SimProcess &sim, int n, int timeoutMs = slack(2000))
{
    QElapsedTimer t;
    t.start();
    QList<QByteArray> got = without(sim.received(), {"K", "M"});
    while (got.size() < n && t.elapsed() < timeoutMs) {
        sim.waitReceived(int(sim.received().size()) + 1, 50);
        got = without(sim.received(), {"K", "M"});
    }
    return got;
}
