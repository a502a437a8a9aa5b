#pragma once

#include <string>
#include <string_view>

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

// Appends the UTF-8 form of a character (one to four bytes).
void AppendUtf8(std::string& out, char32_t character);

// Text typed by a person (UTF-8) as the lobby's 8-bit text: one byte per character, "á" as
// E1, "€" as 80, as a game client sends it. problem is empty when every character has its
// byte; otherwise it says, in one line naming what the text is ("nick", "text"), which
// byte is not UTF-8 or which character the code page lacks (controls 80-9F included), and
// text holds nothing of use.
struct Cp1252Conversion {
    std::string text;
    std::string problem;
};
Cp1252Conversion Cp1252FromUtf8(std::string_view utf8, std::string_view what);

// The protocol's 8-bit text (Windows code page 1252) as UTF-8 for a terminal, on one line:
// every byte that would not show as itself is written as an escape, so that a printed line
// never breaks in two and two different texts never print alike.
//   backslash            -> \\        (so an escape in the output is always one)
//   TAB, LF, CR          -> \t \n \r
//   other controls (00-1F, 7F) and the five bytes the code page leaves undefined
//   (81 8D 8F 90 9D)     -> \xNN      (two upper-case hex digits)
// Every other byte becomes the UTF-8 form of its code page character (E1 -> "á", 80 -> "€").
std::string ReadableText(std::string_view cp1252);

} // namespace lobby
