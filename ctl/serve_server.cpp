// serve's clients on their sockets: accepted up to a limit, read into their
// sessions, their commands handed to the decade's thread in turn.
#include "ctl/serve_server.h"

#include "ctl/serve_worker.h"

namespace {

// Clients connected at once; one more is accepted and closed at once.
constexpr int MAX_CLIENTS = 16;
// A session is fed no further while this many lines wait in it, or while
// this many reply bytes wait to be sent: the socket's buffer (and then
// TCP) hold the rest back.
constexpr std::size_t MAX_PENDING_LINES = 64;
constexpr qint64 MAX_UNSENT = 1 << 20;
constexpr qint64 READ_BUFFER = 64 * 1024;

}  // namespace

ScpiServer::ScpiServer(const CtlContext &ctx, DecadeWorker *worker, scpi::Identity identity)
    : ctx_(ctx), worker_(worker), identity_(std::move(identity))
{
    tcp_.setMaxPendingConnections(64);
    connect(&tcp_, &QTcpServer::newConnection, this, [this] { accept(); });
}

bool ScpiServer::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (tcp_.listen(address, port))
        return true;
    *error = tcp_.errorString();
    return false;
}

void ScpiServer::stop()
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

void ScpiServer::accept()
{
    while (QTcpSocket *socket = tcp_.nextPendingConnection()) {
        if (connected_ >= MAX_CLIENTS) {
            refuse(socket);
            continue;
        }
        const quint64 id = nextId_++;
        auto client = std::make_unique<ScpiClient>(identity_);
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

// One connection more than MAX_CLIENTS. Said once in a while, not once a
// connection: standard error is no channel a flood of connections may fill.
void ScpiServer::refuse(QTcpSocket *socket)
{
    refused_++;
    if (!refusalSaid_.isValid() || refusalSaid_.hasExpired(10000)) {
        complain(ctx_, QString("serve: %1 clients are connected; refused %2 more since last said")
                           .arg(MAX_CLIENTS).arg(refused_));
        refused_ = 0;
        refusalSaid_.start();
    }
    // Closed in the ordinary way: the client's next read finds the
    // connection ended, with nothing in it.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
}

ScpiClient *ScpiServer::find(quint64 id)
{
    const auto it = clients_.find(id);
    return it == clients_.end() ? nullptr : it->second.get();
}

void ScpiServer::readFrom(quint64 id)
{
    ScpiClient *c = find(id);
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

// Carries out what the session can alone, and queues its next command for
// the decade's thread. Forgets a client that has gone once it has nothing
// left to do.
void ScpiServer::service(quint64 id, ScpiClient &c)
{
    if (!c.session.waiting())
        c.queued = c.session.next();
    const std::string out = c.session.take();
    if (c.socket && !out.empty())
        c.socket->write(out.data(), qint64(out.size()));
    if (!c.socket && !c.session.waiting() && c.session.pendingLines() == 0)
        clients_.erase(id);
}

void ScpiServer::gone(quint64 id)
{
    ScpiClient *c = find(id);
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

// One command to the decade's thread, unless one is there already: the next
// client after the last one served that has one queued.
void ScpiServer::dispatch()
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
    ScpiClient &c = *pick->second;
    const scpi::Command command = *c.queued;
    c.queued.reset();
    busy_ = true;
    lastServed_ = id;
    worker_->execute(command, this, [this, id](const scpi::CommandResult &outcome) { done(id, outcome); });
}

void ScpiServer::done(quint64 id, const scpi::CommandResult &outcome)
{
    busy_ = false;
    if (ScpiClient *c = find(id)) {
        c->session.complete(outcome);
        readFrom(id);
    } else {
        dispatch();
    }
}
