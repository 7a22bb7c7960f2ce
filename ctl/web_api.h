// The web panel's model of the decade and its small JSON API, without
// sockets: what the pages are shown, how a command's effects change it, the
// bodies the API takes, and who may come in (the token, the Origin).
#pragma once

#include "ctl/serve_worker.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

// What the pages show: the decade as last read, and its last change.
struct WebView {
    int identification = 0;
    std::optional<int> resistance;   // MOhm; none until read or set
    std::optional<int> voltage;      // volts, 0 for none selected
    bool remote = false;
    QString link = "answering";      // "answering", "not answering", "lost"
    bool poweredOff = false;         // P0 answered, and nothing since
    QString changeBy, changeWhat;    // empty until a change
    QDateTime changeTime, readTime;  // UTC
};

// Takes in what a command or job did, sent by `by` ("" for the server's own
// polling: a change it reads is the front panel's). True when what a page
// shows changed.
bool applyEffects(WebView &view, const DecadeEffects &effects, const QString &by, const QDateTime &nowUtc);
// The state as GET /api/state and the WebSocket give it.
QJsonObject stateJson(const WebView &view);

// A request body read: its value, or the status and reason to answer with.
struct BodyValue {
    int value = 0;
    int status = 200;   // 400: not the JSON object asked for; 422: a value out of range
    QString error;
};
// {"on": true|false} -> 1 / 0.
BodyValue parseRemoteBody(const QByteArray &body);
// {"mohm": N}, N a whole number from 0 to 16221.
BodyValue parseResistanceBody(const QByteArray &body);
// {"confirm": true}.
BodyValue parsePowerOffBody(const QByteArray &body);

// Whether a request carries `token`: "Authorization: Bearer TOKEN" or the
// query's token=TOKEN. An empty `token` lets everyone in.
bool carriesToken(const QByteArray &authorization, const QString &queryToken, const QString &token);
// Whether a WebSocket upgrade's Origin is the server's own: the scheme and
// the Host the request was sent to. No Origin (no browser) is let in.
bool sameOrigin(const QByteArray &origin, const QByteArray &host, bool tls);

// The token in `path`: read from it when it is there (a regular file of at
// most 4 KB, its first line), else a new random 128-bit one in hex written
// to a new file of mode 0600. Empty, with the reason in *error, when neither
// can be.
QString loadOrCreateToken(const QString &path, QString *error);

// The language the settings file names (1 Czech, 2 Slovak, 3 English), 0
// when it names none: `language=` in [t483] of `text`.
int settingsLanguage(const QByteArray &text);
