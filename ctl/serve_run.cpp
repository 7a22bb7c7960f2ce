// serve's run: the port and the instrument on it, the server listening, the
// signals that end it, and the decade given back.
#include "ctl/serve_run.h"

#include "ctl/decade.h"
#include "ctl/serve_server.h"
#include "ctl/serve_worker.h"
#include "ctl/web_mdns.h"
#include "ctl/web_server.h"
#include "app/settings.h"
#include "platform/signals.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QSysInfo>

#include <csignal>

namespace {

// The port first, then whether a T-483 answers on it: CTL_DONE with its
// identification in *ident, else the status, said why.
int openT483(const CtlContext &ctx, Decade &decade, int *ident)
{
    const int status = openDecade(ctx, decade);
    if (status != CTL_DONE)
        return status;
    const std::optional<int> answer = decade.identify();
    if (!answer)
        return noAnswer(ctx, decade);
    if (!Decade::isT483(*answer)) {
        complain(ctx, QString("not a T-483 on COM%1 (%2): identification %3")
                          .arg(decade.port()).arg(QString::fromStdString(decade.device())).arg(*answer));
        return CTL_NO_INSTRUMENT;
    }
    *ident = *answer;
    return CTL_DONE;
}

QString hostPort(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + address.toString() + "]"
                                                                              : address.toString();
    return host + ':' + QString::number(port);
}

// The web panel, when asked for, listening: none when not asked for or
// when it cannot listen (then *status says why, and it is said).
std::unique_ptr<WebServer> startWeb(const CtlContext &ctx, DecadeWorker &worker, const WebOptions &options,
                                    const WebInstrument &instrument, int *status)
{
    if (!options.enabled)
        return nullptr;
    auto web = std::make_unique<WebServer>(ctx, &worker, instrument);
    QString error;
    if (!web->start(options, &error)) {
        complain(ctx, "cannot serve the web panel on " + hostPort(options.address, options.port) + ": " + error +
                          (options.given ? QString() : QString("; serving SCPI alone")));
        *status = options.given ? CTL_PORT : CTL_DONE;
        return nullptr;
    }
    if (web->tokenRequired())
        complain(ctx, "serve: the web panel asks for the token in " + options.tokenFile);
    return web;
}

}  // namespace

int serveUntilSignalled(const CtlContext &ctx, const QHostAddress &address, quint16 port, const WebOptions &webOptions,
                        bool mdns)
{
    Decade decade;
    int ident = 0;
    const int status = openT483(ctx, decade, &ident);
    if (status != CTL_DONE)
        return status;
    const int com = decade.port();
    const QString device = QString::fromStdString(decade.device());

    // From here until worker.stop() the decade is the worker's.
    DecadeWorker worker(ctx, decade, ident);
    ScpiServer server(ctx, &worker, {ident, T483_VERSION});
    QString error;
    if (!server.listen(address, port, &error)) {
        complain(ctx, "cannot listen on " + hostPort(address, port) + ": " + error);
        return CTL_PORT;
    }
    const QString where = hostPort(address, server.port());
    int webStatus = CTL_DONE;
    const std::unique_ptr<WebServer> web =
        startWeb(ctx, worker, webOptions, {ident, T483_VERSION, device, where, ini_path(), com}, &webStatus);
    if (webStatus != CTL_DONE)
        return webStatus;
    worker.start();
    std::unique_ptr<MdnsAdvert> advert;
    if (mdns)
        advert = std::make_unique<MdnsAdvert>(ctx, MdnsServices{
            QString("T-483 %1 on %2").arg(ident).arg(QSysInfo::machineHostName()).toStdString(), ident, T483_VERSION,
            server.port(), web ? web->port() : 0});
    if (!address.isLoopback())
        complain(ctx, "serve: SCPI has no authentication: anyone who reaches " + where + " controls the decade");

    // SIGINT, SIGTERM and SIGHUP (the terminal or the session gone) end the
    // event loop; a client gone between two writes must not end the
    // server: SIGPIPE is ignored.
    signal(SIGPIPE, SIG_IGN);
    const int signalFd = SignalPipeOpen({SIGINT, SIGTERM, SIGHUP});
    if (signalFd < 0) {
        complain(ctx, "serve: no pipe for signals");
        return CTL_PORT;
    }
    QSocketNotifier notifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, qApp, [] {
        SignalPipeDrain();
        QCoreApplication::quit();
    });

    const QString http = web ? web->url() : QString();
    printResult(ctx, {{"listening", where}, {"address", address.toString()}, {"port", server.port()},
                      {"com", com}, {"device", device}, {"identification", ident},
                      {"http", web ? QJsonValue(http) : QJsonValue()}},
                QString("listening on %1 (COM%2 %3)").arg(where).arg(com).arg(device) +
                    (web ? "\nweb panel on " + http : QString()));
    QCoreApplication::exec();

    server.stop();
    SignalPipeRestore({SIGINT, SIGTERM, SIGHUP});
    // The command in hand, if any, ends before the server goes.
    worker.stop();
    return CTL_DONE;
}
