#pragma once

// Bounded pumping of an event loop, the same on every system: header only, so that the
// Windows tests take it without the POSIX helpers beside it.

#include <chrono>
#include <functional>

#include "platform/event_loop.h"

namespace test_support {

// Dispatches the loop's events until done() holds or timeoutMs has passed; returns done().
inline bool PumpUntil(lobby::EventLoop& loop, const std::function<bool()>& done, int timeoutMs = 3000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        loop.ProcessEvents(20);
    }
    return true;
}

} // namespace test_support
