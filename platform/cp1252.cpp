#include "platform/cp1252.h"

#include <cstdint>
#include <optional>

namespace lobby {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The next character of text at pos (advanced past it), or nothing when the bytes there are
// not well-formed UTF-8 (overlong forms and surrogates included).
std::optional<char32_t> NextCharacter(std::string_view text, std::size_t& pos)
{
    const auto lead = static_cast<unsigned char>(text[pos]);
    int length = 0;
    char32_t character = 0;
    char32_t least = 0;
    if (lead < 0x80) {
        ++pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, character = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, character = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, character = lead & 0x07, least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - pos < static_cast<std::size_t>(length))
        return std::nullopt;
    for (int i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80)
            return std::nullopt;
        character = (character << 6) | (next & 0x3F);
    }
    if (character < least || character > 0x10FFFF || (character >= 0xD800 && character <= 0xDFFF))
        return std::nullopt;
    pos += static_cast<std::size_t>(length);
    return character;
}

// The code page's byte for a character, or nothing when it has none.
std::optional<unsigned char> CodePageByte(char32_t character)
{
    if (character < 0x80 || (character >= 0xA0 && character <= 0xFF))
        return static_cast<unsigned char>(character);
    for (unsigned byte = 0x80; byte <= 0x9F; ++byte) {
        const char16_t mapped = Cp1252ToUnicode(static_cast<unsigned char>(byte));
        if (mapped != 0 && mapped == character)
            return static_cast<unsigned char>(byte);
    }
    return std::nullopt;
}

void AppendHexEscape(std::string& out, unsigned char byte)
{
    out += "\\x";
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0x0F];
}

std::string CodePoint(char32_t character)
{
    std::string digits;
    for (char32_t rest = character; rest != 0 || digits.size() < 4; rest >>= 4)
        digits.insert(digits.begin(), kHexDigits[rest & 0xF]);
    return "U+" + digits;
}

} // namespace

void AppendUtf8(std::string& out, char32_t character)
{
    if (character < 0x80) {
        out += static_cast<char>(character);
    } else if (character < 0x800) {
        out += static_cast<char>(0xC0 | (character >> 6));
        out += static_cast<char>(0x80 | (character & 0x3F));
    } else if (character < 0x10000) {
        out += static_cast<char>(0xE0 | (character >> 12));
        out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (character & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (character >> 18));
        out += static_cast<char>(0x80 | ((character >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((character >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (character & 0x3F));
    }
}

Cp1252Conversion Cp1252FromUtf8(std::string_view utf8, std::string_view what)
{
    Cp1252Conversion result;
    result.text.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const std::size_t start = pos;
        const std::optional<char32_t> character = NextCharacter(utf8, pos);
        if (!character) {
            std::string byte;
            AppendHexEscape(byte, static_cast<unsigned char>(utf8[start]));
            result.problem = "the " + std::string(what) + " is not UTF-8 text (byte " + byte + ")";
            return result;
        }
        const std::optional<unsigned char> byte = CodePageByte(*character);
        if (!byte) {
            // A control character is named by its number only, so the line prints as one.
            const std::string shown = *character < 0xA0 ? CodePoint(*character)
                                                        : "\"" + std::string(utf8.substr(start, pos - start)) +
                                                              "\" (" + CodePoint(*character) + ")";
            result.problem = "the " + std::string(what) + " holds " + shown +
                             ", which the lobby's code page (Windows-1252) lacks";
            return result;
        }
        result.text += static_cast<char>(*byte);
    }
    return result;
}

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
        const char16_t character = byte < 0x20 || byte == 0x7F ? 0 : Cp1252ToUnicode(byte);
        if (character == 0)
            AppendHexEscape(out, byte);
        else
            AppendUtf8(out, character);
    }
    return out;
}

} // namespace lobby
