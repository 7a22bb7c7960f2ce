// Definitions of the program's state, with its defaults.
#include "app/state.h"

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
