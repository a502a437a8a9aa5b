#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

namespace lobby {

// The one event loop of the process, as the server's own code sees it. The front ends
// provide it (over Qt's loop); tests provide a manual one. Every callback runs on the
// loop's thread, one at a time.
class EventLoop {
public:
    // Keeps a registration alive; destroying it stops the callbacks.
    class Registration {
    public:
        virtual ~Registration() = default;
    };

    // What a loop watches: a descriptor on POSIX, a waitable handle on Windows.
    using Watchable = std::intptr_t;

    virtual ~EventLoop() = default;

    // Calls onReadable whenever fd has data to read, until the registration is destroyed.
    // The callback must read (at least one datagram); the loop calls again while data remain.
    // It is never re-entered: while it is on the stack, a nested dispatch (ProcessEvents from
    // inside it) leaves fd's events pending until it has returned.
    virtual std::unique_ptr<Registration> WatchReadable(Watchable fd, std::function<void()> onReadable) = 0;

    // As WatchReadable, except that a nested dispatch run from inside the callback dispatches
    // fd's events too, so the callback runs inside itself. For one reader only: the UDP
    // endpoint, whose class comment says why and what its callback does about it.
    virtual std::unique_ptr<Registration> WatchReadableReentrant(Watchable fd, std::function<void()> onReadable) = 0;

    // Calls onWritable whenever fd can take more bytes, until the registration is destroyed:
    // for a stream whose reply did not fit at once. Never re-entered. A descriptor is watched
    // for reading or for writing, not both at once.
    virtual std::unique_ptr<Registration> WatchWritable(Watchable fd, std::function<void()> onWritable) = 0;

    // Asks for the readable callback of watch to run again soon, as if the system had
    // reported its descriptor readable once more, without asking the system. A reader that
    // has just taken one datagram calls it: under load more are queued, and a pass that asks
    // the system first costs more than the datagram itself. The callback must cope with
    // finding nothing. A loop that learns readiness cheaply anyway may ignore the hint.
    virtual void NotifyAgain(Registration& /*watch*/) {}

    // Calls onTick every intervalMs milliseconds until the registration is destroyed.
    virtual std::unique_ptr<Registration> StartTimer(int intervalMs, std::function<void()> onTick) = 0;

    // Queues fn to run on the loop's thread. The only entry that is safe from another thread.
    virtual void Post(std::function<void()> fn) = 0;

    // Dispatches pending events from inside a running handler, waiting at most maxWaitMs for
    // one to arrive. Handlers of those events run nested in the caller.
    virtual void ProcessEvents(int maxWaitMs) = 0;

    // Ends the loop once the current handler returns.
    virtual void Quit() = 0;
};

// Where a loop sends an error that escaped a callback: to onError when there is one, else
// (or when onError itself fails) as one line on standard error. Never raises, since the
// loop must go on whatever a handler did.
using LoopErrorHandler = std::function<void(const std::exception& error)>;
void ReportLoopError(const LoopErrorHandler& onError, const std::exception& error) noexcept;

// Runs fn, handing whatever it raises to ReportLoopError: what both loops do around every
// callback. Never raises.
void RunReportingErrors(const LoopErrorHandler& onError, const std::function<void()>& fn) noexcept;

} // namespace lobby
