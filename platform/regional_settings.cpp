#include "platform/regional_settings.h"

#include <cstddef>

// The reading of strftime pictures, the same on every system: each system's file gives the
// pictures (platform/posix/, platform/win32/), this one takes them apart.

namespace lobby {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Adds literal bytes to the pieces, joining them to a literal piece just before.
void AppendLiteral(std::vector<PictureItem>& items, std::string_view bytes)
{
    if (items.empty() || items.back().conversion != 0)
        items.emplace_back();
    items.back().literal.append(bytes);
}

// Replaces the composite time conversions by what they stand for, so the hour, minute and
// designator directives can be looked at one by one. "%r" is taken from the settings only
// at the outer level: a 12-hour picture that names "%r" itself would otherwise never end,
// so there it stays as it is (a conversion that tells nothing about the clock).
std::vector<PictureItem> ExpandTimePicture(std::string_view picture, const RegionalSettings& settings,
                                           bool expandTwelveHour)
{
    std::vector<PictureItem> expanded;
    for (PictureItem& item : SplitPicture(picture)) {
        std::vector<PictureItem> parts;
        switch (item.conversion) {
        case 'T': parts = SplitPicture("%H:%M:%S"); break;
        case 'R': parts = SplitPicture("%H:%M"); break;
        case 'r':
            if (expandTwelveHour)
                parts = ExpandTimePicture(settings.timePicture12, settings, false);
            break;
        default: break;
        }
        if (parts.empty()) {
            expanded.push_back(std::move(item));
            continue;
        }
        for (PictureItem& part : parts) {
            if (part.conversion == 0)
                AppendLiteral(expanded, part.literal);
            else
                expanded.push_back(std::move(part));
        }
    }
    return expanded;
}

bool IsHourConversion(char c) { return c == 'H' || c == 'k' || c == 'I' || c == 'l'; }

} // namespace

std::vector<PictureItem> SplitPicture(std::string_view picture)
{
    std::vector<PictureItem> items;
    std::size_t i = 0;
    while (i < picture.size()) {
        const std::size_t percent = picture.find('%', i);
        if (percent != i) {
            const std::size_t end = percent == std::string_view::npos ? picture.size() : percent;
            AppendLiteral(items, picture.substr(i, end - i));
            i = end;
            continue;
        }
        // A conversion: flags, width, an E or O modifier, then the letter.
        PictureItem item;
        std::size_t j = i + 1;
        while (j < picture.size() && std::string_view("_-0^#+").find(picture[j]) != std::string_view::npos) {
            if (picture[j] == '_' || picture[j] == '-' || picture[j] == '0')
                item.padFlag = picture[j];
            ++j;
        }
        if (j < picture.size() && IsDigit(picture[j])) {
            item.width = 0;
            // Widths beyond a few digits are nonsense; cap them so the number cannot overflow.
            while (j < picture.size() && IsDigit(picture[j])) {
                if (item.width < 1000)
                    item.width = item.width * 10 + (picture[j] - '0');
                ++j;
            }
        }
        if (j < picture.size() && (picture[j] == 'E' || picture[j] == 'O'))
            ++j;
        if (j >= picture.size()) {
            // An unfinished conversion at the end of the picture stays as the text it is.
            AppendLiteral(items, picture.substr(i));
            break;
        }
        const char letter = picture[j];
        const std::string_view spelling = picture.substr(i, j + 1 - i);
        i = j + 1;
        switch (letter) {
        case '%': AppendLiteral(items, "%"); continue;
        case 'n': AppendLiteral(items, "\n"); continue;
        case 't': AppendLiteral(items, "\t"); continue;
        default: break;
        }
        item.conversion = letter;
        item.spelling = std::string(spelling);
        items.push_back(std::move(item));
    }
    return items;
}

TimeTextSettings DeriveTimeTextSettings(const RegionalSettings& settings)
{
    TimeTextSettings result;
    const std::vector<PictureItem> items = ExpandTimePicture(settings.timePicture, settings, true);
    std::size_t hour = 0;
    while (hour < items.size() && !IsHourConversion(items[hour].conversion))
        ++hour;
    if (hour == items.size())
        return result;

    const PictureItem& h = items[hour];
    result.twelveHour = h.conversion == 'I' || h.conversion == 'l';
    result.leadingZero = h.conversion == 'H' || h.conversion == 'I';
    if (h.padFlag == '-' || h.padFlag == '_')
        result.leadingZero = false;
    else if (h.padFlag == '0')
        result.leadingZero = true;

    if (hour + 2 < items.size() && items[hour + 1].conversion == 0 && items[hour + 2].conversion == 'M')
        result.separator = items[hour + 1].literal;

    for (std::size_t i = 0; i < hour; ++i) {
        if (items[i].conversion == 'p' || items[i].conversion == 'P')
            result.designatorFirst = true;
    }
    return result;
}

} // namespace lobby
