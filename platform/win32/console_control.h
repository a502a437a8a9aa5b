#pragma once

#include <atomic>
#include <functional>
#include <optional>

#include <windows.h>

namespace lobby::win32 {

// The console's control events turned into a wake-up of the loop, the Windows twin of the
// signal pipe: Ctrl+C and Ctrl+Break (SIGINT), closing the console window, log-off and
// shut-down (SIGTERM). Windows calls the handler on a thread of its own; it only records the
// event and wakes the loop, which ends and saves on its own thread.
//
// Closing the console, logging off and shutting down end the process as soon as the
// handler returns, so for those the handler never returns: it waits while the loop's
// shut-down saves the registry and closes the log, and the program's own exit ends it, with
// the program's exit code. Windows allows about 5 seconds after a close and 20 after a
// log-off or shut-down before it ends the process anyway.
// (A program with a window hears log-off and shut-down as WM_QUERYENDSESSION and
// WM_ENDSESSION instead: the window's part.)
//
// One at a time in a process.
class ConsoleControl {
public:
    enum class Kind { CtrlC, CtrlBreak, Close, LogOff, ShutDown };

    // wake is called on the handler's thread: it must be safe there (WaitLoop::Wake is).
    explicit ConsoleControl(std::function<void()> wake);
    ~ConsoleControl();
    ConsoleControl(const ConsoleControl&) = delete;
    ConsoleControl& operator=(const ConsoleControl&) = delete;

    // The event that came, once; nothing when none came since the last call.
    std::optional<Kind> Take();

    // The handler Windows calls, public so that tests can call it as Windows would (with
    // Ctrl+C and Ctrl+Break only: for the others it never returns).
    static BOOL WINAPI Deliver(DWORD type);
    // Which kind a console control event is; nothing for events the lobby leaves alone.
    static std::optional<Kind> KindOf(DWORD type);

private:
    bool Record(Kind kind);

    std::function<void()> wake_;
    std::atomic<int> pending_{-1};
};

} // namespace lobby::win32
