#pragma once

#include <exception>
#include <functional>
#include <memory>

#include "platform/event_loop.h"
#include "platform/loop_thread.h"

class QObject;

namespace lobby {

// The program's event loop over Qt's: sockets through QSocketNotifier, timers through
// QTimer, posts through queued calls. Needs a QCoreApplication (or QApplication) to exist
// first and must be used on its thread, the one that made it, except Post; debug builds
// check that (see LoopThread).
//
// Qt cannot carry an exception out of a callback through its own loop, so every callback
// runs under a catch, and whatever escapes goes to the error handler (by default a line on
// standard error); the loop then goes on with the next event.
class QtEventLoop : public EventLoop {
public:
    using ErrorHandler = LoopErrorHandler;

    // Raises Exception when there is no QCoreApplication.
    explicit QtEventLoop(ErrorHandler onError = {});
    ~QtEventLoop() override;
    QtEventLoop(const QtEventLoop&) = delete;
    QtEventLoop& operator=(const QtEventLoop&) = delete;

    // Where exceptions escaping callbacks go; an empty handler restores the default.
    void SetErrorHandler(ErrorHandler onError);

    // Never re-entered: the notifier is off while its callback runs.
    std::unique_ptr<Registration> WatchReadable(Watchable fd, std::function<void()> onReadable) override;
    // The notifier stays on, so a nested dispatch calls the callback inside itself.
    std::unique_ptr<Registration> WatchReadableReentrant(Watchable fd, std::function<void()> onReadable) override;
    // Off while its callback runs, as WatchReadable.
    std::unique_ptr<Registration> WatchWritable(Watchable fd, std::function<void()> onWritable) override;
    std::unique_ptr<Registration> StartTimer(int intervalMs, std::function<void()> onTick) override;
    // Thread-safe. Calls still queued when this loop is destroyed are dropped unrun.
    void Post(std::function<void()> fn) override;
    // Runs every pending event; when there is none, waits up to maxWaitMs for one.
    void ProcessEvents(int maxWaitMs) override;
    // Takes effect when control is back in the loop; a quit asked for before the loop runs
    // ends it as soon as it starts.
    void Quit() override;

private:
    std::unique_ptr<Registration> Watch(int fd, std::function<void()> callback, bool reentrant, bool writable = false);
    // Runs fn, handing anything it raises to the error handler.
    void Guarded(const std::function<void()>& fn);

    // Receives posted calls. Owned here, so that calls queued for a loop that is gone die
    // with this object instead of running against it.
    std::unique_ptr<QObject> context_;
    ErrorHandler onError_;
    LoopThread thread_;
};

} // namespace lobby
