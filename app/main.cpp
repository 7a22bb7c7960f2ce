// The process entry: reads the command line, then hands over to WinMain as
// a Windows start-up would, with an empty command line and the default show
// mode. Help, version and a wrong command line end the process before the
// run-time starts, so none of them needs a display.
#include "app/startup.h"
#include "platform/cmdline.h"
#include "platform/trace.h"

#include <cstdlib>

int main(int argc, char **argv)
{
    enum { PORT };  // the options' places in the list
    static const CmdLineOption options[] = {
        {"p|port", "device", "Use <device> as COM1 for this run (it overrides T483_COM1)."},
    };
    const char *values[sizeof options / sizeof options[0]];
    const int status = ReadCommandLine(argc, argv, T483_VERSION,
                                       "Control panel for the T-483 high-resistance decade.",
                                       options, sizeof options / sizeof options[0], values);
    if (status != CMDLINE_RUN)
        return status;
    // The environment is where every part of the program looks up the port.
    if (values[PORT])
        setenv("T483_COM1", values[PORT], 1);
    // A trace file (T483_TRACE=FILE) is opened now, so that one which
    // cannot be opened is reported at start-up, not at the first command.
    TraceOn();

    enum { SW_SHOWDEFAULT = 10 };
    static int module;  // stands for the module handle: only its address matters
    static char line[] = "";
    return WinMain(&module, nullptr, line, SW_SHOWDEFAULT);
}
