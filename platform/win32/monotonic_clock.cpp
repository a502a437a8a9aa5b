#include "platform/monotonic_clock.h"

#include <windows.h>

namespace lobby {

std::int64_t SystemMonotonicClock::NowMs() const
{
    // Milliseconds since the machine started; never goes back, and does not wrap as
    // GetTickCount's 32 bits do after 49 days.
    return static_cast<std::int64_t>(::GetTickCount64());
}

} // namespace lobby
