// Test support: the t483-sim simulator as a child process.
//
//   auto sim = SimProcess::onPort(1, {"--ident", "48305"});  // T483_SIM on COM1
//   QVERIFY(sim);
//   QVERIFY(sim->command("voltage 2500"));       // applied before it returns
//   ... the code under test talks to COM1 ...
//   QVERIFY(sim->waitReceived(1));               // one command arrived
//   QCOMPARE(sim->received().at(0), QByteArray("M\r"));
//   ... the code under test must send nothing more ...
//   QVERIFY(sim->sentinel());                    // the line is drained
//   QCOMPARE(sim->received().size(), 1);
//
// The destructor kills the simulator. Every call is synchronous (it waits
// on the child's output), so it works without an event loop and between
// blocking serial reads. Time-outs allow for a loaded machine (slack.h).
#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <memory>

#include "slack.h"

class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // A simulator started with these options, COM port `port` pointed at
    // it; null (and a warning) when it does not start.
    static std::unique_ptr<SimProcess> onPort(int port, const QStringList &options = {});

    // Starts the simulator with these options (and --hex, the log this
    // reads) and reads its device path.
    // False (and a warning) when T483_SIM is unset or it does not start.
    bool start(const QStringList &options = {});
    QString device() const { return device_; }
    // Points COM port n (1 to 8) at the simulator's device.
    void useAsPort(int port) const;
    // A line for its standard input ("front 4072", "fault silent"), waited
    // for until the simulator has acted on it. False when it refused.
    bool command(const QString &line, int timeoutMs = slack(3000));
    // The commands it has received so far, each with its CR, in order.
    QList<QByteArray> received();
    // Waits until at least n commands have been received in all.
    bool waitReceived(int n, int timeoutMs = slack(3000));
    // Puts a sentinel command on the line from a second opening of the
    // device and waits until the simulator has received it. Whatever
    // reached the line before it has then been received: received() is
    // complete up to here (the sentinel is not listed). This, not a pause,
    // shows that something was NOT sent. The simulator's reply to it is
    // read off the line again, with whatever stale bytes came before it.
    // False when it never arrived.
    bool sentinel(int timeoutMs = slack(3000));
    // Waits until at least `bytes` bytes the simulator has put on the line
    // wait unread at the port's end.
    bool waitQueued(int bytes, int timeoutMs = slack(3000));
    // Forgets the commands received so far.
    void clearReceived();
    // True once the simulator has printed "hangup" (fault hangup).
    bool hungUp();
    // Ends it with SIGKILL at once, as a pulled cable or crash would.
    void kill();
    qint64 pid() const { return process_.processId(); }

private:
    void readLines(int timeoutMs);

    QProcess process_;
    QString device_;
    QByteArray pending_;
    QList<QByteArray> received_;
    int answers_ = 0;   // "ok" and "error" lines not yet claimed
    int refusals_ = 0;
    bool hungUp_ = false;
    bool afterSentinel_ = false;   // the last line was the sentinel's "rx"
    QByteArray sentinelReply_;     // the simulator's reply to it
};
