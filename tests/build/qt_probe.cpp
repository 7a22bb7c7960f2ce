// A source of the program's own that reaches for Qt: it must not compile.
#include "app/state.h"

#include <QString>

int probe(void)
{
    return QString("x").size() + R;
}
