// Fuzz target: arbitrary instrument replies, put into radek as the link
// stores them (at most 20 bytes, NUL after them), then the three reply scans
// and the identification check. Each scan's result is compared with a plain
// reading of the same bytes.
#include <climits>
#include <cstdint>
#include <cstring>

#include "app/state.h"
#include "fuzz/fuzz.h"
#include "link/link.h"

enum { REPLY_MAX = 20 };

// A number at the start of s: blanks, an optional sign, digits, within an
// int. False when there is none.
static bool leading_number(const char *s, int *value)
{
    while (*s == ' ' || *s == '\t')
        s++;
    const bool negative = *s == '-';
    if (*s == '-' || *s == '+')
        s++;
    if (*s < '0' || *s > '9')
        return false;
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > 1LL << 32)
            return false;
    }
    v = negative ? -v : v;
    if (v < INT_MIN || v > INT_MAX)
        return false;
    *value = static_cast<int>(v);
    return true;
}

// The first run of digits anywhere in s, read without a sign. 0: no digit;
// 1: digits too many for an int; 2: *value holds them.
static int first_digits(const char *s, int *value)
{
    while (*s && (*s < '0' || *s > '9'))
        s++;
    if (!*s)
        return 0;
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > INT_MAX)
            return 1;
    }
    *value = static_cast<int>(v);
    return 2;
}

// The T-483's identification values.
static int is_t483(int ident)
{
    return (ident >= 48300 && ident <= 48399) || (ident >= 483000 && ident <= 483999) ||
           (ident >= 270000 && ident <= 279999);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int n = size < REPLY_MAX ? static_cast<int>(size) : REPLY_MAX;
    std::memset(radek, 'x', sizeof radek);  // what an earlier, longer line left
    std::memcpy(radek, data, n);
    radek[n] = 0;
    char reply[TEXT_SIZE];
    std::memcpy(reply, radek, sizeof reply);

    int expected = 0;
    const int found = first_digits(reply, &expected);
    i = n;
    scan_id();
    FUZZ_CHECK(i == (found == 2 ? expected : n));
    FUZZ_CHECK(t483_ident_ok(i) == is_t483(i));

    const bool number = leading_number(reply, &expected);
    R = 4072;
    scan_r();
    FUZZ_CHECK(R == (number && expected >= 0 ? expected : 4072));
    M = 1000;
    scan_m();
    FUZZ_CHECK(M == (number ? expected : 0));

    // The scans only read the reply.
    FUZZ_CHECK(std::memcmp(reply, radek, sizeof reply) == 0);

    // Any int, not only those a reply can give.
    if (size >= 4 + REPLY_MAX) {
        int ident;
        std::memcpy(&ident, data + REPLY_MAX, sizeof ident);
        FUZZ_CHECK(t483_ident_ok(ident) == is_t483(ident));
    }
    return 0;
}
