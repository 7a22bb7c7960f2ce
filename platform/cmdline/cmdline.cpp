// The command line on QCommandLineParser. The arguments are parsed with no
// application object; a QCoreApplication (no display) is made only to print
// the help, whose usage line names the program as it was called, and the
// process ends soon after. No object of Qt outlives the call, so that the
// run-time starts afterwards as it would without any arguments.
#include "platform/cmdline.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QList>
#include <QStringList>

#include <cstdio>

namespace {

enum { STATUS_USAGE = 2 };

// The values handed out, kept for the rest of the process.
QList<QByteArray> &kept()
{
    static QList<QByteArray> values;
    return values;
}

QString helpText(int argc, char **argv, const QCommandLineParser &parser)
{
    QCoreApplication app(argc, argv);
    return parser.helpText();
}

void print(FILE *to, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    fwrite(bytes.constData(), 1, bytes.size(), to);
    fflush(to);
}

}  // namespace

int ReadCommandLine(int argc, char **argv, const char *version, const char *description,
                    const CmdLineOption *options, int count, const char **values)
{
    for (int k = 0; k < count; k++)
        values[k] = nullptr;
    if (argc <= 1)
        return CMDLINE_RUN;

    QStringList arguments;
    for (int k = 0; k < argc; k++)
        arguments << QString::fromLocal8Bit(argv[k]);
    const QString name = QFileInfo(arguments.first()).fileName();

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    // As addHelpOption and addVersionOption have them, but without
    // --help-all: the run-time takes none of Qt's own options.
    const QCommandLineOption help({"?", "h", "help"}, "Displays help on commandline options.");
    const QCommandLineOption showVersion({"v", "version"}, "Displays version information.");
    parser.addOption(help);
    parser.addOption(showVersion);
    QList<QCommandLineOption> own;
    for (int k = 0; k < count; k++) {
        const QStringList names = QString::fromUtf8(options[k].names).split('|');
        own << (options[k].valueName
                    ? QCommandLineOption(names, QString::fromUtf8(options[k].description),
                                         QString::fromUtf8(options[k].valueName))
                    : QCommandLineOption(names, QString::fromUtf8(options[k].description)));
        parser.addOption(own.last());
    }

    QString error;
    if (!parser.parse(arguments))
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QString("Unexpected argument '%1'.").arg(parser.positionalArguments().first());
    if (!error.isEmpty()) {
        print(stderr, name + ": " + error + "\n\n" + helpText(argc, argv, parser));
        return STATUS_USAGE;
    }
    if (parser.isSet(help)) {
        print(stdout, helpText(argc, argv, parser));
        return 0;
    }
    if (parser.isSet(showVersion)) {
        print(stdout, name + ' ' + QString::fromUtf8(version) + '\n');
        return 0;
    }
    for (int k = 0; k < count; k++) {
        if (!parser.isSet(own[k]))
            continue;
        kept() << (options[k].valueName ? parser.value(own[k]).toLocal8Bit() : QByteArray(""));
        values[k] = kept().last().constData();
    }
    return CMDLINE_RUN;
}
