// serve's clients on their sockets: accepted up to a limit, read into their
// sessions, their commands handed to the decade's thread in turn, their
// replies written back as the socket takes them.
#include "ctl/serve_server.h"

#include "ctl/serve_limits.h"
#include "ctl/serve_worker.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using serve::MAX_CLIENTS;
// A session is fed no further while this many lines wait in it, or while
// this many reply bytes wait to be sent: the socket's buffer (and then
// TCP) hold the rest back.
constexpr std::size_t MAX_PENDING_LINES = 64;
constexpr std::size_t MAX_UNSENT = 1 << 20;
constexpr std::size_t READ_BUFFER = 64 * 1024;

void setOption(int fd, int level, int name)
{
    const int one = 1;
    setsockopt(fd, level, name, &one, sizeof one);
}

// Whether the client has ended its stream or reset the connection, as far
// as the system knows, whatever of it is still unread.
bool peerEnded(int fd)
{
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// "scpi ADDRESS:PORT" of the client on fd, as the web panel says who
// changed what.
std::string peerName(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        if (address.ss_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(&address);
            inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
            port = ntohs(in->sin_port);
        } else if (address.ss_family == AF_INET6) {
            const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
            inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
            port = ntohs(in6->sin6_port);
        }
    }
    return std::string("scpi ") + host + ':' + std::to_string(port);
}

}  // namespace

ScpiServer::ScpiServer(const CtlContext &ctx, DecadeWorker *worker, scpi::Identity identity)
    : ctx_(ctx), worker_(worker), identity_(std::move(identity))
{
    tcp_.accepted = [this](int fd) { accept(fd); };
    // Room for a burst of connections while the event loop is busy: past
    // the backlog the system drops a connection's SYN, and the client
    // waits a second to try again.
    tcp_.setListenBacklogSize(SOMAXCONN);
}

ScpiServer::~ScpiServer()
{
    stop();
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
    for (auto &[id, c] : clients_) {
        c->readable.reset();
        c->writable.reset();
        if (c->fd >= 0)
            ::close(c->fd);
    }
    clients_.clear();
}

void ScpiServer::accept(int fd)
{
    const std::string why = serve::refusal(seatsTaken(), clients_.size());
    if (!why.empty()) {
        refuse(fd, why);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    // Replies go out as soon as they are written, not held for the ACK of
    // the one before.
    setOption(fd, IPPROTO_TCP, TCP_NODELAY);
    const quint64 id = nextId_++;
    auto client = std::make_unique<ScpiClient>(identity_);
    client->fd = fd;
    client->peer = peerName(fd);
    client->readable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    client->writable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    client->writable->setEnabled(false);
    connect(client->readable.get(), &QSocketNotifier::activated, this, [this, id] { readFrom(id); });
    connect(client->writable.get(), &QSocketNotifier::activated, this, [this, id] {
        if (ScpiClient *c = find(id))
            flush(*c);
        readFrom(id);
    });
    clients_.emplace(id, std::move(client));
    readFrom(id);
}

// The clients that hold a seat. When all seats seem taken, those whose
// client has already gone (its end not yet read) give theirs up: a client
// that connects and closes again and again must not lock out the next.
int ScpiServer::seatsTaken()
{
    int taken = 0;
    for (auto &[id, c] : clients_)
        taken += c->seated;
    if (taken < MAX_CLIENTS)
        return taken;
    taken = 0;
    for (auto &[id, c] : clients_) {
        if (c->seated && c->fd >= 0 && peerEnded(c->fd))
            c->seated = false;
        taken += c->seated;
    }
    return taken;
}

// One connection more than the limits take, refused for the reason `why`.
// Said once in a while, not once a connection: standard error is no channel
// a flood of connections may fill.
void ScpiServer::refuse(int fd, const std::string &why)
{
    refused_++;
    if (!refusalSaid_.isValid() || refusalSaid_.hasExpired(10000)) {
        complain(ctx_, QString("serve: %1; refused %2 more since last said")
                           .arg(QString::fromStdString(why)).arg(refused_));
        refused_ = 0;
        refusalSaid_.start();
    }
    // Closed in the ordinary way: the client's next read finds the
    // connection ended, with nothing in it.
    ::close(fd);
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
    if (c->fd >= 0 && !c->ended) {
        static char buffer[READ_BUFFER];
        // A few reads at a time: a client sending without end waits for
        // its turn in the event loop like the others.
        for (int reads = 0; reads < 16 && c->session.pendingLines() < MAX_PENDING_LINES &&
                            c->unsent.size() < MAX_UNSENT; reads++) {
            const ssize_t n = ::recv(c->fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                // Acknowledged at once: a client's line that has no reply
                // would otherwise wait for TCP's delayed ACK, and with it
                // the client's next line, held back by Nagle's algorithm.
                setOption(c->fd, IPPROTO_TCP, TCP_QUICKACK);
                c->session.feed({buffer, std::size_t(n)});
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                // The end of its stream: what came before is still
                // answered. Reset: no answer reaches it any more.
                c->ended = true;
                c->seated = false;
                if (n < 0)
                    hangUp(*c);
                break;
            }
        }
    }
    // Read on when the session has room again, from the socket's
    // notifier: data still waiting there wakes it at once.
    if (service(id, *c) && c->readable)
        c->readable->setEnabled(!c->ended && c->session.pendingLines() < MAX_PENDING_LINES &&
                                c->unsent.size() < MAX_UNSENT);
    dispatch();
}

// As much of the replies as the socket takes; the rest when it takes more.
// A client that can take none any more is hung up on, its replies dropped.
void ScpiServer::flush(ScpiClient &c)
{
    while (c.fd >= 0 && !c.unsent.empty()) {
        const ssize_t n = ::send(c.fd, c.unsent.data(), c.unsent.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.unsent.erase(0, std::size_t(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            c.writable->setEnabled(true);
            return;
        } else {
            hangUp(c);
        }
    }
    if (c.writable)
        c.writable->setEnabled(false);
}

// The connection closed. Its notifiers may be the ones whose signal is
// being handled: they go once it has been.
void ScpiServer::hangUp(ScpiClient &c)
{
    if (c.fd < 0)
        return;
    for (auto *notifier : {&c.readable, &c.writable}) {
        (*notifier)->setEnabled(false);
        notifier->release()->deleteLater();
    }
    ::close(c.fd);
    c.fd = -1;
    c.ended = true;
    c.seated = false;
    c.unsent.clear();
}

// Carries out what the session can alone, and queues its next command for
// the decade's thread. Closes a client that has ended its stream once it
// has nothing left to do and its replies have gone, and forgets it: false
// then.
bool ScpiServer::service(quint64 id, ScpiClient &c)
{
    if (!c.session.waiting())
        c.queued = c.session.next();
    const std::string out = c.session.take();
    if (c.fd >= 0 && !out.empty()) {
        c.unsent += out;
        flush(c);
    }
    if (c.ended && !c.session.waiting() && c.session.pendingLines() == 0 && c.unsent.empty()) {
        hangUp(c);
        clients_.erase(id);
        return false;
    }
    return true;
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
    worker_->execute(command, this, [this, id](const scpi::CommandResult &outcome) { done(id, outcome); }, c.peer);
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
