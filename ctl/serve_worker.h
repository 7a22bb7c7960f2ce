// serve's decade on a thread of its own. Once serving has begun every
// exchange on the serial line is made there: an exchange waits on the line
// (up to 0.3 s for a reply; after one that did not come whole, up to 1 s
// more for it to land, dropped before the next command), and on its own
// thread that wait keeps off the event loop, which meanwhile reads every
// client, answers what a session answers alone (*IDN?, SYST:ERR?, *ESR?...),
// accepts and refuses connections and notices the signals that end it.
//
// A device that goes (unplugged: a read finds it gone, or its path leaves
// /dev) is closed and looked for every 0.5 s on the thread; meanwhile every
// command fails at once (-240, not-a-number). When the path is there again
// it is opened and identified, and with the identification served from the
// start it is the decade again. Both are said on standard error.
#pragma once

#include "ctl/cli.h"
#include "ctl/decade.h"
#include "ctl/scpi.h"

#include <QObject>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

// What one command or job did on the line: the serial commands sent, what
// the answers said, whether one went unanswered or the device is gone.
struct DecadeEffects {
    std::string sent;                 // "L0 R4072"
    std::optional<int> resistance;    // read (K) or set (R, answered)
    std::optional<int> voltage;       // read (M)
    std::optional<bool> remote;       // L0 / L1 answered
    bool poweredOff = false;          // P0 answered
    bool unanswered = false;
    bool lost = false;                // the device is gone (until it is back)
    bool remoteNow = false;           // the server's remote state afterwards
};

// The decade as a session's instrument, noting what each call did.
class DecadeInstrument : public scpi::Instrument {
public:
    explicit DecadeInstrument(Decade &decade) : decade_(decade) {}
    std::optional<int> resistance() override { return read("K", decade_.resistance(), &effects.resistance); }
    std::optional<int> voltage() override { return read("M", decade_.voltage(), &effects.voltage); }
    bool setRemote(bool remote) override
    {
        const bool ok = note(remote ? "L0" : "L1", decade_.setRemote(remote));
        if (ok)
            effects.remote = remote;
        return ok;
    }
    bool setResistance(int mohm) override
    {
        const bool ok = note("R" + std::to_string(mohm), decade_.setResistance(mohm));
        if (ok)
            effects.resistance = mohm;
        return ok;
    }
    bool powerOff() override { return effects.poweredOff = note("P0", decade_.powerOff()); }
    bool identifies() override
    {
        const std::optional<int> ident = decade_.identify();
        note("I", ident.has_value());
        return ident && Decade::isT483(*ident);
    }

    DecadeEffects effects;   // since last cleared

private:
    bool note(const std::string &command, bool answered)
    {
        effects.sent += (effects.sent.empty() ? "" : " ") + command;
        effects.unanswered |= !answered;
        return answered;
    }
    std::optional<int> read(const char *command, std::optional<int> value, std::optional<int> *into)
    {
        if (note(command, value.has_value()))
            *into = value;
        return value;
    }

    Decade &decade_;
};

class DecadeWorker {
public:
    // `decade` open, identified as `ident`, and not touched by the caller
    // from start() until stop().
    DecadeWorker(const CtlContext &ctx, Decade &decade, int ident);
    ~DecadeWorker();
    DecadeWorker(const DecadeWorker &) = delete;
    DecadeWorker &operator=(const DecadeWorker &) = delete;

    void start();
    // Waits for the command in hand, if any, and ends the thread.
    void stop();

    // Carries out `command` on the decade's thread, one at a time in the
    // order given, then calls `done` with its outcome on the thread of
    // `receiver`, which is there until stop().
    // `by` says who sent it, for the observer.
    void execute(const scpi::Command &command, QObject *receiver, std::function<void(const scpi::CommandResult &)> done,
                 const std::string &by = {});

    // Any other work on the decade, in the same turn as the commands; `done`
    // gets what it did on the thread of `receiver`.
    using Job = std::function<void(scpi::Instrument &, scpi::DeviceState &)>;
    void run(Job job, const std::string &by, QObject *receiver, std::function<void(const DecadeEffects &)> done);

    // Told, on the thread of `receiver`, what every command and job did and
    // who sent it ("" for none), before its own `done` is called. Set before
    // start().
    void observe(QObject *receiver, std::function<void(const DecadeEffects &, const std::string &by)> observer);

private:
    // On the thread.
    void watch();
    void lose();
    QString where() const;

    const CtlContext &ctx_;
    Decade &decade_;
    const int com_, ident_;
    const std::string device_;
    DecadeInstrument instrument_{decade_};
    QObject *observerReceiver_ = nullptr;
    std::function<void(const DecadeEffects &, const std::string &)> observer_;
    // Touched only on the thread:
    scpi::DeviceState state_;
    bool gone_ = false;
    int said_ = -1;              // the last Reconnect outcome said while gone
    std::unique_ptr<QTimer> watch_;
    QThread thread_;
    QObject onThread_;          // the thread's context for the commands

    // After a command or job, on the thread: a device found gone closed,
    // the observer told; what it did.
    DecadeEffects finish(const std::string &by);
};
