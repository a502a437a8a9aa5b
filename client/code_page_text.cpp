#include "client/code_page_text.h"

#include <cstdint>
#include <optional>

#include "client/client_options.h"
#include "platform/cp1252.h"

namespace lobby {

namespace {

constexpr const char* kRawHint = "; --raw sends the bytes as given";

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

std::string HexByte(unsigned char byte)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return std::string("\\x") + kDigits[byte >> 4] + kDigits[byte & 0x0F];
}

std::string CodePoint(char32_t character)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string digits;
    for (char32_t rest = character; rest != 0 || digits.size() < 4; rest >>= 4)
        digits.insert(digits.begin(), kDigits[rest & 0xF]);
    return "U+" + digits;
}

} // namespace

std::string CodePageText(std::string_view utf8, std::string_view what)
{
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t pos = 0; pos < utf8.size();) {
        const std::size_t start = pos;
        const std::optional<char32_t> character = NextCharacter(utf8, pos);
        if (!character)
            throw UsageError("the " + std::string(what) + " is not UTF-8 text (byte " +
                             HexByte(static_cast<unsigned char>(utf8[start])) + ")" + kRawHint);
        const std::optional<unsigned char> byte = CodePageByte(*character);
        if (!byte) {
            // A control character is named by its number only, so the line prints as one.
            const std::string shown = *character < 0xA0 ? CodePoint(*character)
                                                        : "\"" + std::string(utf8.substr(start, pos - start)) +
                                                              "\" (" + CodePoint(*character) + ")";
            throw UsageError("the " + std::string(what) + " holds " + shown +
                             ", which the lobby's code page (Windows-1252) lacks" + kRawHint);
        }
        out += static_cast<char>(*byte);
    }
    return out;
}

} // namespace lobby
