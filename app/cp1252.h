#pragma once

#include <QString>
#include <string_view>

namespace lobby {

// The protocol's and the files' 8-bit text, in the Windows code page, as a Qt string for
// display. Bytes 80-9F hold the code page's own letters and signs, not Latin-1's controls.
QString FromCp1252(std::string_view bytes);

} // namespace lobby
