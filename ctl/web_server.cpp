// serve's web panel: the requests routed, the pages pushed to, the polling.
#include "ctl/web_server.h"

#include "ctl/serve_worker.h"

#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSysInfo>
#include <QUrlQuery>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <type_traits>

namespace {

// The panel's tick; how long an API request keeps the polling on.
constexpr int TICK_MS = 200;
constexpr qint64 API_QUIET_MS = 5000;
// Pages open at once; one more is closed at once.
constexpr std::size_t MAX_PAGES = 32;
// The largest file read for the certificate, the key, the settings.
constexpr qint64 MAX_FILE = 1 << 20;
// The most a client may send, headers and body, before it is answered; a
// connection sending more is cut off at once. The API's bodies are a few
// bytes, a browser's headers a few KiB.
constexpr qint64 MAX_REQUEST = 64 * 1024;
// The largest WebSocket frame and message a page may send.
constexpr quint64 MAX_PAGE_MESSAGE = 4096;
// Connections open at once, a page's among them; one more is closed as it
// comes, nothing of it kept.
constexpr std::size_t MAX_CONNECTIONS = 64;
// How long a connection may take to send a whole request, from its opening
// or its last answer; a page, once upgraded, has no such limit.
constexpr int IDLE_MS = 10000;
// The name of the timer on each connection, until it becomes a page, that
// closes it idle; what it sent is counted on it.
const char REQUEST_BOUND[] = "t483-request-bound";

using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;

// What each path answers, and to which methods.
struct Route {
    const char *path;
    Method method;
    const char *file;   // served from the resources; nullptr: the API
    const char *type;
};
const Route ROUTES[] = {
    {"/", Method::Get, ":/web/index.html", "text/html; charset=utf-8"},
    {"/instrument", Method::Get, ":/web/instrument.html", "text/html; charset=utf-8"},
    {"/layout.json", Method::Get, ":/uir/T483.UIR", "application/json"},
    {"/api/state", Method::Get, nullptr, nullptr},
    {"/api/instrument", Method::Get, nullptr, nullptr},
    {"/api/remote", Method::Put, nullptr, nullptr},
    {"/api/resistance", Method::Put, nullptr, nullptr},
    {"/api/power-off", Method::Post, nullptr, nullptr},
};

const char *methodName(Method method)
{
    switch (method) {
    case Method::Get: return "GET";
    case Method::Put: return "PUT";
    case Method::Post: return "POST";
    default: return "other";
    }
}

void writeJson(QHttpServerResponder &responder, const QJsonObject &object, int status)
{
    responder.write(QJsonDocument(object), {{"Cache-Control", "no-store"}}, Status(status));
}

void writeError(QHttpServerResponder &responder, int status, const QString &error)
{
    writeJson(responder, {{"error", error}}, status);
}

// A JSON answer written on the socket itself, for a request answered after
// handleRequest returned: Qt's responder then would outlive a socket its
// client closed.
void writeLater(QTcpSocket *socket, const QJsonObject &object, int status)
{
    if (!socket)
        return;
    const QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    socket->write(QByteArray("HTTP/1.1 ") + QByteArray::number(status) +
                  (status == 200 ? " OK" : " Service Unavailable") +
                  "\r\nContent-Type: application/json\r\nCache-Control: no-store\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\n\r\n" + body);
}

// The address as people write it: an IPv4 client of an IPv6 socket without
// its ::ffff: prefix.
QString clientName(const QHostAddress &address)
{
    bool v4 = false;
    const quint32 ip = address.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip).toString() : address.toString();
}

// A regular file's bytes, up to MAX_FILE; none otherwise.
std::optional<QByteArray> readSmallFile(const QString &path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || QFileInfo(path).size() > MAX_FILE || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(MAX_FILE);
}

// Counts what the connection sends from one answer to the next, on its own
// readyRead connected before the HTTP server's, so that a request past
// MAX_REQUEST is aborted before the server reads (and keeps) any of it;
// closes it when no whole request came within IDLE_MS of its opening or of
// its last answer (handleRequest stops the timer while a request is in hand).
void boundRequests(QTcpSocket *socket)
{
    auto *bound = new QTimer(socket);
    bound->setObjectName(REQUEST_BOUND);
    bound->setSingleShot(true);
    bound->setInterval(IDLE_MS);
    QObject::connect(bound, &QTimer::timeout, socket, &QAbstractSocket::abort);
    bound->start();
    auto unanswered = std::make_shared<qint64>(0);
    QObject::connect(socket, &QIODevice::bytesWritten, bound, [unanswered, bound] {
        *unanswered = 0;
        bound->start();
    });
    QObject::connect(socket, &QIODevice::readyRead, bound, [socket, unanswered] {
        *unanswered += socket->bytesAvailable();
        if (*unanswered <= MAX_REQUEST)
            return;
        socket->write("HTTP/1.1 413 Content Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        socket->flush();
        socket->abort();
    });
}

// A listening socket whose connections are counted and bounded as they
// come, before a TLS handshake and before the HTTP server sees them; past
// MAX_CONNECTIONS one is closed unread. A connection counts while it is
// connected, whoever holds its socket then.
template <class Server>
class BoundedServer : public Server {
public:
    using Server::Server;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        std::erase_if(open_, [](const QPointer<QTcpSocket> &s) {
            return !s || s->state() == QAbstractSocket::UnconnectedState;
        });
        if (open_.size() >= MAX_CONNECTIONS) {
            ::close(int(descriptor));
            return;
        }
        if constexpr (std::is_same_v<Server, QSslServer>) {
            // Its socket is made here, and pending once encrypted; Qt takes
            // no more than its pending bound (30) mid-handshake at once and
            // closes one silent for 5 s.
            Server::incomingConnection(descriptor);
            const auto made = this->template findChildren<QTcpSocket *>(Qt::FindDirectChildrenOnly);
            const auto it = std::find_if(made.begin(), made.end(),
                                         [descriptor](QTcpSocket *s) { return s->socketDescriptor() == descriptor; });
            if (it != made.end())
                take(*it);
        } else {
            auto *socket = new QTcpSocket(this);
            if (!socket->setSocketDescriptor(descriptor)) {
                delete socket;
                ::close(int(descriptor));
                return;
            }
            take(socket);
            this->addPendingConnection(socket);
        }
    }

private:
    void take(QTcpSocket *socket)
    {
        boundRequests(socket);
        open_.emplace_back(socket);
    }

    std::vector<QPointer<QTcpSocket>> open_;
};

// Asked for when the token is missing: a form for it, and nothing else.
const char TOKEN_FORM[] =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>T-483</title></head><body>"
    "<form method=\"get\"><label>Token <input name=\"token\" type=\"password\" autofocus></label> "
    "<button>OK</button></form></body></html>";

}  // namespace

WebServer::WebServer(const CtlContext &ctx, DecadeWorker *worker, const WebInstrument &instrument)
    : ctx_(ctx), worker_(worker), instrument_(instrument)
{
    view_.identification = instrument.identification;
    worker_->observe(this, [this](const DecadeEffects &e, const std::string &by) { effects(e, by); });
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebServer::acceptWebSockets);
    tick_.setInterval(TICK_MS);
    connect(&tick_, &QTimer::timeout, this, &WebServer::tick);
    if (const std::optional<QByteArray> settings = readSmallFile(instrument.settingsPath))
        language_ = settingsLanguage(*settings);
}

WebServer::~WebServer()
{
    for (auto &page : pages_)
        page->abort();
}

bool WebServer::start(const WebOptions &options, QString *error)
{
    if (!options.tokenFile.isEmpty()) {
        token_ = loadOrCreateToken(options.tokenFile, error);
        if (token_.isEmpty())
            return false;
    } else if (!options.address.isLoopback()) {
        *error = "listening beyond loopback needs --token-file";
        return false;
    }
    if (!options.tlsCert.isEmpty()) {
        const std::optional<QByteArray> cert = readSmallFile(options.tlsCert), key = readSmallFile(options.tlsKey);
        const QSslCertificate certificate(cert.value_or(QByteArray()));
        QSslKey privateKey(key.value_or(QByteArray()), QSsl::Rsa);
        if (privateKey.isNull())
            privateKey = QSslKey(key.value_or(QByteArray()), QSsl::Ec);
        if (certificate.isNull() || privateKey.isNull()) {
            *error = "no PEM certificate in " + options.tlsCert + " or no RSA or EC key in " + options.tlsKey;
            return false;
        }
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(certificate);
        configuration.setPrivateKey(privateKey);
        auto *server = new BoundedServer<QSslServer>(this);
        server->setSslConfiguration(configuration);
        listener_ = server;
        tls_ = true;
    } else {
        listener_ = new BoundedServer<QTcpServer>(this);
    }
    address_ = options.address;
    if (!listener_->listen(options.address, options.port)) {
        *error = "cannot listen there (in use, or no address of this machine)";
        delete listener_;
        listener_ = nullptr;
        return false;
    }
    bind(listener_);
    port_ = listener_->serverPort();
    return true;
}

QString WebServer::url() const
{
    const QString host = address_.protocol() == QAbstractSocket::IPv6Protocol ? "[" + address_.toString() + "]"
                                                                               : address_.toString();
    return QString("%1://%2:%3/").arg(tls_ ? "https" : "http", host).arg(port_);
}

bool WebServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const QString path = request.url().path();
    const auto route = std::find_if(std::begin(ROUTES), std::end(ROUTES),
                                    [&](const Route &r) { return path == r.path; });
    // A WebSocket upgrade, taken here without an answer, is Qt's to carry
    // out, and then acceptWebSockets' to let in or refuse; its frames are
    // bounded there, no longer as a request.
    auto *bound = socket->findChild<QTimer *>(REQUEST_BOUND, Qt::FindDirectChildrenOnly);
    if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
        delete bound;
        return true;
    }
    if (bound)
        bound->stop();
    if (!carriesToken(request.value("Authorization"), request.query().queryItemValue("token"), token_)) {
        log(request.remoteAddress(), QString("refused %1 %2: no token").arg(methodName(request.method()), path));
        QHttpServerResponder responder = makeResponder(request, socket);
        if (route != std::end(ROUTES) && route->file && request.method() == Method::Get)
            responder.write(QByteArray(TOKEN_FORM), {{"Content-Type", "text/html; charset=utf-8"}, {"WWW-Authenticate", "Bearer"}},
                            Status::Unauthorized);
        else
            responder.write(QJsonDocument(QJsonObject{{"error", "a token is needed"}}), {{"WWW-Authenticate", "Bearer"}},
                            Status::Unauthorized);
        return true;
    }
    if (route == std::end(ROUTES) || route->method != request.method() || route->file || path == "/api/instrument")
        return answerAtOnce(request, socket, route);
    if (path == "/api/state")
        answerState(socket);
    else
        operate(request, socket);
    return true;
}

bool WebServer::answerAtOnce(const QHttpServerRequest &request, QTcpSocket *socket, const void *found)
{
    const auto *route = static_cast<const Route *>(found);
    const QString path = request.url().path();
    QHttpServerResponder responder = makeResponder(request, socket);
    if (route == std::end(ROUTES)) {
        writeError(responder, 404, "no such page: " + path);
        return true;
    }
    if (request.method() != route->method) {
        responder.write(QJsonDocument(QJsonObject{{"error", QString("%1 takes %2 only").arg(path, methodName(route->method))}}),
                        {{"Allow", methodName(route->method)}}, Status::MethodNotAllowed);
        return true;
    }
    if (route->file) {
        const std::optional<QByteArray> bytes = readSmallFile(route->file);
        responder.write(bytes.value_or(QByteArray()), {{"Content-Type", route->type}, {"Cache-Control", "no-store"}});
    } else {
        writeJson(responder, instrumentJson(), 200);
    }
    return true;
}

void WebServer::missingHandler(const QHttpServerRequest &, QTcpSocket *socket)
{
    // Not reached: every request is taken above.
    socket->disconnectFromHost();
}

// The state now, or, after a quiet spell, once read afresh.
void WebServer::answerState(Responder responder)
{
    const bool quiet = !active();
    lastApi_.start();
    wake();
    if (!quiet) {
        writeLater(responder, stateJson(view_), 200);
        return;
    }
    awaitingRead_.push_back(responder);
    if (!polling_)
        pollStep(!view_.remote);
}

void WebServer::operate(const QHttpServerRequest &request, Responder responder)
{
    const QString path = request.url().path();
    const QString by = "web " + clientName(request.remoteAddress());
    log(request.remoteAddress(), QString("%1 %2 %3").arg(methodName(request.method()), path,
                                                         QString::fromUtf8(request.body().left(200)).simplified()));
    BodyValue body;
    DecadeWorker::Job job;
    if (path == "/api/remote") {
        body = parseRemoteBody(request.body());
        job = [on = body.value == 1](scpi::Instrument &instrument, scpi::DeviceState &state) {
            if (on) {
                state.remote = instrument.setRemote(true);
            } else {
                state.remote = false;
                instrument.setRemote(false);
            }
        };
    } else if (path == "/api/resistance") {
        body = parseResistanceBody(request.body());
        job = [mohm = body.value](scpi::Instrument &instrument, scpi::DeviceState &state) {
            if (!state.remote) {
                if (!instrument.setRemote(true))
                    return;
                state.remote = true;
            }
            instrument.setResistance(mohm);
        };
    } else {
        body = parsePowerOffBody(request.body());
        job = [](scpi::Instrument &instrument, scpi::DeviceState &state) {
            state.remote = false;
            instrument.powerOff();
        };
    }
    if (body.status != 200) {
        QHttpServerResponder now = makeResponder(request, responder);
        writeError(now, body.status, body.error);
        return;
    }
    respondAfter(std::move(job), by, responder);
}

void WebServer::respondAfter(DecadeWorker::Job job, const QString &by, Responder responder)
{
    lastApi_.start();
    wake();
    worker_->run(std::move(job), by.toStdString(), this, [this, responder](const DecadeEffects &e) {
        if (e.unanswered)
            writeLater(responder, {{"error", e.lost ? "the instrument's port is lost" : "the instrument does not answer"}}, 503);
        else
            writeLater(responder, stateJson(view_), 200);
    });
}

void WebServer::log(const QHostAddress &client, const QString &what)
{
    complain(ctx_, QString("%1 web %2: %3")
                       .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs), clientName(client), what));
}

QJsonObject WebServer::instrumentJson() const
{
    static const char *const LANGUAGES[] = {nullptr, "cs", "sk", "en"};
    return {
        {"model", "T-483"},
        {"manufacturer", "t483"},
        {"identification", instrument_.identification},
        {"version", instrument_.version},
        {"host", QSysInfo::machineHostName()},
        {"com", instrument_.com},
        {"device", instrument_.device},
        {"scpi", instrument_.scpiListening},
        {"http", url()},
        {"language", language_ ? QJsonValue(LANGUAGES[language_]) : QJsonValue()},
    };
}

// Upgrades to /ws with the token and the server's own Origin become pages;
// any other is closed at once (1008), sent nothing.
void WebServer::acceptWebSockets()
{
    while (hasPendingWebSocketConnections()) {
        QWebSocket *socket = nextPendingWebSocketConnection().release();
        socket->setParent(this);
        socket->setMaxAllowedIncomingFrameSize(MAX_PAGE_MESSAGE);
        socket->setMaxAllowedIncomingMessageSize(MAX_PAGE_MESSAGE);
        const QNetworkRequest request = socket->request();
        const QUrl url = socket->requestUrl();
        const bool allowed = url.path() == "/ws" &&
            carriesToken(request.rawHeader("Authorization"), QUrlQuery(url).queryItemValue("token"), token_) &&
            sameOrigin(socket->origin().toUtf8(), request.rawHeader("Host"), tls_);
        if (!allowed || pages_.size() >= MAX_PAGES) {
            if (!allowed)
                log(socket->peerAddress(), "refused a WebSocket: " + (socket->origin().isEmpty() ? "no token" : "origin " + socket->origin() + " or no token"));
            connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            socket->close(allowed ? QWebSocketProtocol::CloseCode(1013) : QWebSocketProtocol::CloseCodePolicyViolated);
            continue;
        }
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            const auto it = std::find_if(pages_.begin(), pages_.end(), [socket](const auto &p) { return p.get() == socket; });
            if (it != pages_.end()) {
                it->release()->deleteLater();
                pages_.erase(it);
            }
        });
        pages_.emplace_back(socket);
        socket->sendTextMessage(QString::fromUtf8(QJsonDocument(stateJson(view_)).toJson(QJsonDocument::Compact)));
        wake();
    }
}

void WebServer::effects(const DecadeEffects &e, const std::string &by)
{
    if (applyEffects(view_, e, QString::fromStdString(by), QDateTime::currentDateTimeUtc()))
        push();
}

void WebServer::push()
{
    const QString message = QString::fromUtf8(QJsonDocument(stateJson(view_)).toJson(QJsonDocument::Compact));
    for (auto &page : pages_)
        page->sendTextMessage(message);
}

bool WebServer::active() const
{
    return !pages_.empty() || (lastApi_.isValid() && !lastApi_.hasExpired(API_QUIET_MS));
}

void WebServer::wake()
{
    if (!tick_.isActive())
        tick_.start();
}

void WebServer::tick()
{
    if (!active()) {
        tick_.stop();
        return;
    }
    if (!polling_)
        pollStep(!view_.remote);
}

// K (under local control), then M, each a turn of its own on the line.
void WebServer::pollStep(bool resistanceToo)
{
    polling_ = true;
    worker_->run([resistanceToo](scpi::Instrument &instrument, scpi::DeviceState &) {
        if (resistanceToo)
            instrument.resistance();
        else
            instrument.voltage();
    }, {}, this, [this, resistanceToo](const DecadeEffects &e) {
        if (resistanceToo && !e.lost)
            pollStep(false);
        else
            pollDone();
    });
}

void WebServer::pollDone()
{
    polling_ = false;
    for (const Responder &responder : awaitingRead_)
        writeLater(responder, stateJson(view_), 200);
    awaitingRead_.clear();
}
