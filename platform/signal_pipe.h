#pragma once

#include <functional>
#include <memory>

#include "platform/event_loop.h"

namespace lobby {

// Turns SIGINT and SIGTERM (the operator closing the server) and SIGHUP (re-read the
// regional settings) into calls on the loop's thread. The signal handler only writes the
// signal's number into a pipe the loop watches; everything else runs later, in the loop.
// One instance at a time: the handlers are process-wide.
class SignalPipe {
public:
    SignalPipe(EventLoop& loop, std::function<void()> onClose, std::function<void()> onReload);
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;
    // Puts the default handlers back and closes the pipe.
    ~SignalPipe();

private:
    void Drain();

    std::function<void()> onClose_;
    std::function<void()> onReload_;
    // The pipe's ends on POSIX, the console's handler on Windows: each system's own.
    struct System;
    std::unique_ptr<System> system_;
    // Declared after the system's part, so the loop stops watching before it goes.
    std::unique_ptr<EventLoop::Registration> watch_;
};

} // namespace lobby
