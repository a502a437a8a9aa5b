#include "client/readable_text.h"

#include <cstdint>

namespace {

// Unicode of bytes 80-9F, where the code page has letters and signs instead of Latin-1's
// controls; 0 marks the five bytes it leaves undefined. Bytes A0-FF are Latin-1 itself.
constexpr char16_t kHighCharacters[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// Appends the UTF-8 form of a character of the Basic Multilingual Plane (all the code page
// has), one to three bytes.
void AppendUtf8(std::string& out, char16_t character)
{
    if (character < 0x80) {
        out += static_cast<char>(character);
        return;
    }
    if (character < 0x800) {
        out += static_cast<char>(0xC0 | (character >> 6));
        out += static_cast<char>(0x80 | (character & 0x3F));
        return;
    }
    out += static_cast<char>(0xE0 | (character >> 12));
    out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (character & 0x3F));
}

// Appends byte as \xNN, two upper-case hex digits.
void AppendHexEscape(std::string& out, unsigned char byte)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
}

// The character a byte stands for, or 0 when the byte has to be shown as an escape.
char16_t Character(unsigned char byte)
{
    if (byte < 0x20 || byte == 0x7F)
        return 0;
    if (byte >= 0x80 && byte <= 0x9F)
        return kHighCharacters[byte - 0x80];
    return byte;
}

} // namespace

std::string ReadableText(std::string_view cp1252)
{
    std::string out;
    out.reserve(cp1252.size() + cp1252.size() / 2);
    for (const char signedByte : cp1252) {
        const auto byte = static_cast<unsigned char>(signedByte);
        switch (byte) {
        case '\\': out += "\\\\"; continue;
        case '\t': out += "\\t"; continue;
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        default: break;
        }
        const char16_t character = Character(byte);
        if (character == 0)
            AppendHexEscape(out, byte);
        else
            AppendUtf8(out, character);
    }
    return out;
}
