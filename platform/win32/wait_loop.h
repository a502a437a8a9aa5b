#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include <windows.h>

namespace lobby::win32 {

// The Windows event loop: one thread waits in MsgWaitForMultipleObjectsEx for the kernel
// objects it watches (the UDP socket's event from WSAEventSelect, the console's control
// event, the control pipe's overlapped events), for window messages, and for the next timer,
// whose due time is the wait's timeout. Chosen over WSAAsyncSelect (socket news as window
// messages) because headless there is no window to send them to, and over select() because
// that sees sockets only: one wait serves the window and the console alike, as epoll does on
// Linux. Window messages are dispatched while watching, so the window stays alive; a
// callback may watch and unwatch, start and stop timers, and quit.
//
// At most MAXIMUM_WAIT_OBJECTS - 1 (63) objects: the lobby needs five or six.
class WaitLoop {
public:
    using Callback = std::function<void()>;
    using Clock = std::function<std::uint64_t()>; // milliseconds, never going back

    // now: the clock timers run on; by default GetTickCount64. Tests step their own.
    explicit WaitLoop(Clock now = nullptr);
    ~WaitLoop();
    WaitLoop(const WaitLoop&) = delete;
    WaitLoop& operator=(const WaitLoop&) = delete;

    // Calls callback on the loop each time object is signalled (an auto-reset event stays
    // signalled until the wait takes it; a manual-reset one must be reset by the callback).
    // Returns an id for Unwatch. Throws std::length_error past the limit.
    int Watch(HANDLE object, Callback callback);
    void Unwatch(int id);

    // Calls callback every interval, the first time one interval from now. A slow callback
    // shifts the next call rather than calling twice to catch up.
    int StartTimer(std::chrono::milliseconds interval, Callback callback);
    void StopTimer(int id);

    // Waits and dispatches until Quit. WM_QUIT (PostQuitMessage) ends it too.
    void Run();
    // Waits at most maxWait for one thing to happen and dispatches what is ready; for tests
    // and for a loop nested inside a wait. Returns false once the loop was told to quit.
    bool RunOnce(std::chrono::milliseconds maxWait);
    void Quit() { quit_ = true; }

    // Wakes the loop from another thread (a console handler, a worker that finished).
    void Wake() { ::SetEvent(wake_); }

private:
    struct Watched {
        int id;
        HANDLE object;
        Callback callback;
    };
    struct Timer {
        int id;
        std::uint64_t interval;
        std::uint64_t due;
        Callback callback;
    };

    DWORD Timeout(std::chrono::milliseconds maxWait) const;
    void RunDueTimers();
    bool PumpMessages();

    Clock now_;
    HANDLE wake_;
    std::vector<Watched> watched_;
    std::vector<Timer> timers_;
    int nextId_ = 1;
    bool quit_ = false;
};

} // namespace lobby::win32
