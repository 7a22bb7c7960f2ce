// The process entry: hands over to WinMain as a Windows start-up would, with
// the command line after the program's name and the default show mode.
#include "app/startup.h"

#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    std::string line;  // arguments are ignored by the program; passed for form
    for (int a = 1; a < argc; a++) {
        if (a > 1)
            line += ' ';
        line += argv[a];
    }
    enum { SW_SHOWDEFAULT = 10 };
    static int module;  // stands for the module handle: only its address matters
    return WinMain(&module, nullptr, line.data(), SW_SHOWDEFAULT);
}
