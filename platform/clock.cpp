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
    const std::time_t now = std::time(nullptr);
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

} // namespace lobby
