#pragma once

#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/regional_settings.h"

namespace lobby {

// Renders the date part of a strftime picture for the given day. The numeric conversions
// %d %e %m %y %Y %C %D %F and literal bytes are rendered here, so the result does not depend
// on the process's locale: %d and %m take two digits with a zero, %e two with a blank, %y
// and %C two with a zero, %Y four with a zero; the glibc flags "-" (no padding), "_"
// (blanks) and "0" (zeros) and a field width are honoured. Any other conversion is passed
// to strftime and so follows the process's LC_TIME (month and weekday names, for example).
std::string RenderDatePicture(std::string_view picture, const LocalDateTime& now);

// The date text, which names the day's traffic log file: the date rendered with the short
// date picture, then its 3rd and 6th bytes (counting from 1), where present and not an
// ASCII letter or digit, replaced by "-". Under "%d/%m/%Y" 6 December 2026 reads
// "06-12-2026"; under "%Y-%m-%d", "2026-12-06" (a digit there stays, or different days
// would share a file).
// Because the text becomes a file name, every byte still unfit for one afterwards becomes
// "-" too: "/" and "\" (path separators), NUL and the other control bytes, DEL, and
// ": * ? \" < > |", which other file systems the log may be copied to refuse. A picture
// that renders nothing falls back to day-month-year in 2, 2 and 4 digits ("06-12-2026"),
// so the log always has a name.
std::string DateText(const RegionalSettings& settings, const LocalDateTime& now);

// The time text of a log line: hours, separator, two-digit minutes, separator, two-digit
// seconds, as DeriveTimeTextSettings reads the settings. On a 12-hour clock the hours run
// 1..12 (0 h and 12 h read 12) and the morning designator (hours 0..11) or the afternoon
// one (12..23) is added with one blank, before or after the time; an empty designator adds
// nothing, blank included. Under "%H:%M:%S" 9:05:07 reads "09:05:07".
std::string TimeText(const RegionalSettings& settings, const LocalDateTime& now);

} // namespace lobby
