#include "platform/win32/wait_event_loop.h"

#include <stdexcept>

namespace lobby::win32 {

namespace {

class Unwatch : public EventLoop::Registration {
public:
    Unwatch(WaitLoop& loop, int id, bool timer) : loop_(loop), id_(id), timer_(timer) {}
    ~Unwatch() override { timer_ ? loop_.StopTimer(id_) : loop_.Unwatch(id_); }

private:
    WaitLoop& loop_;
    int id_;
    bool timer_;
};

} // namespace

WaitEventLoop::WaitEventLoop(WaitLoop::Clock now, LoopErrorHandler onError)
    : wait_(std::move(now)), onError_(std::move(onError)), posted_(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    if (posted_ == nullptr)
        throw std::runtime_error("Cannot create the loop's queue event");
    postedWatch_ = Watch(reinterpret_cast<Watchable>(posted_), [this] { RunPosted(); }, true);
}

WaitEventLoop::~WaitEventLoop()
{
    postedWatch_.reset();
    ::CloseHandle(posted_);
}

std::unique_ptr<EventLoop::Registration> WaitEventLoop::Watch(Watchable handle, std::function<void()> callback,
                                                              bool reentrant)
{
    // A callback that is not reentrant is skipped by a nested dispatch while it is on the
    // stack; the flag is shared, so it outlives a callback that drops its own registration.
    auto running = std::make_shared<bool>(false);
    auto guarded = [this, callback = std::move(callback), running, reentrant] {
        if (!reentrant && *running)
            return;
        *running = true;
        RunReportingErrors(onError_, callback);
        *running = false;
    };
    const int id = wait_.Watch(reinterpret_cast<HANDLE>(handle), std::move(guarded));
    return std::make_unique<Unwatch>(wait_, id, false);
}

std::unique_ptr<EventLoop::Registration> WaitEventLoop::WatchReadable(Watchable fd, std::function<void()> onReadable)
{
    return Watch(fd, std::move(onReadable), false);
}

std::unique_ptr<EventLoop::Registration> WaitEventLoop::WatchReadableReentrant(Watchable fd,
                                                                                std::function<void()> onReadable)
{
    return Watch(fd, std::move(onReadable), true);
}

std::unique_ptr<EventLoop::Registration> WaitEventLoop::WatchWritable(Watchable, std::function<void()>)
{
    throw std::logic_error("WaitEventLoop cannot watch a handle for room to write");
}

std::unique_ptr<EventLoop::Registration> WaitEventLoop::StartTimer(int intervalMs, std::function<void()> onTick)
{
    const int id = wait_.StartTimer(std::chrono::milliseconds(intervalMs),
                                    [this, onTick = std::move(onTick)] { RunReportingErrors(onError_, onTick); });
    return std::make_unique<Unwatch>(wait_, id, true);
}

void WaitEventLoop::Post(std::function<void()> fn)
{
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    ::SetEvent(posted_);
}

void WaitEventLoop::ProcessEvents(int maxWaitMs)
{
    wait_.RunOnce(std::chrono::milliseconds(maxWaitMs));
}

void WaitEventLoop::RunPosted()
{
    // Taken all at once: what the functions post runs on the next turn, after the others.
    std::deque<std::function<void()>> ready;
    {
        const std::lock_guard lock(mutex_);
        ready.swap(queue_);
    }
    for (const auto& fn : ready)
        RunReportingErrors(onError_, fn);
}

} // namespace lobby::win32
