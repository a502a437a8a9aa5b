#include "server/traffic_log/log_day_names.h"

#include "server/traffic_log/date_text.h"

namespace lobby {

// The day arithmetic is the well-known days-from-civil conversion over 400-year eras, so no
// time zone or C library time function takes part: a day is a calendar date, as the log's
// name is.
int DayNumber(int year, int month, int day)
{
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yearOfEra = y - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

LocalDateTime DateOfDay(int dayNumber)
{
    const int z = dayNumber + 719468;
    const int era = (z >= 0 ? z : z - 146096) / 146097;
    const int dayOfEra = z - era * 146097;
    const int yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int shiftedMonth = (5 * dayOfYear + 2) / 153;
    LocalDateTime date;
    date.day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    date.month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    date.year = yearOfEra + era * 400 + (date.month <= 2 ? 1 : 0);
    date.weekday = ((dayNumber % 7) + 7 + 4) % 7; // day 0 was a Thursday
    return date;
}

std::optional<LogFileName> SplitLogFileName(std::string_view fileName)
{
    static constexpr std::pair<std::string_view, LogFileName::Kind> kSuffixes[] = {
        {kPartialLogSuffix, LogFileName::Kind::Partial},
        {kCompressedLogSuffix, LogFileName::Kind::Compressed},
        {kPlainLogSuffix, LogFileName::Kind::Plain},
    };
    for (const auto& [suffix, kind] : kSuffixes) {
        if (fileName.size() <= suffix.size() || !fileName.ends_with(suffix))
            continue;
        return LogFileName{std::string(fileName.substr(0, fileName.size() - suffix.size())), kind};
    }
    return std::nullopt;
}

std::map<std::string, int> LatestDaysNamed(const RegionalSettings& settings, int today,
                                           const std::set<std::string>& dateTexts)
{
    std::map<std::string, int> days;
    for (int day = today; day >= 0 && days.size() < dateTexts.size(); --day) {
        std::string text = DateText(settings, DateOfDay(day));
        if (dateTexts.count(text) != 0)
            days.emplace(std::move(text), day); // emplace keeps the first, the latest day
    }
    return days;
}

} // namespace lobby
