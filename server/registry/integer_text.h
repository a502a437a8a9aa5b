#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lobby {

// The one rule by which the server reads numbers out of text (scores, and points reported by
// clients): optional leading spaces, then either an optional sign and decimal digits within
// the 32-bit signed range, or, unsigned, a hexadecimal number introduced by "$", "x", "X",
// "0x" or "0X" of at most 8 significant digits, whose values above 7FFFFFFF read negative.
// A NUL byte ends the text. Anything else, a trailing space included, is not a number.
std::optional<std::int32_t> TryStrToInt(std::string_view text);

// As TryStrToInt, but a text that is not a number raises EConvertError with the message
// "'<text>' is not a valid integer value", the whole text quoted.
std::int32_t StrToInt(std::string_view text);

// Plain decimal text: "-" for negatives, no grouping, no leading zeros or blanks.
std::string IntToStr(std::int32_t value);

} // namespace lobby
