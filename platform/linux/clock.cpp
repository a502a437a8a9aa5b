#include "platform/clock.h"

#include <ctime>

namespace lobby {

LocalDateTime SystemClock::Now() const
{
    // Every log line asks, thousands of times a second, and localtime_r costs more than the
    // rest of a line. Its answer can only change with the second (time zone offsets change on
    // whole seconds), so each thread keeps the last second it converted.
    thread_local bool converted = false;
    thread_local std::time_t convertedSecond = 0;
    thread_local LocalDateTime convertedTime;
    // The coarse clock is read without asking the hardware, and a second's text needs no
    // finer one: it lags the exact time by a few milliseconds at most.
    timespec coarse{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &coarse);
    const std::time_t now = coarse.tv_sec;
    if (converted && now == convertedSecond)
        return convertedTime;
    std::tm parts{};
    localtime_r(&now, &parts);
    convertedTime = LocalDateTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                                  parts.tm_hour,        parts.tm_min,     parts.tm_sec,
                                  parts.tm_wday};
    convertedSecond = now;
    converted = true;
    return convertedTime;
}

std::optional<LocalDateTime> LocalTimeAt(std::int64_t secondsSinceEpoch)
{
    const std::time_t moment = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm parts{};
    if (::localtime_r(&moment, &parts) == nullptr)
        return std::nullopt;
    return LocalDateTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min,
                         parts.tm_sec, parts.tm_wday};
}

} // namespace lobby
