// t483ctl serve: SCPI over a raw TCP socket (port 5025), as instruments with
// a LAN port offer it. Here its command line; the run is serve_run.cpp, the
// clients serve_server.cpp, the decade's thread serve_worker.cpp, the SCPI
// parsing and error queues scpi.h.
#include "ctl/verbs.h"

#include "ctl/decade.h"
#include "ctl/serve_run.h"
#include "ctl/web_server.h"

#include <QHostAddress>

namespace {

constexpr quint16 DEFAULT_PORT = 5025;

// "ADDRESS:PORT", ":PORT", "ADDRESS", "[IPV6]:PORT", "[IPV6]"; "localhost"
// is 127.0.0.1. False for anything else.
bool parseListen(const QString &text, QHostAddress *address, quint16 *port, quint16 defaultPort = DEFAULT_PORT)
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
    *port = defaultPort;
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint n = portText.toUInt(&ok);
        if (!ok || n > 65535 || portText.startsWith('+'))
            return false;
        *port = quint16(n);
    }
    return true;
}

// The web panel's options: --http [ADDR:]PORT (a number alone is a port on
// loopback), --no-http, --token-file, --tls-cert with --tls-key. False with
// the reason in *error.
bool webOptions(const QCommandLineParser &parser, WebOptions *web, QString *error)
{
    const QString http = parser.value("http");
    web->enabled = !parser.isSet("no-http");
    web->given = parser.isSet("http");
    if (web->given) {
        bool number = false;
        const uint port = http.toUInt(&number);
        if (number && port <= 65535 && !http.startsWith('+')) {
            web->port = quint16(port);
        } else if (!parseListen(http, &web->address, &web->port, web->port)) {
            *error = "'" + http + "' is no address to listen on: [ADDRESS:]PORT";
            return false;
        }
    }
    web->tokenFile = parser.value("token-file");
    web->tlsCert = parser.value("tls-cert");
    web->tlsKey = parser.value("tls-key");
    if (web->tlsCert.isEmpty() != web->tlsKey.isEmpty()) {
        *error = "--tls-cert and --tls-key go together";
        return false;
    }
    return true;
}

}  // namespace

int serveVerb(CtlContext &ctx, const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Serves SCPI over a raw TCP socket: commands end in LF (CR LF taken), replies in LF.\n"
        "Up to 16 clients at once; their commands reach the decade one at a time.\n"
        "SCPI has no authentication: whoever reaches the port controls the decade.\n"
        "Beside it a web panel and JSON API (http://127.0.0.1:8483/ unless --http or --no-http say\n"
        "otherwise), and both advertised by mDNS where Avahi runs.");
    const QCommandLineOption listen("listen",
        "Where to listen: ADDRESS:PORT, :PORT, ADDRESS or [IPV6]:PORT (default 127.0.0.1:5025; "
        "port 0 picks a free one). Any address but loopback opens the decade to the network.",
        "ADDRESS:PORT");
    parser.addOption(listen);
    parser.addOptions({
        {"http", "The web panel's address: [ADDRESS:]PORT (default 127.0.0.1:8483). Beyond loopback it asks "
                 "for the token of --token-file.", "[ADDRESS:]PORT"},
        {"no-http", "No web panel."},
        {"token-file", "The web panel's token (created with a new random one, mode 0600, when missing); "
                       "also asked on loopback when given.", "FILE"},
        {"tls-cert", "Serve the web panel over HTTPS with this PEM certificate...", "FILE"},
        {"tls-key", "...and this PEM private key.", "FILE"},
        {"no-mdns", "Do not advertise SCPI and the web panel by mDNS (Avahi)."},
    });
    int status = CTL_DONE;
    if (!parseVerb(parser, args, ctx, &status))
        return status;
    if (parser.positionalArguments().size() > 1)
        return usageError(ctx, "serve takes no arguments");
    QHostAddress address(QHostAddress::LocalHost);
    quint16 port = DEFAULT_PORT;
    if (parser.isSet(listen) && !parseListen(parser.value(listen), &address, &port))
        return usageError(ctx, "'" + parser.value(listen) + "' is no address to listen on: ADDRESS:PORT, :PORT, ADDRESS or [IPV6]:PORT");
    WebOptions web;
    QString error;
    if (!webOptions(parser, &web, &error))
        return usageError(ctx, error);
    return serveUntilSignalled(ctx, address, port, web, !parser.isSet("no-mdns"));
}
