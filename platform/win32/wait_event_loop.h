#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/system_event_loop.h"
#include "platform/win32/wait_loop.h"

namespace lobby::win32 {

// The lobby's event loop on Windows: the EventLoop interface over WaitLoop. A Watchable is
// a waitable handle (the socket's ready event); a callback runs each time it is signalled.
// Posted functions wait in a queue of their own, its event watched beside the others, so a
// worker or the console's handler can hand work to the loop's thread. Errors escaping a
// callback go to ReportLoopError, and the loop goes on.
//
// Windows cannot wait for a handle to take more bytes the way the lobby's console waits on a
// stream, so WatchWritable is refused (std::logic_error); nothing on Windows asks for it.
class WaitEventLoop : public SystemEventLoop {
public:
    explicit WaitEventLoop(WaitLoop::Clock now = nullptr, LoopErrorHandler onError = {});
    ~WaitEventLoop() override;

    std::unique_ptr<Registration> WatchReadable(Watchable fd, std::function<void()> onReadable) override;
    std::unique_ptr<Registration> WatchReadableReentrant(Watchable fd, std::function<void()> onReadable) override;
    std::unique_ptr<Registration> WatchWritable(Watchable fd, std::function<void()> onWritable) override;
    std::unique_ptr<Registration> StartTimer(int intervalMs, std::function<void()> onTick) override;
    void Post(std::function<void()> fn) override;
    void ProcessEvents(int maxWaitMs) override;
    void Quit() override { wait_.Quit(); }
    void Run() override { wait_.Run(); }

private:
    std::unique_ptr<Registration> Watch(Watchable handle, std::function<void()> callback, bool reentrant);
    void RunPosted();

    WaitLoop wait_;
    LoopErrorHandler onError_;
    HANDLE posted_; // auto-reset: set by Post, taken by the wait
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    std::unique_ptr<Registration> postedWatch_;
};

} // namespace lobby::win32
