// The command line, read by the conventions of Qt programs
// (QCommandLineParser): -h, --help and -?, and -v, --version print to
// standard output and the program is to end with 0; an unknown option, an
// option without its value or an argument that is no option prints the
// error and the usage to standard error and the program is to end with 2.
// Nothing here needs a display.
#pragma once

// An option the program takes besides help and version.
struct CmdLineOption {
    const char *names;        // its names, '|' between them: "p|port"
    const char *valueName;    // the name of its value in the help; nullptr for a switch
    const char *description;  // its line in the help
};

enum { CMDLINE_RUN = -1 };

// Reads argv against `options` (count of them). Returns CMDLINE_RUN when
// the program is to run on, values[k] then being the value given for
// options[k]: nullptr when it was not given, "" for a switch that was (valid
// for the rest of the process). Otherwise the help, the version ("NAME
// VERSION", NAME from argv[0]) or the error has been printed, and the
// result is the status to end with. With no arguments nothing is printed
// and no Qt code runs.
int ReadCommandLine(int argc, char **argv, const char *version, const char *description,
                    const CmdLineOption *options, int count, const char **values);
