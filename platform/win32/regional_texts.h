#pragma once

#include <array>
#include <string>
#include <string_view>

namespace lobby::win32 {

// The operator's regional settings as Windows keeps them (Control Panel, Region), in the
// lobby's 8-bit text (Windows-1252). Pictures are Windows' own ("dd/MM/yyyy", "HH:mm:ss");
// StrftimePicture translates them for the date and time texts, and the names stand in for
// what strftime would take from the C library's locale, which on Windows is not the
// operator's.
struct RegionalTexts {
    std::string shortDatePicture = "M/d/yyyy"; // LOCALE_SSHORTDATE
    std::string timePicture = "h:mm:ss tt";    // LOCALE_STIMEFORMAT
    std::string amDesignator = "AM";           // LOCALE_S1159
    std::string pmDesignator = "PM";           // LOCALE_S2359
    // Sunday first, as struct tm counts days (Windows counts from Monday).
    std::array<std::string, 7> dayNames;
    std::array<std::string, 7> shortDayNames;
    std::array<std::string, 12> monthNames;
    std::array<std::string, 12> shortMonthNames;
};

// Reads the settings of the locale named (a name such as L"pt-BR"), by default the user's
// own. An item the system does not give keeps the default above (names stay empty).
RegionalTexts ReadRegionalTexts(const wchar_t* localeName = nullptr);

// A Windows date or time picture as a strftime picture the lobby renders: d %-d, dd %d,
// ddd %a, dddd %A, M %-m, MM %m, MMM %b, MMMM %B, y %-y, yy %y, yyy and longer %Y, h %-I,
// hh %I, H %-H, HH %H, m %-M, mm %M, s %-S, ss %S, t and tt %p; text in single quotes is
// literal ('' is a quote), "%" becomes "%%", the era (g, gg) is left out, and any other byte
// is kept.
std::string StrftimePicture(std::string_view windowsPicture);

} // namespace lobby::win32
