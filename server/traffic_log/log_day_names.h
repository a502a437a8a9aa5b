#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/regional_settings.h"

namespace lobby {

// Which day a traffic log file is of. The log names its file after the date text, which
// follows the regional settings, so a name cannot be parsed back in general (a picture may
// name months, leave out the year, or put the fields in any order). Instead the names are
// rendered forward, day by day from today back, under the settings in force, and a file is
// a log only when its name is one of those; its day is the latest day that renders to it.
// Taking the latest is what keeps this safe: a name shared by several days (a picture
// without the year) counts as its youngest possible day, so it never looks older than it
// may be.

// The day number of a calendar date: days since 1 January 1970 (proleptic Gregorian).
int DayNumber(int year, int month, int day);
// The date of a day number, at midnight, weekday filled in.
LocalDateTime DateOfDay(int dayNumber);

// The suffixes of a day's files: the log as written, compressed, and the compressed copy
// while it is being made.
inline constexpr std::string_view kPlainLogSuffix = ".txt";
inline constexpr std::string_view kCompressedLogSuffix = ".txt.gz";
inline constexpr std::string_view kPartialLogSuffix = ".txt.gz.tmp";

// How a file name reads as one of a day's files: the date text and which of the three it is.
struct LogFileName {
    enum class Kind { Plain, Compressed, Partial };
    std::string dateText;
    Kind kind = Kind::Plain;
};
// Splits a file name (no folder) into its date text and kind; nothing when it ends in none
// of the suffixes or the date text before it is empty.
std::optional<LogFileName> SplitLogFileName(std::string_view fileName);

// For each of dateTexts, the latest day from today back to day 0 (1 January 1970) whose date
// text under settings it is; texts that no such day renders are left out. Renders through
// DateText, so month and weekday names come from the calling thread's LC_TIME locale. Stops
// as soon as every text is found; at worst renders every day back to 1970 (a few tens of
// milliseconds).
std::map<std::string, int> LatestDaysNamed(const RegionalSettings& settings, int today,
                                           const std::set<std::string>& dateTexts);

} // namespace lobby
