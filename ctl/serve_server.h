// serve's clients: SCPI over raw TCP sockets, each connection a session of
// scpi.h, and the one decade they share.
//
// The event loop reads each client's lines into its session, and hands the
// decade's thread (serve_worker.h) one command at a time, taking the clients
// with commands waiting in turn, so one client that sends many at once holds
// up nobody for longer than a command each. A command reaching the
// instrument is one SCPI message unit (RES may be "L0" and then "R<n>").
//
// A client's connection is its own socket, read and written here without
// Qt's buffering: the end of a client's stream (its half-close) is only the
// end of what it sends, so the lines that came before it are still carried
// out and answered before the connection is closed. A connection whose
// client has ended its stream holds no seat among the MAX_CLIENTS; one
// reset by its client has its replies dropped, its whole lines are still
// carried out, an unfinished line is not.
#pragma once

#include "ctl/cli.h"
#include "ctl/scpi.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QTcpServer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class DecadeWorker;

struct ScpiClient {
    int fd = -1;                     // -1 once closed
    std::unique_ptr<QSocketNotifier> readable, writable;
    bool ended = false;              // its stream ended (or reset): nothing more to read
    bool seated = true;              // counted among the clients connected
    std::string unsent;              // replies not yet taken by the socket
    std::string peer;                // "scpi 127.0.0.1:40312"
    scpi::Session session;
    std::optional<scpi::Command> queued;   // handed out, not yet on the decade's thread
    explicit ScpiClient(const scpi::Identity &identity) : session(identity) {}
};

// The listening socket: each connection accepted handed on as its socket
// descriptor.
class ScpiListener : public QTcpServer {
public:
    std::function<void(int fd)> accepted;

protected:
    void incomingConnection(qintptr fd) override { accepted(int(fd)); }
};

class ScpiServer : public QObject {
public:
    ScpiServer(const CtlContext &ctx, DecadeWorker *worker, scpi::Identity identity);
    ~ScpiServer() override;

    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const { return tcp_.serverPort(); }
    // Stops listening and drops every client.
    void stop();

private:
    void accept(int fd);
    int seatsTaken();
    void refuse(int fd, const std::string &why);
    ScpiClient *find(quint64 id);
    void readFrom(quint64 id);
    void flush(ScpiClient &c);
    void hangUp(ScpiClient &c);
    bool service(quint64 id, ScpiClient &c);
    void dispatch();
    void done(quint64 id, const scpi::CommandResult &outcome);

    const CtlContext &ctx_;
    DecadeWorker *worker_;
    scpi::Identity identity_;
    ScpiListener tcp_;
    std::map<quint64, std::unique_ptr<ScpiClient>> clients_;
    int refused_ = 0;
    QElapsedTimer refusalSaid_;
    quint64 nextId_ = 1;
    quint64 lastServed_ = 0;
    bool busy_ = false;   // a command is on the decade's thread
};
