#pragma once

#include <cstdint>
#include <optional>

namespace lobby {

// A local calendar date and wall-clock time, as the operator's machine reads it.
struct LocalDateTime {
    int year = 1970;
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;
    int second = 0;
    int weekday = 4; // 0 = Sunday; 1 January 1970 was a Thursday
};

// The local date and time at a moment counted in seconds since 1970-01-01 UTC; nothing when
// the system cannot tell it. Safe on any thread.
std::optional<LocalDateTime> LocalTimeAt(std::int64_t secondsSinceEpoch);

// Where the server reads the time of day. Injected so tests can step dates and times.
class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalDateTime Now() const = 0;
};

// The machine's local time.
class SystemClock : public Clock {
public:
    LocalDateTime Now() const override;
};

} // namespace lobby
