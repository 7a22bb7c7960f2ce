// t483ctl: the T-483 from scripts and from lab automation.
//
//   t483ctl [--port COMn|DEVICE] [--json] VERB [ARGUMENTS]
//
// Verbs of one command each (ports, identify, get, voltage, set, local,
// off, raw) are here; serve, sweep and report have files of their own.
// Every command goes through the panel's link: one command, one whole reply
// within 0.3 s.
#include "ctl/cli.h"
#include "ctl/decade.h"
#include "ctl/verbs.h"
#include "platform/serial.h"
#include "platform/trace.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonObject>

#include <cstdlib>
#include <functional>
#include <memory>

namespace {

const char OVERVIEW[] =
    "Usage: %1 [--port COMn|DEVICE] [--json] VERB [ARGUMENTS]\n"
    "Drives a T-483 high-resistance decade over its serial line.\n"
    "\n"
    "Verbs:\n"
    "  ports            the serial devices found, as the panel's COM menu lists them\n"
    "  identify         \"I\": the identification value, and whether it is a T-483's\n"
    "  get              \"K\": the resistance in MOhm (the front panel's under local control)\n"
    "  voltage          \"M\": the selected test voltage in volts (0 when none)\n"
    "  set N            \"L0\", \"R\"N, then \"K\" to confirm: remote control at N MOhm\n"
    "                   (0 to 16221)\n"
    "  local            \"L1\": back to the front panel\n"
    "  off              \"P0\": switch the decade off\n"
    "  raw TEXT         any command; prints its reply (service work)\n"
    "  serve            SCPI over TCP (raw socket, port 5025)\n"
    "  sweep PLAN       a guided calibration sweep, recorded to a file\n"
    "  report RECORD    a sweep's record as a PDF\n"
    "'%1 VERB --help' tells more of a verb.\n"
    "\n"
    "Options:\n"
    "  -p, --port COMn|DEVICE  the port: COM1 to COM8 (default COM1), or a device,\n"
    "                          made COM1 for the run; T483_COM<n> and the settings\n"
    "                          file map the COM numbers as for the panel\n"
    "  --json                  the result as one JSON object\n"
    "  -h, --help              this help\n"
    "  -v, --version           the version\n"
    "\n"
    "Exit status: 0 done; 1 the instrument did not answer or is not a T-483;\n"
    "2 usage; 3 the port could not be opened (serve: or its address).\n";

// A verb of one command: its name, its one positional argument (empty: none)
// and what it does, once the port is open.
struct SimpleVerb {
    const char *name;
    const char *argument;
    const char *description;
    std::function<int(CtlContext &, Decade &, const QString &)> run;
};

int identify(CtlContext &ctx, Decade &decade, const QString &)
{
    const auto ident = decade.identify();
    if (!ident)
        return noAnswer(ctx, decade);
    const bool ok = Decade::isT483(*ident);
    printResult(ctx, {{"identification", *ident}, {"t483", ok}},
         QString("%1\n%2").arg(*ident).arg(ok ? "T-483" : "not a T-483"));
    return ok ? CTL_DONE : CTL_NO_INSTRUMENT;
}

int get(CtlContext &ctx, Decade &decade, const QString &)
{
    const auto r = decade.resistance();
    if (!r)
        return noAnswer(ctx, decade);
    printResult(ctx, {{"resistance_mohm", *r}}, QString::number(*r));
    return CTL_DONE;
}

int voltage(CtlContext &ctx, Decade &decade, const QString &)
{
    const auto v = decade.voltage();
    if (!v)
        return noAnswer(ctx, decade);
    printResult(ctx, {{"voltage_v", *v}}, QString::number(*v));
    return CTL_DONE;
}

// What the decade answers to L0 and R says nothing of the setting: it is
// confirmed by what K reports.
int set(CtlContext &ctx, Decade &decade, const QString &value)
{
    const int mohm = value.toInt();
    if (!decade.setRemote(true) || !decade.setResistance(mohm))
        return noAnswer(ctx, decade);
    const std::optional<int> now = decade.resistance();
    if (!now)
        return noAnswer(ctx, decade);
    if (*now != mohm) {
        complain(ctx, QString("the decade reports %1 MOhm, not the %2 MOhm set").arg(*now).arg(mohm));
        return CTL_NO_INSTRUMENT;
    }
    printResult(ctx, {{"resistance_mohm", mohm}, {"remote", true}}, value);
    return CTL_DONE;
}

int local(CtlContext &ctx, Decade &decade, const QString &)
{
    if (!decade.setRemote(false))
        return noAnswer(ctx, decade);
    printResult(ctx, {{"remote", false}}, {});
    return CTL_DONE;
}

int off(CtlContext &ctx, Decade &decade, const QString &)
{
    if (!decade.powerOff())
        return noAnswer(ctx, decade);
    printResult(ctx, {{"power", false}}, {});
    return CTL_DONE;
}

int raw(CtlContext &ctx, Decade &decade, const QString &text)
{
    const auto reply = decade.ask(text.toLatin1().toStdString());
    if (!reply)
        return noAnswer(ctx, decade);
    const QString shown = QString::fromLatin1(reply->data(), qsizetype(reply->size()));
    printResult(ctx, {{"command", text}, {"reply", shown}}, shown);
    return CTL_DONE;
}

const SimpleVerb simple_verbs[] = {
    {"identify", "", "Sends \"I\"; prints the identification value and whether it is a T-483's.", identify},
    {"get", "", "Sends \"K\"; prints the resistance in MOhm.", get},
    {"voltage", "", "Sends \"M\"; prints the selected test voltage in volts, 0 when none.", voltage},
    {"set", "N", "Sends \"L0\" (remote control), then \"R\"N: N MOhm, 0 to 16221; then \"K\", which must report N.", set},
    {"local", "", "Sends \"L1\": the front panel controls the decade again.", local},
    {"off", "", "Sends \"P0\": switches the decade off.", off},
    {"raw", "TEXT", "Sends TEXT (and a carriage return); prints the reply.", raw},
};

// The argument of a verb that takes one, checked before the port is touched.
QString checkArgument(const SimpleVerb &verb, const QString &value)
{
    if (QString(verb.name) == "set") {
        bool ok = false;
        const long long n = value.toLongLong(&ok);
        if (!ok || value.startsWith('+') || !Decade::validResistance(n))
            return QString("'%1' is no resistance the decade can be set to: a whole number of MOhm, %2 to %3")
                .arg(value).arg(DECADE_MIN_MOHM).arg(DECADE_MAX_MOHM);
    }
    if (QString(verb.name) == "raw") {
        const QByteArray bytes = value.toLatin1();
        if (value.isEmpty() || bytes.size() > 83 || QString::fromLatin1(bytes) != value)
            return "TEXT must be 1 to 83 characters of Latin-1";
        for (char c : bytes)
            if (c == '\r' || c == '\n' || c == 0)
                return "TEXT must not hold a line end";
    }
    return {};
}

int runSimple(CtlContext &ctx, const SimpleVerb &verb, const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(verb.description);
    if (verb.argument[0])
        parser.addPositionalArgument(verb.argument, "", verb.argument);
    int status = CTL_DONE;
    if (!parseVerb(parser, args, ctx, &status))
        return status;
    const QStringList rest = parser.positionalArguments().mid(1);
    if (rest.size() != (verb.argument[0] ? 1 : 0))
        return usageError(ctx, QString("%1 takes %2").arg(verb.name).arg(verb.argument[0] ? verb.argument : "no arguments"));
    const QString value = rest.value(0);
    const QString wrong = checkArgument(verb, value);
    if (!wrong.isEmpty())
        return usageError(ctx, wrong);
    Decade decade;
    status = openDecade(ctx, decade);
    if (status != CTL_DONE)
        return status;
    return verb.run(ctx, decade, value);
}

int ports(CtlContext &ctx, const QStringList &args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Lists the serial devices found, as the panel's COM menu lists them.");
    int status = CTL_DONE;
    if (!parseVerb(parser, args, ctx, &status))
        return status;
    if (parser.positionalArguments().size() > 1)
        return usageError(ctx, "ports takes no arguments");
    static ComDevice devices[COM_LIST_MAX];
    const int n = ListComDevices(devices, COM_LIST_MAX);
    QJsonArray list;
    QString plain;
    for (int k = 0; k < n; k++) {
        list.append(QJsonObject{{"device", devices[k].device}, {"description", devices[k].description}});
        plain += QString("%1\t%2\n").arg(devices[k].device, devices[k].description);
    }
    printResult(ctx, {{"ports", list}}, plain);
    return CTL_DONE;
}

}  // namespace

// Qt's note that XDG_RUNTIME_DIR is not set (root shells, CI, cron) says
// nothing about a PDF; every other message passes on.
static QtMessageHandler qtMessages = nullptr;

static void quietRuntimeDir(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!message.startsWith("QStandardPaths: XDG_RUNTIME_DIR not set"))
        qtMessages(type, context, message);
}

int main(int argc, char **argv)
{
    CtlContext ctx;
    ctx.program = QFileInfo(QString::fromLocal8Bit(argv[0])).fileName();
    QStringList arguments;
    for (int k = 0; k < argc; k++)
        arguments << QString::fromLocal8Bit(argv[k]);

    // The options before the verb; the verb and all after it are the verb's.
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption port({"p", "port"}, "", "COMn|device");
    const QCommandLineOption json("json", "");
    const QCommandLineOption help({"h", "help", "?"}, "");
    const QCommandLineOption version({"v", "version"}, "");
    parser.addOptions({port, json, help, version});
    if (!parser.parse(arguments))
        return usageError(ctx, parser.errorText());
    if (parser.isSet(help)) {
        printOut(QString(OVERVIEW).arg(ctx.program));
        return CTL_DONE;
    }
    if (parser.isSet(version)) {
        printOut(ctx.program + " " T483_VERSION "\n");
        return CTL_DONE;
    }
    ctx.port = parser.value(port);
    ctx.json = parser.isSet(json);
    const QStringList verbArgs = parser.positionalArguments();
    if (verbArgs.isEmpty())
        return usageError(ctx, "a verb is wanted");
    const QString verb = verbArgs.first();
    // A trace file that cannot be opened is reported before any command.
    TraceOn();

    if (verb == "report") {
        // Painting a PDF needs fonts, not a display.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qtMessages = qInstallMessageHandler(quietRuntimeDir);
        QGuiApplication app(argc, argv);
        return reportVerb(ctx, verbArgs);
    }
    QCoreApplication app(argc, argv);
    if (verb == "serve")
        return serveVerb(ctx, verbArgs);
    if (verb == "sweep")
        return sweepVerb(ctx, verbArgs);
    if (verb == "ports")
        return ports(ctx, verbArgs);
    for (const SimpleVerb &v : simple_verbs)
        if (verb == v.name)
            return runSimple(ctx, v, verbArgs);
    return usageError(ctx, "unknown verb '" + verb + "'");
}
