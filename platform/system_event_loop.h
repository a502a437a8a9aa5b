#pragma once

#include <memory>

#include "platform/event_loop.h"

namespace lobby {

// The loop the headless server runs on: epoll on Linux, the wait on kernel objects on
// Windows. Each system's file makes its own.
class SystemEventLoop : public EventLoop {
public:
    // Waits and dispatches until Quit.
    virtual void Run() = 0;
};

// Errors escaping a callback go to ReportLoopError with no handler: one line on standard error.
std::unique_ptr<SystemEventLoop> MakeSystemEventLoop();

} // namespace lobby
