// What every verb of t483ctl shares: the options that may come before or
// after the verb, the parsing of a verb's own options, and the output, plain
// (one value a line) or one JSON object.
#pragma once

#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <string>

class Decade;

// A string of the plain C++ parts (UTF-8) as a QString.
inline QString qs(const std::string &s)
{
    return QString::fromStdString(s);
}

struct CtlContext {
    QString program;   // the name the program was called by, for messages
    QString port;      // --port as given, "" for none
    bool json = false; // --json
};

// Parses `args` (the verb first, then its arguments) with the verb's own
// options already added to `parser` and the shared ones (--port, --json,
// --help) added here. On --help prints the verb's help and sets *status 0;
// on an error prints it and the usage to standard error and sets *status
// CTL_USAGE; either way returns false. Positional arguments after the verb
// are checked by the caller.
bool parseVerb(QCommandLineParser &parser, const QStringList &args, CtlContext &ctx, int *status);

// A usage error of a verb: "t483ctl: TEXT" and a hint at --help on standard
// error. Returns CTL_USAGE.
int usageError(const CtlContext &ctx, const QString &text);
// "t483ctl: TEXT" on standard error.
void complain(const CtlContext &ctx, const QString &text);

// Chooses and opens the port --port names. On failure says why (as the
// panel would) and returns CTL_USAGE or CTL_PORT; else CTL_DONE.
int openDecade(const CtlContext &ctx, Decade &decade);
// "no answer from the T-483 on COM1 (/dev/ttyS0)" on standard error (or
// "the device is gone" when the read found it so). Returns CTL_NO_INSTRUMENT.
int noAnswer(const CtlContext &ctx, const Decade &decade);

// Prints the result of a verb: `object` as one line of JSON with --json,
// else `plain` (its lines each a value; nothing when empty).
void printResult(const CtlContext &ctx, const QJsonObject &object, const QString &plain);

// Writes text to standard output or error as it stands, flushed.
void printOut(const QString &text);
void printErr(const QString &text);
