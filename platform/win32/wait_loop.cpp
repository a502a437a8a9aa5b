#include "platform/win32/wait_loop.h"

#include <algorithm>
#include <stdexcept>

namespace lobby::win32 {

WaitLoop::WaitLoop(Clock now)
    : now_(now ? std::move(now) : Clock([] { return static_cast<std::uint64_t>(::GetTickCount64()); })),
      wake_(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    if (wake_ == nullptr)
        throw std::runtime_error("Cannot create the loop's wake-up event");
}

WaitLoop::~WaitLoop()
{
    ::CloseHandle(wake_);
}

int WaitLoop::Watch(HANDLE object, Callback callback)
{
    // One place of the wait's array is the loop's own wake-up event.
    if (watched_.size() + 1 >= MAXIMUM_WAIT_OBJECTS)
        throw std::length_error("The loop watches 63 objects at most");
    watched_.push_back({nextId_, object, std::move(callback)});
    return nextId_++;
}

void WaitLoop::Unwatch(int id)
{
    std::erase_if(watched_, [id](const Watched& w) { return w.id == id; });
}

int WaitLoop::StartTimer(std::chrono::milliseconds interval, Callback callback)
{
    const auto step = static_cast<std::uint64_t>(std::max<std::int64_t>(interval.count(), 1));
    timers_.push_back({nextId_, step, now_() + step, std::move(callback)});
    return nextId_++;
}

void WaitLoop::StopTimer(int id)
{
    std::erase_if(timers_, [id](const Timer& t) { return t.id == id; });
}

void WaitLoop::Run()
{
    quit_ = false;
    while (RunOnce(std::chrono::milliseconds(INFINITE))) {
    }
}

DWORD WaitLoop::Timeout(std::chrono::milliseconds maxWait) const
{
    std::uint64_t timeout = maxWait.count() < 0 ? 0 : static_cast<std::uint64_t>(maxWait.count());
    const std::uint64_t now = now_();
    for (const Timer& timer : timers_)
        timeout = std::min(timeout, timer.due > now ? timer.due - now : 0);
    return static_cast<DWORD>(std::min<std::uint64_t>(timeout, INFINITE - 1));
}

bool WaitLoop::RunOnce(std::chrono::milliseconds maxWait)
{
    if (quit_)
        return false;
    std::vector<HANDLE> objects{wake_};
    for (const Watched& w : watched_)
        objects.push_back(w.object);
    const DWORD count = static_cast<DWORD>(objects.size());
    const DWORD woke = ::MsgWaitForMultipleObjectsEx(count, objects.data(), Timeout(maxWait), QS_ALLINPUT,
                                                     MWMO_INPUTAVAILABLE);
    if (woke == WAIT_FAILED)
        throw std::runtime_error("The loop's wait failed");
    if (woke > WAIT_OBJECT_0 && woke < WAIT_OBJECT_0 + count) {
        // The id, not the place: a callback before may have changed the list.
        const HANDLE object = objects[woke - WAIT_OBJECT_0];
        const auto found = std::find_if(watched_.begin(), watched_.end(),
                                        [object](const Watched& w) { return w.object == object; });
        if (found != watched_.end()) {
            const Callback callback = found->callback;
            callback();
        }
    }
    if (woke == WAIT_OBJECT_0 + count && !PumpMessages())
        quit_ = true;
    RunDueTimers();
    return !quit_;
}

void WaitLoop::RunDueTimers()
{
    const std::uint64_t now = now_();
    std::vector<int> due;
    for (const Timer& timer : timers_) {
        if (timer.due <= now)
            due.push_back(timer.id);
    }
    for (int id : due) {
        // Looked up again: an earlier callback may have stopped this timer.
        const auto found = std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
        if (found == timers_.end())
            continue;
        found->due = now + found->interval;
        const Callback callback = found->callback;
        callback();
    }
}

bool WaitLoop::PumpMessages()
{
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            return false;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return true;
}

} // namespace lobby::win32
