#include "platform/clock.h"

#include <ctime>

#include <windows.h>

namespace lobby {

namespace {

LocalDateTime FromSystemTime(const SYSTEMTIME& time)
{
    return LocalDateTime{time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, time.wDayOfWeek};
}

} // namespace

LocalDateTime SystemClock::Now() const
{
    // Windows keeps the local time itself, with the zone's rules applied; reading it costs
    // less than a log line's other work.
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return FromSystemTime(now);
}

std::optional<LocalDateTime> LocalTimeAt(std::int64_t secondsSinceEpoch)
{
    // FILETIME counts 100 ns from 1601-01-01 UTC, 11644473600 s before 1970.
    constexpr std::int64_t kEpochDifference = 11644473600;
    constexpr std::int64_t kTicksPerSecond = 10000000;
    if (secondsSinceEpoch < -kEpochDifference || secondsSinceEpoch > INT64_MAX / kTicksPerSecond - kEpochDifference)
        return std::nullopt;
    const std::uint64_t ticks = static_cast<std::uint64_t>(secondsSinceEpoch + kEpochDifference) * kTicksPerSecond;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    if (!::FileTimeToSystemTime(&utc, &universal) || !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return std::nullopt;
    return FromSystemTime(local);
}

} // namespace lobby
