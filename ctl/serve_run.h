// serve's run: the decade identified, SCPI served until a signal ends it.
#pragma once

#include "ctl/cli.h"

#include <QHostAddress>

struct WebOptions;

// Opens the port --port names, checks that a T-483 answers on it, and serves
// its SCPI on address:port (0: a free one) until SIGINT, SIGTERM or SIGHUP,
// printing where once listening; with the web panel of `web` beside it
// (when enabled), advertised by mDNS when `mdns`. The exit status: CTL_DONE after a signal, else what
// ended it first (the port, no T-483, the address).
int serveUntilSignalled(const CtlContext &ctx, const QHostAddress &address, quint16 port, const WebOptions &web,
                        bool mdns);
