// serve's clients: SCPI over raw TCP sockets, each connection a session of
// scpi.h, and the one decade they share.
//
// The event loop reads each client's lines into its session, and hands the
// decade's thread (serve_worker.h) one command at a time, taking the clients
// with commands waiting in turn, so one client that sends many at once holds
// up nobody for longer than a command each. A command reaching the
// instrument is one SCPI message unit (RES may be "L0" and then "R<n>"). A
// client gone while its command runs has its reply dropped; the whole lines
// it sent before it went are still carried out, an unfinished line is not.
#pragma once

#include "ctl/cli.h"
#include "ctl/scpi.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <map>
#include <memory>
#include <optional>

class DecadeWorker;

struct ScpiClient {
    QTcpSocket *socket = nullptr;   // null once the client has gone
    scpi::Session session;
    std::optional<scpi::Command> queued;   // handed out, not yet on the decade's thread
    explicit ScpiClient(const scpi::Identity &identity) : session(identity) {}
};

class ScpiServer : public QObject {
public:
    ScpiServer(const CtlContext &ctx, DecadeWorker *worker, scpi::Identity identity);

    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const { return tcp_.serverPort(); }
    // Stops listening and drops every client.
    void stop();

private:
    void accept();
    void refuse(QTcpSocket *socket);
    ScpiClient *find(quint64 id);
    void readFrom(quint64 id);
    void service(quint64 id, ScpiClient &c);
    void gone(quint64 id);
    void dispatch();
    void done(quint64 id, const scpi::CommandResult &outcome);

    const CtlContext &ctx_;
    DecadeWorker *worker_;
    scpi::Identity identity_;
    QTcpServer tcp_;
    std::map<quint64, std::unique_ptr<ScpiClient>> clients_;
    int connected_ = 0;
    int refused_ = 0;
    QElapsedTimer refusalSaid_;
    quint64 nextId_ = 1;
    quint64 lastServed_ = 0;
    bool busy_ = false;   // a command is on the decade's thread
};
