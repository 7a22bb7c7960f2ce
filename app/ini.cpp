// The configuration file reader: one integer key of one section of T483.INI,
// checked against exclusive bounds.
#include "app/ini.h"

#include "app/state.h"
#include "app/texts.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/ui.h"


enum { LINE_LIMIT = 81 };  // bytes of a line read at a time; radek holds them

// The first number on a line: its run of digits, negative when a minus sign
// comes directly before them. 0 when there is no number, or it does not fit
// an int.
static int first_number(const char *line, int *value)
{
    const char *p = line;
    while (*p && (*p < '0' || *p > '9'))
        p++;
    if (!*p)
        return 0;
    if (p > line && p[-1] == '-')
        p--;
    return Scan(p, "%s>%i", value) == 1;
}

// The section header is any line beginning with the section text, a key line
// any line after it beginning with the key (case ignored in both), up to the
// next line beginning with "[". The value is the first number on the key
// line. An unacceptable value is reported with the whole key line, which
// radek1 has room for (see app/state.h); the line goes in as text, so a line
// holding '%' is shown as it stands.
int ini_rd(const char *section, const char *key, int lower, int upper, int *out)
{
    int result = 0;         // last ReadLine result; negative at end of file or error
    int section_found = 0;
    int key_found = 0;
    int value = 0;

    SetFilePtr(fhi, 0, 0);
    while (result >= 0 && !section_found) {
        result = ReadLine(fhi, radek, LINE_LIMIT);
        if (result >= 0 && CompareBytes(radek, 0, section, 0, StringLength(section), 0) == 0)
            section_found = 1;
    }

    radek[0] = 0;
    while (result >= 0 && !key_found && radek[0] != '[') {
        result = ReadLine(fhi, radek, LINE_LIMIT);
        if (result >= 0 && CompareBytes(radek, 0, key, 0, StringLength(key), 0) == 0)
            key_found = 1;
    }

    if (result < 0 || !section_found || !key_found)
        return 0;

    if (first_number(radek, &value) && value > lower && value < upper) {
        *out = value;
        return 1;
    }

    Fmt(t2, sizeof t2, "%s", ini_error_template(language));
    Fmt(radek1, sizeof radek1, t2, section, radek);
    MessagePopup(SW, radek1);
    return 0;
}
