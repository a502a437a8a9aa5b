#include "server/traffic_log/date_text.h"

#include <array>
#include <ctime>
#include <string_view>
#include <vector>

namespace lobby {

namespace {

bool IsAsciiLetterOrDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Cap for what one conversion passed to strftime may produce; the picture's widths are
// capped below this by SplitPicture.
constexpr std::size_t kMaxConversionBytes = 2048;

// The fallback when a picture renders nothing: a form that is numeric, unambiguous and
// already free of the positions the date text overwrites.
constexpr std::string_view kFallbackPicture = "%d/%m/%Y";

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DayOfYear(const LocalDateTime& now)
{
    static constexpr std::array<int, 12> kDaysBefore = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int month = now.month >= 1 && now.month <= 12 ? now.month : 1;
    return kDaysBefore[month - 1] + (month > 2 && IsLeapYear(now.year) ? 1 : 0) + now.day - 1;
}

// The broken-down time strftime needs for the conversions this file does not render itself.
std::tm ToTm(const LocalDateTime& now)
{
    std::tm parts{};
    parts.tm_year = now.year - 1900;
    parts.tm_mon = now.month - 1;
    parts.tm_mday = now.day;
    parts.tm_hour = now.hour;
    parts.tm_min = now.minute;
    parts.tm_sec = now.second;
    parts.tm_wday = now.weekday;
    parts.tm_yday = DayOfYear(now);
    parts.tm_isdst = -1;
    return parts;
}

// A number padded to its field as the picture asks; the flag or width of the picture wins
// over the conversion's own padding.
std::string PadNumber(int value, const PictureItem& item, int defaultWidth, char defaultPad)
{
    std::string digits = std::to_string(value);
    char pad = defaultPad;
    if (item.padFlag == '-')
        return digits;
    if (item.padFlag == '_')
        pad = ' ';
    else if (item.padFlag == '0')
        pad = '0';
    const int width = item.width >= 0 ? item.width : defaultWidth;
    if (static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), pad);
    return digits;
}

// Renders one conversion, or returns false when it is not one of the numeric date ones.
bool RenderNumeric(const PictureItem& item, const LocalDateTime& now, std::string& out)
{
    switch (item.conversion) {
    case 'd': out += PadNumber(now.day, item, 2, '0'); return true;
    case 'e': out += PadNumber(now.day, item, 2, ' '); return true;
    case 'm': out += PadNumber(now.month, item, 2, '0'); return true;
    case 'y': out += PadNumber(((now.year % 100) + 100) % 100, item, 2, '0'); return true;
    case 'Y': out += PadNumber(now.year, item, 4, '0'); return true;
    case 'C': out += PadNumber(now.year / 100, item, 2, '0'); return true;
    case 'D': out += RenderDatePicture("%m/%d/%y", now); return true;
    case 'F': out += RenderDatePicture("%Y-%m-%d", now); return true;
    default: return false;
    }
}

// Bytes that must not reach a file name: path separators, NUL and control bytes, and
// the bytes that other file systems refuse.
bool IsUnfitForFileName(unsigned char c)
{
    if (c < 0x20 || c == 0x7F)
        return true;
    return std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos;
}

std::string TwoDigits(int value)
{
    std::string text = std::to_string(value);
    return text.size() < 2 ? "0" + text : text;
}

} // namespace

std::string RenderDatePicture(std::string_view picture, const LocalDateTime& now)
{
    std::string out;
    for (const PictureItem& item : SplitPicture(picture)) {
        if (item.conversion == 0) {
            out += item.literal;
            continue;
        }
        if (RenderNumeric(item, now, out))
            continue;
        const std::tm parts = ToTm(now);
        std::vector<char> buffer(kMaxConversionBytes);
        // strftime reports 0 both for an empty result and for one that does not fit; either
        // way the conversion adds nothing.
        const std::size_t length = std::strftime(buffer.data(), buffer.size(), item.spelling.c_str(), &parts);
        out.append(buffer.data(), length);
    }
    return out;
}

std::string DateText(const RegionalSettings& settings, const LocalDateTime& now)
{
    std::string text = RenderDatePicture(settings.shortDatePicture, now);
    if (text.empty())
        text = RenderDatePicture(kFallbackPicture, now);
    // The 3rd and 6th characters are the separators of a day-month (or month-day) picture in
    // two-digit fields. Where the picture puts a digit or a letter there instead (a year
    // first, or a field without its leading zero), it stays: overwriting it would give two
    // different days the same log file.
    for (std::size_t position : {2u, 5u}) {
        if (position < text.size() && !IsAsciiLetterOrDigit(text[position]))
            text[position] = '-';
    }
    for (char& c : text) {
        if (IsUnfitForFileName(static_cast<unsigned char>(c)))
            c = '-';
    }
    return text;
}

std::string TimeText(const RegionalSettings& settings, const LocalDateTime& now)
{
    const TimeTextSettings time = DeriveTimeTextSettings(settings);
    int hour = now.hour;
    if (time.twelveHour) {
        hour %= 12;
        if (hour == 0)
            hour = 12;
    }
    std::string text = time.leadingZero ? TwoDigits(hour) : std::to_string(hour);
    text += time.separator + TwoDigits(now.minute) + time.separator + TwoDigits(now.second);
    if (!time.twelveHour)
        return text;

    const std::string& designator = now.hour < 12 ? settings.amDesignator : settings.pmDesignator;
    if (designator.empty())
        return text;
    return time.designatorFirst ? designator + " " + text : text + " " + designator;
}

} // namespace lobby
