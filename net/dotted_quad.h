#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The one text form of an IPv4 address in the lobby: four decimal numbers 0 to 255 joined by
// dots, none with a leading zero ("10.0.0.1"). The endpoint reports every source so, and
// every address the lobby stores comes from there. Addresses are handled here in host byte
// order: the first number is the top byte.

// The address text stands for, when text is exactly of that form; nothing for any other text
// (a leading zero, which inet_addr would read as octal, a sign or blank, fewer or more
// numbers, anything after them). Strict, so that a text either means one address here or is
// left whole to whoever reads other forms (the endpoint's inet_addr).
std::optional<std::uint32_t> ParseDottedQuad(std::string_view text);

// The address in that form. Fits a string's in-place storage, so it allocates nothing: it
// runs for every datagram received.
std::string DottedQuadText(std::uint32_t address);
