#include "platform/linux/epoll_event_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <system_error>
#include <unistd.h>
#include <typeinfo>
#include <vector>

#include "platform/exception.h"
#include "platform/posix/file_descriptor.h"
#include "platform/loop_thread.h"

namespace lobby {

namespace {

std::string Reason(int error)
{
    return std::generic_category().message(error);
}

// epoll's data word for the post queue's eventfd; a slot token never has every bit set
// because slot indexes stay far below 2^32 - 1.
constexpr std::uint64_t kWakeToken = ~std::uint64_t{0};

// Descriptors taken from one wait. More ready ones are simply reported by the next wait,
// since readiness is level-triggered.
constexpr int kBatch = 64;

} // namespace

// Everything the loop owns; registrations hold it weakly. Only Post may come from another
// thread, and it touches nothing but the incoming queue (under its mutex) and the eventfd.
class EpollEventLoop::Core {
public:
    class Registration;

    explicit Core(ErrorHandler onError);

    // Debug builds: ends the process unless called on the loop's thread (see LoopThread).
    void AssertInLoopThread(const char* entry) const noexcept { thread_.AssertHere(entry); }

    void SetErrorHandler(ErrorHandler onError) { onError_ = std::move(onError); }

    // Adds fd to the wait set under a fresh slot and returns that slot's token; timer, when
    // open, is the timerfd behind fd and is owned by the slot from then on; reentrant lets
    // the callback run nested inside itself. Raises Exception when epoll refuses fd; nothing
    // is kept then. events: what to wait for, EPOLLIN or EPOLLOUT.
    std::uint64_t Add(int fd, FileDescriptor timer, std::function<void()> callback, bool reentrant = false,
                      std::uint32_t events = EPOLLIN);

    // Stops the slot behind token: out of the wait set now, its callback dropped now or, when
    // the callback is on the stack, as soon as it returns. A stale token does nothing.
    void Release(std::uint64_t token);

    // Thread-safe: queues fn and wakes the loop when the queue was empty.
    void Post(std::function<void()> fn);

    // Queues the slot behind token for a pass without a wait (see NotifyAgain).
    void NotifyAgain(std::uint64_t token);

    // One pass: serves the readers that asked to be called again, unless kAgainPasses passes
    // in a row have done so; otherwise waits at most timeoutMs (-1: without limit) for
    // events and dispatches what is ready. Either way then runs the posts queued so far.
    // With forRun, stops between callbacks once Quit has been asked for.
    void Dispatch(int timeoutMs, bool forRun);

    // Passes until Quit, then forgets the quit. Raises Exception from inside a callback.
    void Run();
    // Asks Run to stop between callbacks.
    void Quit() { quit_ = true; }

private:
    struct Slot {
        std::function<void()> callback;
        int fd = -1;          // in the wait set: the watched descriptor or the timerfd
        std::uint32_t events = EPOLLIN; // what it waits for
        FileDescriptor timer; // open for timers only
        std::uint32_t index = 0;
        std::uint32_t generation = 0; // bumped on release, so stale tokens miss
        bool live = false;
        bool reentrant = false; // dispatched nested inside itself too (WatchReadableReentrant)
        int running = 0;        // runs of its callback on the stack
        bool parked = false;    // out of the wait set while a nested dispatch runs
    };

    // The slot's current identity in epoll's data word: generation high, index low.
    static std::uint64_t TokenOf(const Slot& slot)
    {
        return (std::uint64_t{slot.generation} << 32) | slot.index;
    }

    // Dispatch's two passes: the one without a wait, and the one with.
    void ServeAgain(bool forRun);
    void WaitAndServe(int timeoutMs, bool forRun);

    // The live slot behind token, or nullptr for a released one.
    Slot* Find(std::uint64_t token) const;
    // Runs the callback behind token once, unless the slot is gone or already running and
    // not reentrant (for a timer, only when a tick is there to read), and once its outermost
    // run has returned recycles a slot released meanwhile or returns a parked one to the wait
    // set.
    void DispatchSlot(std::uint64_t token);
    // Puts a released slot back for reuse and destroys its callback (whose captures may own
    // other registrations, so this may re-enter Release and Add).
    void Recycle(Slot& slot);
    // Takes every slot whose callback is on the stack out of the wait set, so that a nested
    // wait neither reports them (they would wake it at once, over and over) nor runs them.
    // A reentrant slot stays: its events are dispatched nested, which reads them away.
    void ParkRunning();
    // Returns a parked slot to the wait set once its callback has returned.
    void Unpark(Slot& slot);
    // Moves the posts of other threads (and of callbacks) into ready_, in order.
    void TakePosts();
    // Runs the posts that are ready now; with forRun, stops between them once Quit is asked.
    void RunPosts(bool forRun);
    // Runs fn, handing anything it raises to the error handler.
    void Guarded(const std::function<void()>& fn);
    // Hands error to the error handler, or writes it as one line on standard error when there
    // is none or the handler itself fails.
    void Report(const std::exception& error);

    LoopThread thread_;
    FileDescriptor epoll_;
    FileDescriptor wake_;
    ErrorHandler onError_;

    // Slots are never freed before the loop, so a Slot* (and the callback in it) stays
    // valid while the slot's callback runs, whatever that callback registers.
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<std::uint32_t> free_;
    std::vector<Slot*> running_;
    int callbacksRunning_ = 0;
    bool quit_ = false;

    // Slots whose readers asked to be called again, and how many passes in a row have served
    // them without a wait.
    std::vector<std::uint64_t> again_;
    int againPasses_ = 0;

    // Loop thread only: posts taken from incoming_, in order. A nested dispatch continues
    // from the same queue, so posts keep their order even when one of them nests.
    std::deque<std::function<void()>> ready_;
    std::mutex incomingMutex_;
    std::vector<std::function<void()>> incoming_;
};

// What WatchReadable and StartTimer hand out: releasing the slot is all its destructor does,
// and only while the loop still exists.
class EpollEventLoop::Core::Registration final : public EventLoop::Registration {
public:
    Registration(std::weak_ptr<Core> core, std::uint64_t token)
        : owner_(core.lock().get()), core_(std::move(core)), token_(token)
    {
    }
    ~Registration() override
    {
        if (const auto core = core_.lock())
            core->Release(token_);
    }

    // Only asked by a loop that is alive, so the plain pointer serves: NotifyAgain asks it
    // for every datagram, and locking the weak one would cost two atomic operations.
    bool BelongsTo(const Core& core) const { return owner_ == &core; }
    std::uint64_t Token() const { return token_; }

private:
    const Core* owner_;
    std::weak_ptr<Core> core_;
    std::uint64_t token_;
};

EpollEventLoop::Core::Core(ErrorHandler onError) : onError_(std::move(onError))
{
    epoll_ = FileDescriptor(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.IsOpen())
        throw Exception("Cannot create the event loop's epoll instance: " + Reason(errno));
    wake_ = FileDescriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake_.IsOpen())
        throw Exception("Cannot create the event loop's wake-up eventfd: " + Reason(errno));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeToken;
    if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &event) != 0)
        throw Exception("Cannot watch the event loop's wake-up eventfd: " + Reason(errno));
}

std::uint64_t EpollEventLoop::Core::Add(int fd, FileDescriptor timer, std::function<void()> callback, bool reentrant,
                                       std::uint32_t events)
{
    if (free_.empty()) {
        auto fresh = std::make_unique<Slot>();
        fresh->index = static_cast<std::uint32_t>(slots_.size());
        slots_.push_back(std::move(fresh));
        free_.push_back(slots_.back()->index);
    }
    Slot& slot = *slots_[free_.back()];
    epoll_event event{};
    event.events = events;
    event.data.u64 = TokenOf(slot);
    if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) != 0)
        throw Exception("Cannot watch descriptor " + std::to_string(fd) + ": " + Reason(errno));
    free_.pop_back();
    slot.callback = std::move(callback);
    slot.fd = fd;
    slot.timer = std::move(timer);
    slot.live = true;
    slot.reentrant = reentrant;
    slot.events = events;
    slot.parked = false;
    return TokenOf(slot);
}

EpollEventLoop::Core::Slot* EpollEventLoop::Core::Find(std::uint64_t token) const
{
    const auto index = static_cast<std::uint32_t>(token);
    if (index >= slots_.size())
        return nullptr;
    Slot* slot = slots_[index].get();
    if (!slot->live || TokenOf(*slot) != token)
        return nullptr;
    return slot;
}

void EpollEventLoop::Core::Release(std::uint64_t token)
{
    AssertInLoopThread("EpollEventLoop: a registration dropped");
    Slot* slot = Find(token);
    if (slot == nullptr)
        return;
    // Out of the wait set before the owner closes the descriptor: a descriptor number the
    // system hands out again must not arrive with this slot's token. Failure means the
    // descriptor is already gone, which removed it from the set anyway.
    if (!slot->parked)
        ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, slot->fd, nullptr);
    slot->parked = false;
    slot->timer.Close();
    slot->live = false;
    ++slot->generation;
    // A callback on the stack keeps its slot (and so itself) until it returns.
    if (slot->running == 0)
        Recycle(*slot);
}

void EpollEventLoop::Core::Recycle(Slot& slot)
{
    std::function<void()> doomed;
    doomed.swap(slot.callback);
    slot.fd = -1;
    free_.push_back(slot.index);
}

void EpollEventLoop::Core::Post(std::function<void()> fn)
{
    bool wasEmpty = false;
    {
        std::lock_guard lock(incomingMutex_);
        wasEmpty = incoming_.empty();
        incoming_.push_back(std::move(fn));
    }
    // A non-empty queue has been announced already and the loop drains it whole; only the
    // first post after a drain needs to wake it. The eventfd cannot overflow with one
    // increment per drain, so the write cannot fail for want of room.
    if (!wasEmpty)
        return;
    const std::uint64_t one = 1;
    while (::write(wake_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void EpollEventLoop::Core::TakePosts()
{
    // The counter is cleared before the queue is taken: a post that lands in between is
    // taken with this drain, and one that lands after it finds the queue empty and writes.
    std::uint64_t count = 0;
    while (::read(wake_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::vector<std::function<void()>> taken;
    {
        std::lock_guard lock(incomingMutex_);
        taken.swap(incoming_);
    }
    for (auto& fn : taken)
        ready_.push_back(std::move(fn));
}

void EpollEventLoop::Core::RunPosts(bool forRun)
{
    // Only the posts present now: one that posts itself again runs on the next pass, so
    // descriptors and timers are never starved.
    for (std::size_t count = ready_.size(); count > 0 && !ready_.empty(); --count) {
        if (forRun && quit_)
            return;
        const std::function<void()> fn = std::move(ready_.front());
        ready_.pop_front();
        Guarded(fn);
    }
}

void EpollEventLoop::Core::NotifyAgain(std::uint64_t token)
{
    if (std::find(again_.begin(), again_.end(), token) == again_.end())
        again_.push_back(token);
}

void EpollEventLoop::Core::Dispatch(int timeoutMs, bool forRun)
{
    if (callbacksRunning_ > 0)
        ParkRunning();
    if (!again_.empty() && againPasses_ < kAgainPasses)
        ServeAgain(forRun);
    else
        WaitAndServe(timeoutMs, forRun);
}

// Readers that asked to be called again are served without asking the system, a bounded
// number of passes in a row, so that a flood of datagrams still lets timers, signals and
// posts in every kAgainPasses datagrams. A stale slot, or a running one that is not
// reentrant, is skipped. The count is shared by nested passes, so the bound holds for a
// reader that runs nested inside its own host-name lookup too.
void EpollEventLoop::Core::ServeAgain(bool forRun)
{
    ++againPasses_;
    // Taken into a local copy (a callback may ask again, or nest a dispatch that takes from
    // again_), leaving again_ its capacity: this runs for every datagram.
    std::uint64_t taken[kBatch];
    const std::size_t count = std::min<std::size_t>(again_.size(), kBatch);
    std::copy_n(again_.begin(), count, taken);
    again_.erase(again_.begin(), again_.begin() + static_cast<std::ptrdiff_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        if (forRun && quit_)
            return;
        DispatchSlot(taken[i]);
    }
    RunPosts(forRun);
}

// The wait reports every descriptor still readable (level-triggered), so it answers the
// requests to be called again too: they are dropped, and the passes without a wait start
// counting afresh.
void EpollEventLoop::Core::WaitAndServe(int timeoutMs, bool forRun)
{
    againPasses_ = 0;
    again_.clear();
    if (!ready_.empty())
        timeoutMs = 0;
    epoll_event events[kBatch];
    const int count = ::epoll_wait(epoll_.Get(), events, kBatch, timeoutMs);
    if (count < 0) {
        // A signal cut the wait short; the caller waits again if it still wants to.
        if (errno == EINTR)
            return;
        throw Exception("Event loop wait failed: " + Reason(errno));
    }
    for (int i = 0; i < count; ++i) {
        if (forRun && quit_)
            return;
        if (events[i].data.u64 == kWakeToken)
            TakePosts();
        else
            DispatchSlot(events[i].data.u64);
    }
    RunPosts(forRun);
}

void EpollEventLoop::Core::DispatchSlot(std::uint64_t token)
{
    // A slot released earlier in this batch, or one whose callback is on the stack (the
    // nesting rule) unless it is reentrant, is skipped.
    Slot* slot = Find(token);
    if (slot == nullptr || (slot->running > 0 && !slot->reentrant))
        return;
    if (slot->timer.IsOpen()) {
        // Reading clears the expiry count; a nested dispatch already took this tick when the
        // read finds nothing.
        std::uint64_t expirations = 0;
        if (::read(slot->fd, &expirations, sizeof expirations) != sizeof expirations)
            return;
    }
    ++slot->running;
    running_.push_back(slot);
    Guarded(slot->callback);
    running_.pop_back();
    if (--slot->running > 0)
        return; // an outer run of the same callback is still on the stack
    if (!slot->live) {
        Recycle(*slot);
        return;
    }
    if (slot->parked)
        Unpark(*slot);
}

void EpollEventLoop::Core::ParkRunning()
{
    for (Slot* slot : running_) {
        if (slot->parked || !slot->live || slot->reentrant)
            continue;
        ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, slot->fd, nullptr);
        slot->parked = true;
    }
}

void EpollEventLoop::Core::Unpark(Slot& slot)
{
    epoll_event event{};
    event.events = slot.events;
    event.data.u64 = TokenOf(slot);
    slot.parked = false;
    if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, slot.fd, &event) == 0)
        return;
    // The callback closed its own descriptor (or another registration took it) while still
    // registered; the slot can no longer be woken, which the owner is told of.
    Report(Exception("Cannot watch descriptor " + std::to_string(slot.fd) + " again: " + Reason(errno)));
}

void EpollEventLoop::Core::Run()
{
    if (callbacksRunning_ > 0)
        throw Exception("EpollEventLoop::Run called from inside a callback");
    while (!quit_)
        Dispatch(-1, true);
    quit_ = false;
}

void EpollEventLoop::Core::Guarded(const std::function<void()>& fn)
{
    ++callbacksRunning_;
    RunReportingErrors(onError_, fn);
    --callbacksRunning_;
}

void EpollEventLoop::Core::Report(const std::exception& error)
{
    ReportLoopError(onError_, error);
}

EpollEventLoop::EpollEventLoop(ErrorHandler onError) : core_(std::make_shared<Core>(std::move(onError))) {}

EpollEventLoop::~EpollEventLoop()
{
    core_->AssertInLoopThread("EpollEventLoop::~EpollEventLoop");
}

void EpollEventLoop::SetErrorHandler(ErrorHandler onError)
{
    core_->AssertInLoopThread("EpollEventLoop::SetErrorHandler");
    core_->SetErrorHandler(std::move(onError));
}

std::unique_ptr<EventLoop::Registration> EpollEventLoop::WatchReadable(Watchable fd, std::function<void()> onReadable)
{
    core_->AssertInLoopThread("EpollEventLoop::WatchReadable");
    const std::uint64_t token = core_->Add(fd, FileDescriptor(), std::move(onReadable));
    return std::make_unique<Core::Registration>(core_, token);
}

std::unique_ptr<EventLoop::Registration> EpollEventLoop::WatchReadableReentrant(Watchable fd, std::function<void()> onReadable)
{
    core_->AssertInLoopThread("EpollEventLoop::WatchReadableReentrant");
    const std::uint64_t token = core_->Add(fd, FileDescriptor(), std::move(onReadable), true);
    return std::make_unique<Core::Registration>(core_, token);
}

std::unique_ptr<EventLoop::Registration> EpollEventLoop::WatchWritable(Watchable fd, std::function<void()> onWritable)
{
    core_->AssertInLoopThread("EpollEventLoop::WatchWritable");
    const std::uint64_t token = core_->Add(fd, FileDescriptor(), std::move(onWritable), false, EPOLLOUT);
    return std::make_unique<Core::Registration>(core_, token);
}

std::unique_ptr<EventLoop::Registration> EpollEventLoop::StartTimer(int intervalMs, std::function<void()> onTick)
{
    core_->AssertInLoopThread("EpollEventLoop::StartTimer");
    FileDescriptor timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!timer.IsOpen())
        throw Exception("Cannot create a timer: " + Reason(errno));
    // timerfd reads a zero interval as "disarmed", so the shortest interval is 1 ms.
    const int ms = std::max(1, intervalMs);
    itimerspec period{};
    period.it_interval.tv_sec = ms / 1000;
    period.it_interval.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    period.it_value = period.it_interval;
    if (::timerfd_settime(timer.Get(), 0, &period, nullptr) != 0)
        throw Exception("Cannot start a timer: " + Reason(errno));
    const int fd = timer.Get();
    const std::uint64_t token = core_->Add(fd, std::move(timer), std::move(onTick));
    return std::make_unique<Core::Registration>(core_, token);
}

void EpollEventLoop::NotifyAgain(Registration& watch)
{
    core_->AssertInLoopThread("EpollEventLoop::NotifyAgain");
    // The registration class is final, so its type is told by a comparison where a cast
    // would search the class tree, once per datagram.
    if (typeid(watch) != typeid(Core::Registration))
        return;
    const auto& ours = static_cast<const Core::Registration&>(watch);
    if (!ours.BelongsTo(*core_))
        return;
    core_->NotifyAgain(ours.Token());
}

void EpollEventLoop::Post(std::function<void()> fn)
{
    core_->Post(std::move(fn));
}

void EpollEventLoop::ProcessEvents(int maxWaitMs)
{
    core_->AssertInLoopThread("EpollEventLoop::ProcessEvents");
    core_->Dispatch(std::max(0, maxWaitMs), false);
}

void EpollEventLoop::Quit()
{
    core_->AssertInLoopThread("EpollEventLoop::Quit");
    core_->Quit();
}

void EpollEventLoop::Run()
{
    core_->AssertInLoopThread("EpollEventLoop::Run");
    core_->Run();
}

} // namespace lobby
