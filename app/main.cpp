// The process entry: hands over to WinMain as a Windows start-up would, with
// an empty command line (the program takes no arguments) and the default
// show mode.
#include "app/startup.h"

int main(int, char **)
{
    enum { SW_SHOWDEFAULT = 10 };
    static int module;  // stands for the module handle: only its address matters
    static char line[] = "";
    return WinMain(&module, nullptr, line, SW_SHOWDEFAULT);
}
