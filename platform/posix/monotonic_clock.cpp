#include "platform/monotonic_clock.h"

#include <ctime>

namespace lobby {

std::int64_t SystemMonotonicClock::NowMs() const
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace lobby
