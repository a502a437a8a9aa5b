#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace lobby {

// The one text form of an IPv4 address in the lobby: four decimal numbers 0 to 255 joined by
// dots, none with a leading zero ("10.0.0.1"). The endpoint reports every source so, and
// every address the lobby stores comes from there. Addresses are handled here in host byte
// order: the first number is the top byte.
//
// Both are inline: the reading runs for every datagram sent (the endpoint's destination, the
// flood guard's key), the writing for every datagram received.

// The address text stands for, when text is exactly of that form; nothing for any other text
// (a leading zero, which inet_addr would read as octal, a sign or blank, fewer or more
// numbers, anything after them). Strict, so that a text either means one address here or is
// left whole to whoever reads other forms (the endpoint's inet_addr).
inline std::optional<std::uint32_t> ParseDottedQuad(std::string_view text)
{
    const char* at = text.data();
    const char* const end = at + text.size();
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at == end || *at != '.')
                return std::nullopt;
            ++at;
        }
        if (at == end || static_cast<unsigned>(*at - '0') > 9)
            return std::nullopt;
        unsigned value = static_cast<unsigned>(*at++ - '0');
        // A number that starts with 0 is that 0 alone; after it must come a dot or the end.
        for (int more = 0; value != 0 && more < 2 && at != end && static_cast<unsigned>(*at - '0') <= 9; ++more)
            value = value * 10 + static_cast<unsigned>(*at++ - '0');
        if (value > 255)
            return std::nullopt;
        address = (address << 8) | value;
    }
    if (at != end)
        return std::nullopt;
    return address;
}

// The address in that form. Written by hand, since printf's machinery costs more than the rest
// of a receive; the text fits a string's in-place storage, so nothing is allocated.
inline std::string DottedQuadText(std::uint32_t address)
{
    char text[16];
    char* out = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned value = (address >> shift) & 255u;
        if (value >= 100)
            *out++ = static_cast<char>('0' + value / 100);
        if (value >= 10)
            *out++ = static_cast<char>('0' + value / 10 % 10);
        *out++ = static_cast<char>('0' + value % 10);
        if (shift > 0)
            *out++ = '.';
    }
    return std::string(text, out);
}

// Between host and network byte order, without a system header: network order is the four
// bytes as they travel, most significant first.
inline std::uint32_t HostToNetworkOrder(std::uint32_t address)
{
    const unsigned char bytes[4] = {static_cast<unsigned char>(address >> 24), static_cast<unsigned char>(address >> 16),
                                    static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address)};
    std::uint32_t network;
    std::memcpy(&network, bytes, sizeof network);
    return network;
}

inline std::uint32_t NetworkToHostOrder(std::uint32_t address)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

} // namespace lobby
