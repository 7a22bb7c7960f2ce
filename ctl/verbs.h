// The verbs of t483ctl that are more than one command: each parses its own
// arguments (`args`: the verb first) with parseVerb and returns the exit
// status. serve and sweep need a QCoreApplication, report a QGuiApplication,
// made by main before the call.
#pragma once

#include "ctl/cli.h"

int serveVerb(CtlContext &ctx, const QStringList &args);
int sweepVerb(CtlContext &ctx, const QStringList &args);
int reportVerb(CtlContext &ctx, const QStringList &args);
