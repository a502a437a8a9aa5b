#pragma once

#include <string>
#include <string_view>

namespace lobby {

// A word typed in the terminal (UTF-8) as the lobby's 8-bit text (Windows code page 1252):
// one byte per character, "á" as E1, "€" as 80, as a game client sends it. Raises
// UsageError, one line naming what the word is ("nick", "argument"), for bytes that are not
// UTF-8 and for a character the code page does not have (controls 80-9F included).
std::string CodePageText(std::string_view utf8, std::string_view what);

} // namespace lobby
