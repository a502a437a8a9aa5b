#pragma once

#include <cstdint>

namespace lobby {

// A clock that only moves forward, in milliseconds from an arbitrary start: what rate limits
// are measured with, so a change of the wall clock (daylight saving, an operator's fix)
// neither opens nor shuts them. Injected so tests can step it.
class MonotonicClock {
public:
    virtual ~MonotonicClock() = default;
    virtual std::int64_t NowMs() const = 0;
};

// The system's monotonic clock (CLOCK_MONOTONIC).
class SystemMonotonicClock : public MonotonicClock {
public:
    std::int64_t NowMs() const override;
};

} // namespace lobby
