// serve's web panel: HTTP (or HTTPS) beside SCPI, on Qt's HTTP server. The
// page and the instrument page come from the program's resources and draw
// the panel from the layout the desktop panel is built from; the state is
// pushed over a WebSocket at /ws; a small JSON API under /api/ sets the
// decade through the same worker as SCPI, one command on the line at a
// time. While a page is open, or an API request came within the last 5 s,
// the server polls K (under local control) and M on the panel's tick, one
// command at a time, so SCPI clients take turns with it.
#pragma once

#include "ctl/cli.h"
#include "ctl/web_api.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <memory>
#include <vector>

class DecadeWorker;
class QHttpServerResponder;

// How serve's command line set up the web panel.
struct WebOptions {
    bool enabled = true;
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 8483;
    bool given = false;             // --http given: not listening there ends serve
    QString tokenFile;              // "": no token asked on loopback
    QString tlsCert, tlsKey;        // both or neither
};

// What the instrument page tells.
struct WebInstrument {
    int identification = 0;
    QString version, device, scpiListening, settingsPath;
    int com = 0;
};

class WebServer : public QAbstractHttpServer {
public:
    WebServer(const CtlContext &ctx, DecadeWorker *worker, const WebInstrument &instrument);
    ~WebServer() override;

    // Reads the token and the certificate, then listens; false with the
    // reason in *error.
    bool start(const WebOptions &options, QString *error);
    QString url() const;
    quint16 port() const { return port_; }
    bool tokenRequired() const { return !token_.isEmpty(); }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    // A request answered once the decade's thread is done: its socket,
    // written to then only if still there.
    using Responder = QPointer<QTcpSocket>;
    // What is answered within handleRequest: files, errors, the instrument.
    bool answerAtOnce(const QHttpServerRequest &request, QTcpSocket *socket, const void *route);
    void answerState(Responder responder);
    void operate(const QHttpServerRequest &request, Responder responder);
    void respondAfter(DecadeWorker::Job job, const QString &by, Responder responder);
    void log(const QHostAddress &client, const QString &what);
    QJsonObject instrumentJson() const;

    void acceptWebSockets();
    void effects(const DecadeEffects &effects, const std::string &by);
    void push();
    bool active() const;
    void wake();
    void tick();
    void pollStep(bool resistanceToo);
    void pollDone();

    const CtlContext &ctx_;
    DecadeWorker *worker_;
    WebInstrument instrument_;
    WebView view_;
    QString token_;
    QTcpServer *listener_ = nullptr;   // bound to this; connections counted, each request bounded
    bool tls_ = false;
    QHostAddress address_;
    quint16 port_ = 0;
    int language_ = 0;

    std::vector<std::unique_ptr<QWebSocket>> pages_;
    QTimer tick_;
    QElapsedTimer lastApi_;
    bool polling_ = false;            // a poll's command is with the worker
    std::vector<Responder> awaitingRead_;
};
