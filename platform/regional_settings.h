#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lobby {

// The operator's regional date and time settings, as this platform keeps them: the C
// library's LC_TIME category. The strings are strftime pictures and texts exactly as the
// locale gives them (8-bit bytes, no re-encoding). A plain value so tests can inject any
// locale's settings and the program can replace them when the operator changes them.
struct RegionalSettings {
    std::string shortDatePicture = "%m/%d/%y"; // D_FMT, e.g. "%d/%m/%Y" (pt_BR)
    std::string timePicture = "%H:%M:%S";      // T_FMT, e.g. "%H:%M:%S" or "%r" (en_US)
    std::string timePicture12 = "%I:%M:%S %p"; // T_FMT_AMPM, what "%r" stands for
    std::string amDesignator = "AM";           // AM_STR
    std::string pmDesignator = "PM";           // PM_STR
};

// Reads the settings of the environment's locale (LANG, LC_ALL, LC_TIME). Switches the
// process's LC_TIME category to that locale, so the C library's own time texts agree with
// what is returned. Called at start-up and again whenever the operator asks for a re-read
// (SIGHUP); never from a signal handler. A locale that cannot be loaded reads as "C".
RegionalSettings ReadSystemRegionalSettings();

// How the time text is built, as far as the time picture tells it.
struct TimeTextSettings {
    bool twelveHour = false;      // hours run 1..12 and a designator is added
    bool leadingZero = true;      // hours below 10 take a leading zero
    std::string separator = ":";  // between hours and minutes and between minutes and seconds
    bool designatorFirst = false; // the designator comes before the time, not after it
};

// One piece of a strftime picture: either literal bytes or one conversion with its glibc
// flags, width and E/O modifier. "%%", "%n" and "%t" come out as the literal bytes they
// stand for; a "%" that starts no complete conversion is kept as literal text.
struct PictureItem {
    std::string literal;   // the bytes of a literal piece; empty for a conversion
    char conversion = 0;   // the conversion letter, 0 for a literal piece
    char padFlag = 0;      // the last of the flags "-", "_", "0", or 0 when none was given
    int width = -1;        // the field width given in the picture, -1 when none
    std::string spelling;  // the conversion as written, "%" included, for passing it on
};

// Splits a picture into its pieces, in order; adjacent literal bytes form one piece.
std::vector<PictureItem> SplitPicture(std::string_view picture);

// Derives the time text settings from settings.timePicture ("%r" stands for timePicture12,
// "%T" for "%H:%M:%S", "%R" for "%H:%M"). The first hour directive decides the clock:
// %H and %k are 24-hour, %I and %l 12-hour; %H and %I pad with a zero, %k and %l do not,
// and the flags "-" and "_" take the zero away while "0" puts it back. The separator is the
// literal text between the hour and the minute directives. A designator (%p or %P) that
// comes before the hour directive puts the designator first. Whatever the picture does not
// tell (no hour directive, no literal separator) keeps the default of TimeTextSettings.
TimeTextSettings DeriveTimeTextSettings(const RegionalSettings& settings);

} // namespace lobby
