#pragma once

namespace lobby {

// The character a byte of the Windows code page 1252 stands for (the protocol's and the
// files' text), as a Unicode code unit; 0 for the five bytes (81 8D 8F 90 9D) the code page
// leaves undefined. Bytes 80-9F hold the code page's own letters and signs, the others are
// Latin-1's.
constexpr char16_t Cp1252ToUnicode(unsigned char byte)
{
    constexpr char16_t kHigh[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
        0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
    };
    return byte >= 0x80 && byte <= 0x9F ? kHigh[byte - 0x80] : byte;
}

} // namespace lobby
