// t483ctl serve: SCPI over a raw TCP socket (port 5025), as instruments with
// a LAN port offer it. The parsing and the error queues are scpi.h's; here
// the sockets and the one serial line they share.
//
// The decade lives on a worker thread, where every call of the link is made
// (the link keeps its state in globals). The main thread does the sockets:
// it reads each client's lines into its session, and hands the worker one
// command at a time, taking the clients with commands waiting in turn, so
// one client that sends many at once holds up nobody for longer than a
// command each. A command reaching the instrument is one SCPI message unit
// (RES may be "L0" and then "R<n>"). A client gone while its command runs
// has its reply dropped; the whole lines it sent before it went are still
// carried out, an unfinished line is not.
#include "ctl/verbs.h"

#include "ctl/decade.h"
#include "ctl/scpi.h"
#include "platform/signals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

// Clients connected at once; one more is accepted and closed at once.
constexpr int MAX_CLIENTS = 16;
// A session is fed no further while this many lines wait in it, or while
// this many reply bytes wait to be sent: the socket's buffer (and then
// TCP) hold the rest back.
constexpr std::size_t MAX_PENDING_LINES = 64;
constexpr qint64 MAX_UNSENT = 1 << 20;
constexpr qint64 READ_BUFFER = 64 * 1024;
constexpr quint16 DEFAULT_PORT = 5025;

// The decade as a session's instrument.
class DecadeInstrument : public scpi::Instrument {
public:
    explicit DecadeInstrument(Decade &decade) : decade_(decade) {}
    std::optional<int> resistance() override { return decade_.resistance(); }
    std::optional<int> voltage() override { return decade_.voltage(); }
    bool setRemote(bool remote) override { return decade_.setRemote(remote); }
    bool setResistance(int mohm) override { return decade_.setResistance(mohm); }
    bool powerOff() override { return decade_.powerOff(); }

private:
    Decade &decade_;
};

// What lives on the worker thread: touched only there.
class Worker : public QObject {
public:
    Decade decade;
    DecadeInstrument instrument{decade};
    scpi::DeviceState state;
    bool goneReported = false;
};

// Runs f on the worker's thread and waits for it.
template <typename F>
void onWorker(Worker *worker, F f)
{
    QMetaObject::invokeMethod(worker, f, Qt::BlockingQueuedConnection);
}

struct Client {
    QTcpSocket *socket = nullptr;   // null once the client has gone
    scpi::Session session;
    std::optional<scpi::Command> queued;   // handed out, not yet on the worker
    explicit Client(const scpi::Identity &identity) : session(identity) {}
};

class Server : public QObject {
public:
    Server(const CtlContext &ctx, Worker *worker, scpi::Identity identity)
        : ctx_(ctx), worker_(worker), identity_(std::move(identity))
    {
        tcp_.setMaxPendingConnections(64);
        connect(&tcp_, &QTcpServer::newConnection, this, [this] { accept(); });
    }

    bool listen(const QHostAddress &address, quint16 port, QString *error)
    {
        if (tcp_.listen(address, port))
            return true;
        *error = tcp_.errorString();
        return false;
    }
    quint16 port() const { return tcp_.serverPort(); }

    // Stops listening and drops every client.
    void stop()
    {
        tcp_.close();
        for (auto &[id, c] : clients_)
            if (c->socket) {
                c->socket->disconnect(this);
                c->socket->abort();
                c->socket->deleteLater();
            }
        clients_.clear();
    }

private:
    void accept()
    {
        while (QTcpSocket *socket = tcp_.nextPendingConnection()) {
            if (connected_ >= MAX_CLIENTS) {
                // Said once in a while, not once a connection: standard
                // error is no channel a flood of connections may fill.
                refused_++;
                if (!refusalSaid_.isValid() || refusalSaid_.hasExpired(10000)) {
                    complain(ctx_, QString("serve: %1 clients are connected; refused %2 more since last said")
                                       .arg(MAX_CLIENTS).arg(refused_));
                    refused_ = 0;
                    refusalSaid_.start();
                }
                // Closed in the ordinary way: the client's next read finds
                // the connection ended, with nothing in it.
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                socket->disconnectFromHost();
                continue;
            }
            const quint64 id = nextId_++;
            auto client = std::make_unique<Client>(identity_);
            client->socket = socket;
            socket->setReadBufferSize(READ_BUFFER);
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            clients_.emplace(id, std::move(client));
            connected_++;
            connect(socket, &QTcpSocket::readyRead, this, [this, id] { readFrom(id); });
            connect(socket, &QTcpSocket::bytesWritten, this, [this, id] { readFrom(id); });
            connect(socket, &QTcpSocket::disconnected, this, [this, id] { gone(id); });
            readFrom(id);
        }
    }

    Client *find(quint64 id)
    {
        const auto it = clients_.find(id);
        return it == clients_.end() ? nullptr : it->second.get();
    }

    void readFrom(quint64 id)
    {
        Client *c = find(id);
        if (!c)
            return;
        if (c->socket) {
            while (c->session.pendingLines() < MAX_PENDING_LINES && c->socket->bytesToWrite() < MAX_UNSENT &&
                   c->socket->bytesAvailable() > 0) {
                const QByteArray bytes = c->socket->read(READ_BUFFER);
                c->session.feed({bytes.constData(), size_t(bytes.size())});
            }
        }
        service(id, *c);
        dispatch();
    }

    // Carries out what the session can alone, and queues its next command
    // for the worker. Forgets a client that has gone once it has nothing
    // left to do.
    void service(quint64 id, Client &c)
    {
        if (!c.session.waiting())
            c.queued = c.session.next();
        const std::string out = c.session.take();
        if (c.socket && !out.empty())
            c.socket->write(out.data(), qint64(out.size()));
        if (!c.socket && !c.session.waiting() && c.session.pendingLines() == 0)
            clients_.erase(id);
    }

    void gone(quint64 id)
    {
        Client *c = find(id);
        if (!c || !c->socket)
            return;
        connected_--;
        // Whole lines that came before the end are carried out all the same.
        const QByteArray rest = c->socket->readAll();
        c->session.feed({rest.constData(), size_t(rest.size())});
        c->socket->disconnect(this);
        c->socket->deleteLater();
        c->socket = nullptr;
        service(id, *c);
        dispatch();
    }

    // One command to the worker, unless one is there already: the next
    // client after the last one served that has one queued.
    void dispatch()
    {
        if (busy_ || clients_.empty())
            return;
        auto pick = clients_.upper_bound(lastServed_);
        std::size_t looked = 0;
        for (; looked < clients_.size(); looked++, ++pick) {
            if (pick == clients_.end())
                pick = clients_.begin();
            if (pick->second->queued)
                break;
        }
        if (looked == clients_.size())
            return;
        const quint64 id = pick->first;
        Client &c = *pick->second;
        const scpi::Command command = *c.queued;
        c.queued.reset();
        busy_ = true;
        lastServed_ = id;
        Worker *worker = worker_;
        QMetaObject::invokeMethod(worker, [this, worker, command, id] {
            const scpi::CommandResult outcome = scpi::execute(command, worker->instrument, worker->state);
            if (outcome.error && worker->decade.lost() && !worker->goneReported) {
                worker->goneReported = true;
                complain(ctx_, QString("serve: the device is gone: COM%1 (%2)")
                                   .arg(worker->decade.port()).arg(QString::fromStdString(worker->decade.device())));
            }
            QMetaObject::invokeMethod(this, [this, outcome, id] { done(id, outcome); }, Qt::QueuedConnection);
        }, Qt::QueuedConnection);
    }

    void done(quint64 id, const scpi::CommandResult &outcome)
    {
        busy_ = false;
        if (Client *c = find(id)) {
            c->session.complete(outcome);
            readFrom(id);
        } else {
            dispatch();
        }
    }

    const CtlContext &ctx_;
    Worker *worker_;
    scpi::Identity identity_;
    QTcpServer tcp_;
    std::map<quint64, std::unique_ptr<Client>> clients_;
    int connected_ = 0;
    int refused_ = 0;
    QElapsedTimer refusalSaid_;
    quint64 nextId_ = 1;
    quint64 lastServed_ = 0;
    bool busy_ = false;
};

// "ADDRESS:PORT", ":PORT", "ADDRESS", "[IPV6]:PORT", "[IPV6]"; "localhost"
// is 127.0.0.1. False for anything else.
bool parseListen(const QString &text, QHostAddress *address, quint16 *port)
{
    QString host = text;
    QString portText;
    if (text.startsWith('[')) {
        const qsizetype close = text.indexOf(']');
        if (close < 0)
            return false;
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(':'))
                return false;
            portText = rest.mid(1);
            if (portText.isEmpty())
                return false;
        }
        if (!host.contains(':'))
            return false;
    } else if (text.count(':') == 1) {
        const qsizetype colon = text.indexOf(':');
        host = text.left(colon);
        portText = text.mid(colon + 1);
        if (portText.isEmpty())
            return false;
    }
    if (host.isEmpty() || host == "localhost")
        host = "127.0.0.1";
    if (!address->setAddress(host))
        return false;
    *port = DEFAULT_PORT;
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint n = portText.toUInt(&ok);
        if (!ok || n > 65535 || portText.startsWith('+'))
            return false;
        *port = quint16(n);
    }
    return true;
}

QString hostPort(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + address.toString() + "]"
                                                                              : address.toString();
    return host + ':' + QString::number(port);
}

}  // namespace

int serveVerb(CtlContext &ctx, const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Serves SCPI over a raw TCP socket: commands end in LF (CR LF taken), replies in LF.\n"
        "Up to 16 clients at once; their commands reach the decade one at a time.\n"
        "SCPI has no authentication: whoever reaches the port controls the decade.");
    const QCommandLineOption listen("listen",
        "Where to listen: ADDRESS:PORT, :PORT, ADDRESS or [IPV6]:PORT (default 127.0.0.1:5025; "
        "port 0 picks a free one). Any address but loopback opens the decade to the network.",
        "ADDRESS:PORT");
    parser.addOption(listen);
    int status = CTL_DONE;
    if (!parseVerb(parser, args, ctx, &status))
        return status;
    if (parser.positionalArguments().size() > 1)
        return usageError(ctx, "serve takes no arguments");
    QHostAddress address(QHostAddress::LocalHost);
    quint16 port = DEFAULT_PORT;
    if (parser.isSet(listen) && !parseListen(parser.value(listen), &address, &port))
        return usageError(ctx, "'" + parser.value(listen) + "' is no address to listen on: ADDRESS:PORT, :PORT, ADDRESS or [IPV6]:PORT");

    QThread thread;
    thread.setObjectName("decade");
    Worker worker;
    worker.moveToThread(&thread);
    thread.start();
    const auto finish = [&](int code) {
        onWorker(&worker, [&] { worker.decade.close(); });
        thread.quit();
        thread.wait();
        return code;
    };

    // The port first, then whether a T-483 answers on it.
    onWorker(&worker, [&] { status = openDecade(ctx, worker.decade); });
    if (status != CTL_DONE)
        return finish(status);
    std::optional<int> ident;
    QString device;
    int com = 0;
    onWorker(&worker, [&] {
        ident = worker.decade.identify();
        if (!ident)
            status = noAnswer(ctx, worker.decade);
        device = QString::fromStdString(worker.decade.device());
        com = worker.decade.port();
    });
    if (!ident)
        return finish(status);
    if (!Decade::isT483(*ident)) {
        complain(ctx, QString("not a T-483 on COM%1 (%2): identification %3").arg(com).arg(device).arg(*ident));
        return finish(CTL_NO_INSTRUMENT);
    }

    Server server(ctx, &worker, {*ident, T483_VERSION});
    QString error;
    if (!server.listen(address, port, &error)) {
        complain(ctx, "cannot listen on " + hostPort(address, port) + ": " + error);
        return finish(CTL_PORT);
    }
    const QString where = hostPort(address, server.port());
    if (!address.isLoopback())
        complain(ctx, "serve: SCPI has no authentication: anyone who reaches " + where + " controls the decade");

    // SIGINT and SIGTERM end the event loop; a client gone between two
    // writes must not end the server (SIGPIPE is ignored).
    const int signalFd = SignalPipeOpen({SIGINT, SIGTERM});
    if (signalFd < 0) {
        complain(ctx, "serve: no pipe for signals");
        return finish(CTL_PORT);
    }
    QSocketNotifier notifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, qApp, [] {
        SignalPipeDrain();
        QCoreApplication::quit();
    });

    printResult(ctx, {{"listening", where}, {"address", address.toString()}, {"port", server.port()},
                      {"com", com}, {"device", device}, {"identification", *ident}},
                QString("listening on %1 (COM%2 %3)").arg(where).arg(com).arg(device));
    QCoreApplication::exec();

    server.stop();
    SignalPipeRestore({SIGINT, SIGTERM});
    return finish(CTL_DONE);
}
