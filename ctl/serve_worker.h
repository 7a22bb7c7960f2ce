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

// The decade as a session's instrument.
class DecadeInstrument : public scpi::Instrument {
public:
    explicit DecadeInstrument(Decade &decade) : decade_(decade) {}
    std::optional<int> resistance() override { return decade_.resistance(); }
    std::optional<int> voltage() override { return decade_.voltage(); }
    bool setRemote(bool remote) override { return decade_.setRemote(remote); }
    bool setResistance(int mohm) override { return decade_.setResistance(mohm); }
    bool powerOff() override { return decade_.powerOff(); }
    bool identifies() override
    {
        const std::optional<int> ident = decade_.identify();
        return ident && Decade::isT483(*ident);
    }

private:
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
    void execute(const scpi::Command &command, QObject *receiver, std::function<void(const scpi::CommandResult &)> done);

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
    // Touched only on the thread:
    scpi::DeviceState state_;
    bool gone_ = false;
    int said_ = -1;              // the last Reconnect outcome said while gone
    std::unique_ptr<QTimer> watch_;
    QThread thread_;
    QObject onThread_;          // the thread's context for the commands
};
