#pragma once

// Clocks the caller moves by hand, so that what depends on time (the log's day, pings, the
// flood limits) is stepped, never waited for.

#include <cstdint>

#include "platform/clock.h"
#include "platform/monotonic_clock.h"

namespace test_support {

using namespace lobby;

// The wall clock: a Monday morning, 7 December 2026, until the caller changes now.
class SteppingClock : public Clock {
public:
    LocalDateTime Now() const override { return now; }
    LocalDateTime now{2026, 12, 7, 10, 20, 30, 1};
};

// The monotonic clock the flood limits are timed by.
class SteppingMonotonicClock : public MonotonicClock {
public:
    std::int64_t NowMs() const override { return nowMs; }
    std::int64_t nowMs = 1000000;
};

} // namespace test_support
