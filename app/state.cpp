// Definitions of the program's state, with its defaults.
#include "app/state.h"

#include <cstring>

int demo = 0;
int com = 0;
int run = 0;
int R = 0;
int M = 0;
int i = 0;
int pnl_hl = 0;
int remote = 0;
int fhi = 0;
int language = 1;

char radek[TEXT_SIZE];
char radek1[MESSAGE_SIZE];
char SW[TEXT_SIZE];
char t1[TEXT_SIZE];
char t2[TEXT_SIZE];

// The same values as the definitions above: the texts all zero bytes.
void reset_state(void)
{
    demo = 0;
    com = 0;
    run = 0;
    R = 0;
    M = 0;
    i = 0;
    pnl_hl = 0;
    remote = 0;
    fhi = 0;
    language = 1;
    std::memset(radek, 0, sizeof radek);
    std::memset(radek1, 0, sizeof radek1);
    std::memset(SW, 0, sizeof SW);
    std::memset(t1, 0, sizeof t1);
    std::memset(t2, 0, sizeof t2);
}
