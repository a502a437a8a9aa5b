#include "platform/clock.h"

#include <ctime>

LocalDateTime SystemClock::Now() const
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    return LocalDateTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                         parts.tm_hour,        parts.tm_min,     parts.tm_sec,
                         parts.tm_wday};
}
