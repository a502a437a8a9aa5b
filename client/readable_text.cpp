#include "client/readable_text.h"

#include "platform/cp1252.h"

#include <cstdint>

namespace lobby {

namespace {

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
    return Cp1252ToUnicode(byte);
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

} // namespace lobby
