// Text services: comparing, measuring, scanning and composing byte strings.
// Texts are single bytes (Windows-1250); only ASCII letters and digits have a
// meaning of their own here.
#include "platform/text.h"

#include <climits>
#include <cstdarg>
#include <cstring>

static int fold(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

// Stops early where both texts end together, so that n larger than either
// text never reads past its terminator.
int CompareBytes(const char *a, int aIndex, const char *b, int bIndex, int n,
                 int caseSensitive)
{
    if (!a || !b)
        return a == b ? 0 : (a ? 1 : -1);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(a) + aIndex;
    const unsigned char *q = reinterpret_cast<const unsigned char *>(b) + bIndex;
    for (int k = 0; k < n; k++) {
        int x = caseSensitive ? p[k] : fold(p[k]);
        int y = caseSensitive ? q[k] : fold(q[k]);
        if (x != y)
            return x - y;
        if (x == 0)
            break;
    }
    return 0;
}

int StringLength(const char *s)
{
    return s ? static_cast<int>(std::strlen(s)) : 0;
}

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads the run of ASCII digits at p, negated when asked, as an int. False
// when there is no digit or the value does not fit an int.
static bool read_digits(const char *p, bool negative, int *value)
{
    if (!is_digit(*p))
        return false;
    long long v = 0;
    for (; is_digit(*p); p++) {
        v = v * 10 + (*p - '0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v > INT_MAX)
        return false;
    *value = static_cast<int>(v);
    return true;
}

// An integer at the start of s: blanks, an optional sign, then digits.
static bool read_int(const char *s, int *value)
{
    while (*s == ' ' || *s == '\t')
        s++;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+')
        s++;
    return read_digits(s, negative, value);
}

// The formats the program scans with. The first number after some text is
// read without a sign: the text before it may well end in a hyphen, as in
// the instrument's own name "T-483".
int Scan(const char *source, const char *format, ...)
{
    if (!source)
        source = "";
    if (!format)
        return -1;
    va_list args;
    va_start(args, format);
    int *out = va_arg(args, int *);
    va_end(args);

    int value = 0;
    if (std::strcmp(format, "%s>%i") == 0) {
        if (!read_int(source, &value))
            return 0;
        if (out)
            *out = value;
        return 1;
    }
    if (std::strcmp(format, "%s>%s[dt#]%i") == 0) {
        const char *p = source;
        while (*p && !is_digit(*p))
            p++;
        if (!*p)
            return 0;
        if (!read_digits(p, false, &value))
            return 1;
        if (out)
            *out = value;
        return 2;
    }
    return -1;
}

// Appends text to target without passing its end; counts every byte offered.
struct Composer {
    char *target;
    int size;
    int length;
};

static void put(Composer *c, const char *text, int n)
{
    for (int k = 0; k < n; k++, c->length++)
        if (c->length < c->size - 1)
            c->target[c->length] = text[k];
}

int Fmt(char *target, int targetSize, const char *format, ...)
{
    if (!target)
        targetSize = 0;
    Composer c = {target, targetSize, 0};
    if (!format)
        format = "";
    va_list args;
    va_start(args, format);
    for (const char *f = format; *f; f++) {
        if (*f != '%' || !f[1]) {
            put(&c, f, 1);
            continue;
        }
        f++;
        if (*f == 's') {
            const char *s = va_arg(args, const char *);
            if (!s)
                s = "";
            put(&c, s, StringLength(s));
        } else if (*f == 'd' || *f == 'i') {
            char digits[16];
            int n = 0;
            int v = va_arg(args, int);
            unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
            do {
                digits[sizeof digits - 1 - n++] = static_cast<char>('0' + u % 10);
                u /= 10;
            } while (u);
            if (v < 0)
                digits[sizeof digits - 1 - n++] = '-';
            put(&c, digits + sizeof digits - n, n);
        } else if (*f == '%') {
            put(&c, "%", 1);
        } else {
            put(&c, f - 1, 2);  // not a conversion this composer knows: kept as written
        }
    }
    va_end(args);
    if (targetSize > 0)
        target[c.length < targetSize - 1 ? c.length : targetSize - 1] = 0;
    return c.length;
}
