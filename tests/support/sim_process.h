// Test support: the t483-sim simulator as a child process.
//
//   SimProcess sim;
//   QVERIFY(sim.start({"--ident", "48305"}));   // path from env T483_SIM
//   sim.useAsPort(1);                            // T483_COM1 = its device
//   QVERIFY(sim.command("voltage 2500"));        // applied before it returns
//   ... the code under test talks to COM1 ...
//   QVERIFY(sim.waitReceived(1));                // one command arrived
//   QCOMPARE(sim.received().at(0), QByteArray("M\r"));
//
// The destructor kills the simulator. Every call is synchronous (it waits
// on the child's output), so it works without an event loop and between
// blocking serial reads.
#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts the simulator with these options and reads its device path.
    // False (and a warning) when T483_SIM is unset or it does not start.
    bool start(const QStringList &options = {});
    QString device() const { return device_; }
    // Points COM port n (1 to 8) at the simulator's device.
    void useAsPort(int port) const;
    // A line for its standard input ("front 4072", "fault silent"), waited
    // for until the simulator has acted on it. False when it refused.
    bool command(const QString &line, int timeoutMs = 3000);
    // The commands it has received so far, each with its CR, in order.
    QList<QByteArray> received();
    // Waits until at least n commands have been received in all.
    bool waitReceived(int n, int timeoutMs = 3000);
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
};
