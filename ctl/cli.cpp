// Options, messages and output shared by the verbs of t483ctl.
#include "ctl/cli.h"

#include "ctl/decade.h"

#include <QJsonDocument>

#include <cstdio>

namespace {

void write(FILE *to, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    fflush(to);
}

}  // namespace

void printOut(const QString &text)
{
    write(stdout, text);
}

void printErr(const QString &text)
{
    write(stderr, text);
}

void complain(const CtlContext &ctx, const QString &text)
{
    printErr(ctx.program + ": " + text + "\n");
}

int usageError(const CtlContext &ctx, const QString &text)
{
    printErr(ctx.program + ": " + text + "\nTry '" + ctx.program + " --help'.\n");
    return CTL_USAGE;
}

bool parseVerb(QCommandLineParser &parser, const QStringList &args, CtlContext &ctx, int *status)
{
    const QCommandLineOption port({"p", "port"}, "The port: COM1 to COM8, or a device (made COM1).", "COMn|device");
    const QCommandLineOption json("json", "Print the result as one JSON object.");
    const QCommandLineOption help({"h", "help"}, "Displays this help.");
    parser.addOption(port);
    parser.addOption(json);
    parser.addOption(help);
    // The first argument stands where a program's name would.
    if (!parser.parse(QStringList{ctx.program} + args)) {
        printErr(ctx.program + ": " + parser.errorText() + "\n\n" + parser.helpText());
        *status = CTL_USAGE;
        return false;
    }
    if (parser.isSet(help)) {
        // "Usage: t483ctl VERB [options] ...", whatever path it was called by.
        QString text = parser.helpText();
        const qsizetype options = text.indexOf(" [options]");
        if (text.startsWith("Usage: ") && options > 0)
            text.replace(7, options - 7, ctx.program + ' ' + args.value(0));
        printOut(text);
        *status = CTL_DONE;
        return false;
    }
    if (parser.isSet(port))
        ctx.port = parser.value(port);
    if (parser.isSet(json))
        ctx.json = true;
    return true;
}

int openDecade(const CtlContext &ctx, Decade &decade)
{
    std::string error;
    const int port = choose_port(ctx.port.toStdString(), &error);
    if (port == 0)
        return usageError(ctx, qs(error));
    if (decade.open(port, &error) != 0) {
        complain(ctx, QString::fromLocal8Bit(error.c_str()));
        return CTL_PORT;
    }
    return CTL_DONE;
}

int noAnswer(const CtlContext &ctx, const Decade &decade)
{
    const QString where = QString("COM%1 (%2)").arg(decade.port()).arg(qs(decade.device()));
    complain(ctx, decade.lost() ? "the device is gone: " + where
                                : "no answer from a T-483 on " + where);
    return CTL_NO_INSTRUMENT;
}

void printResult(const CtlContext &ctx, const QJsonObject &object, const QString &plain)
{
    if (ctx.json)
        printOut(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + "\n");
    else if (!plain.isEmpty())
        printOut(plain.endsWith('\n') ? plain : plain + "\n");
}
