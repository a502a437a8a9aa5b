#pragma once

#include <cstdint>

#include "platform/monotonic_clock.h"

namespace lobby {

// The monotonic clock the lobby's limits and paced work go by, and the running handler's
// reading of it: a handler reads the clock once as it starts, so that everything it asks
// (the flood guard's round, when the paced work falls due) goes by one moment.
class HandlerClock {
public:
    // clock: what time is read from; null: the system's monotonic clock.
    explicit HandlerClock(const MonotonicClock* clock) : clock_(clock) {}

    // A fresh reading, in milliseconds.
    std::int64_t Read() const
    {
        static const SystemMonotonicClock systemClock;
        return (clock_ ? *clock_ : systemClock).NowMs();
    }
    // Reads the clock for the handler starting, and returns the reading.
    std::int64_t Start() { return nowMs_ = Read(); }
    // The running handler's reading (Start's last).
    std::int64_t Now() const { return nowMs_; }

private:
    const MonotonicClock* clock_;
    std::int64_t nowMs_ = 0;
};

} // namespace lobby
