#include "platform/win32/regional_texts.h"

#include <windows.h>

#include "platform/win32/windows_error.h"

namespace lobby::win32 {

namespace {

void ReadItem(const wchar_t* locale, LCTYPE item, std::string& into)
{
    wchar_t buffer[128];
    const int length = ::GetLocaleInfoEx(locale, item, buffer, static_cast<int>(std::size(buffer)));
    if (length > 1) // the length counts the final null
        into = Narrow(std::wstring(buffer, static_cast<std::size_t>(length - 1)), 1252);
}

// What a run of one picture letter stands for; nullptr when the letter is no field.
const char* Conversion(char letter, std::size_t run)
{
    switch (letter) {
    case 'd': return run == 1 ? "%-d" : run == 2 ? "%d" : run == 3 ? "%a" : "%A";
    case 'M': return run == 1 ? "%-m" : run == 2 ? "%m" : run == 3 ? "%b" : "%B";
    case 'y': return run == 1 ? "%-y" : run == 2 ? "%y" : "%Y";
    case 'h': return run == 1 ? "%-I" : "%I";
    case 'H': return run == 1 ? "%-H" : "%H";
    case 'm': return run == 1 ? "%-M" : "%M";
    case 's': return run == 1 ? "%-S" : "%S";
    case 't': return "%p";
    case 'g': return "";
    default: return nullptr;
    }
}

} // namespace

RegionalTexts ReadRegionalTexts(const wchar_t* localeName)
{
    const wchar_t* locale = localeName != nullptr ? localeName : LOCALE_NAME_USER_DEFAULT;
    RegionalTexts texts;
    ReadItem(locale, LOCALE_SSHORTDATE, texts.shortDatePicture);
    ReadItem(locale, LOCALE_STIMEFORMAT, texts.timePicture);
    ReadItem(locale, LOCALE_S1159, texts.amDesignator);
    ReadItem(locale, LOCALE_S2359, texts.pmDesignator);
    for (int day = 0; day < 7; ++day) {
        // Windows' first day name is Monday's; struct tm's first is Sunday's.
        const int windowsDay = (day + 6) % 7;
        ReadItem(locale, LOCALE_SDAYNAME1 + windowsDay, texts.dayNames[day]);
        ReadItem(locale, LOCALE_SABBREVDAYNAME1 + windowsDay, texts.shortDayNames[day]);
    }
    for (int month = 0; month < 12; ++month) {
        ReadItem(locale, LOCALE_SMONTHNAME1 + month, texts.monthNames[month]);
        ReadItem(locale, LOCALE_SABBREVMONTHNAME1 + month, texts.shortMonthNames[month]);
    }
    return texts;
}

std::string StrftimePicture(std::string_view picture)
{
    std::string result;
    std::size_t i = 0;
    while (i < picture.size()) {
        const char c = picture[i];
        if (c == '\'') {
            // Quoted text up to the next lone quote; a doubled quote is one quote.
            ++i;
            while (i < picture.size()) {
                if (picture[i] == '\'' && (i + 1 >= picture.size() || picture[i + 1] != '\''))
                    break;
                if (picture[i] == '\'')
                    ++i;
                result += picture[i] == '%' ? "%%" : std::string(1, picture[i]);
                ++i;
            }
            ++i;
            continue;
        }
        std::size_t run = 1;
        while (i + run < picture.size() && picture[i + run] == c)
            ++run;
        if (const char* conversion = Conversion(c, run)) {
            result += conversion;
            i += run;
            continue;
        }
        result += c == '%' ? "%%" : std::string(1, c);
        ++i;
    }
    return result;
}

} // namespace lobby::win32
