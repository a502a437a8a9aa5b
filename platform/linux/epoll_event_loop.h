#pragma once

#include <exception>
#include <functional>
#include <memory>

#include "platform/system_event_loop.h"

namespace lobby {

// The program's event loop over Linux's own primitives, for servers without a window:
// descriptors through epoll (level-triggered), timers through timerfd, posts through a
// mutex-guarded queue whose arrival an eventfd announces. No Qt. Used on one thread, the
// loop's (the one that made it), except Post; debug builds check that (see LoopThread).
//
// Callbacks run one at a time on the loop's thread. Whatever a callback raises goes to the
// error handler (by default one line on standard error) and the loop goes on with the next
// event, so one faulty handler never ends the server.
//
// Nested dispatch: ProcessEvents called from inside a callback dispatches other events, but
// never an event of a registration whose callback is still on the stack. Such a
// registration is taken out of the wait set while the nested dispatch runs, and its events
// stay pending (level-triggered, nothing is lost) until its callback has returned. A
// callback therefore never runs inside itself, whichever way the nesting goes. The one
// exception is a reader registered with WatchReadableReentrant: it stays in the wait set and
// its events are dispatched nested like any other (the again-list and its pass bound
// included), and it is recycled only once its outermost run has returned.
//
// Registrations: destroying one stops its callbacks at once, also from inside a callback,
// its own included; a callback that drops its own registration runs on to its end safely.
// A registration may outlive the loop (destroying it then does nothing). One readable
// registration per descriptor at a time, and it must be destroyed before the descriptor is
// closed.
class EpollEventLoop : public SystemEventLoop {
public:
    using ErrorHandler = LoopErrorHandler;

    // Raises Exception naming the system's reason when epoll or eventfd are refused.
    explicit EpollEventLoop(ErrorHandler onError = {});
    // Drops unrun posts and every callback; must not be called from inside a callback.
    ~EpollEventLoop() override;
    EpollEventLoop(const EpollEventLoop&) = delete;
    EpollEventLoop& operator=(const EpollEventLoop&) = delete;

    // Where exceptions escaping callbacks go; an empty handler restores the default line on
    // standard error.
    void SetErrorHandler(ErrorHandler onError);

    // Calls onReadable while fd is readable (or has an error or hang-up to report), once per
    // pass of the loop. Raises Exception when the system refuses to watch fd (not open, a
    // regular file, already watched).
    std::unique_ptr<Registration> WatchReadable(Watchable fd, std::function<void()> onReadable) override;
    // As WatchReadable, but the callback may run nested inside itself (see the nesting rule).
    std::unique_ptr<Registration> WatchReadableReentrant(Watchable fd, std::function<void()> onReadable) override;
    // As WatchReadable, for the descriptor taking more bytes.
    std::unique_ptr<Registration> WatchWritable(Watchable fd, std::function<void()> onWritable) override;

    // Queues the watch's callback for the next pass without a wait; up to kAgainPasses such
    // passes run in a row before a wait lets timers, posts from other threads and other
    // descriptors in. A watch asked for twice before its pass runs once.
    void NotifyAgain(Registration& watch) override;
    static constexpr int kAgainPasses = 16;

    // Calls onTick every intervalMs milliseconds, the first time one interval from now;
    // intervals below 1 ms count as 1 ms. Ticks missed while the loop was busy are folded
    // into one call. Raises Exception when the system refuses a timer.
    std::unique_ptr<Registration> StartTimer(int intervalMs, std::function<void()> onTick) override;

    // Thread-safe. Queues fn and wakes the loop; posts run in the order they were made. Calls
    // still queued when the loop is destroyed never run.
    void Post(std::function<void()> fn) override;

    // Runs every pending event once; when there is none, waits up to maxWaitMs (0: not at
    // all) for one and runs what arrived. Callable from inside a callback (see the nesting
    // rule above) and from outside the loop. Does not stop for Quit.
    void ProcessEvents(int maxWaitMs) override;

    // Ends Run once the current callback has returned; events not yet dispatched stay
    // pending. A quit asked for before Run (or between runs) makes the next Run return at
    // once. Loop thread only; another thread posts it.
    void Quit() override;

    // Dispatches events until Quit, then returns; the quit is used up, so a later Run runs
    // until the next Quit. Raises Exception when called from inside a callback, or when the
    // wait itself fails.
    void Run() override;

private:
    class Core;
    // Shared with the registrations (which hold it weakly), so that a registration dropped
    // after the loop is gone finds nothing to touch.
    std::shared_ptr<Core> core_;
};

} // namespace lobby
