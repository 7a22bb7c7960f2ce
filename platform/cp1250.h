// The Windows-1250 code page: the program's texts are single bytes in it.
// Plain C++, usable at compile time, so that texts can be written as UTF-8 in
// the source and stored as Windows-1250 bytes.
#pragma once

#include <array>
#include <cstddef>

namespace cp1250 {

// Unicode code point of each byte from 0x80 to 0xFF; 0 where the code page
// leaves a byte undefined.
inline constexpr unsigned short high[128] = {
    0x20AC, 0x0000, 0x201A, 0x0000, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x0000, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 0x88
    0x0000, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0000, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 0x98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // 0xA0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // 0xA8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // 0xB8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // 0xC0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // 0xC8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // 0xD0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // 0xD8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // 0xE0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // 0xE8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // 0xF0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // 0xF8
};

// The code point a byte stands for (bytes below 0x80 are ASCII).
constexpr unsigned decode(unsigned char b)
{
    return b < 0x80 ? b : high[b - 0x80];
}

// The byte for a code point; '?' when the code page has none.
constexpr unsigned char encode(unsigned cp)
{
    if (cp < 0x80)
        return static_cast<unsigned char>(cp);
    for (unsigned b = 0; b < 128; b++)
        if (high[b] == cp)
            return static_cast<unsigned char>(0x80 + b);
    return '?';
}

// A UTF-8 text converted at compile time: text<N> holds the Windows-1250 bytes
// of a literal of N bytes, NUL-terminated. Use through CP1250("...").
template <std::size_t N> struct text {
    char bytes[N] = {};
    constexpr text(const char (&utf8)[N])
    {
        std::size_t out = 0;
        for (std::size_t in = 0; in + 1 < N;) {
            unsigned c = static_cast<unsigned char>(utf8[in]);
            unsigned cp = c;
            std::size_t len = 1;
            if (c >= 0xF0) { cp = c & 0x07; len = 4; }
            else if (c >= 0xE0) { cp = c & 0x0F; len = 3; }
            else if (c >= 0xC0) { cp = c & 0x1F; len = 2; }
            for (std::size_t k = 1; k < len && in + k + 1 < N; k++)
                cp = (cp << 6) | (static_cast<unsigned char>(utf8[in + k]) & 0x3F);
            bytes[out++] = static_cast<char>(encode(cp));
            in += len;
        }
        bytes[out] = 0;
    }
};

} // namespace cp1250

namespace cp1250 {
// Static storage for a converted literal; CP1250("Příklad") is its bytes.
template <text T> inline constexpr auto literal = T;
} // namespace cp1250

#define CP1250(utf8) (cp1250::literal<utf8>.bytes)
