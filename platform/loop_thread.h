#pragma once

#include <thread>

namespace lobby {

// The thread an event loop belongs to: the one that made it. The loop's state has no lock,
// so every entry but Post must be called there. Workers (the host lookup, the registry
// saver, the log keeper) must only post; one that calls anything else would corrupt the loop
// at some later moment, far from the fault. In debug builds (NDEBUG not defined) every entry
// checks its thread, and a call from another ends the process at once, naming the entry.
// Release builds check nothing.
class LoopThread {
public:
    LoopThread() noexcept : id_(std::this_thread::get_id()) {}

    // entry: what was called, e.g. "EpollEventLoop::StartTimer".
    void AssertHere([[maybe_unused]] const char* entry) const noexcept
    {
#ifndef NDEBUG
        if (std::this_thread::get_id() != id_)
            Abort(entry);
#endif
    }

private:
    [[noreturn]] static void Abort(const char* entry) noexcept;

    std::thread::id id_;
};

} // namespace lobby
