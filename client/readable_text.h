#pragma once

#include <string>
#include <string_view>

namespace lobby {

// The protocol's 8-bit text (Windows code page 1252) as UTF-8 for a terminal, one datagram
// on one line: every byte that would not show as itself is written as an escape, so that a
// printed line never breaks in two and two different datagrams never print alike.
//   backslash            -> \\        (so an escape in the output is always one)
//   TAB, LF, CR          -> \t \n \r
//   other controls (00-1F, 7F) and the five bytes the code page leaves undefined
//   (81 8D 8F 90 9D)     -> \xNN      (two upper-case hex digits)
// Every other byte becomes the UTF-8 form of its code page character (E1 -> "á", 80 -> "€").
std::string ReadableText(std::string_view cp1252);

} // namespace lobby
