#pragma once

#include <memory>
#include <thread>
#include <string>

namespace lobby {

// What a worker thread (the registry's saver, the traffic log's keeper) asks of the system
// for itself. One implementation per system: platform/posix/worker_thread.cpp with Linux's
// idle class in platform/linux/idle_priority.cpp; platform/win32/worker_thread.cpp, with
// SetThreadPriority's THREAD_PRIORITY_IDLE, GetThreadTimes, _configthreadlocale, and no
// signals to leave.

// The calling thread gets only the CPU nobody else wants, so the loop takes the core back the
// moment it wakes. Best effort: the work is the same at any priority, only less polite.
void RunThisThreadAtIdlePriority() noexcept;

// Takes another thread out of the idle class (its niceness stays lowest), so that a busy
// machine does not keep it from stopping when asked.
void LeaveIdlePriority(std::thread& worker) noexcept;

// The CPU time the calling thread has used, in nanoseconds.
long long ThisThreadCpuNanoseconds() noexcept;

// Signals (SIGTERM, SIGHUP) are the loop's to take: the calling thread never receives one.
void LeaveSignalsToTheLoop() noexcept;

// The calling thread's own LC_TIME locale for as long as this lives, so month and weekday
// names are rendered as the loop renders them without touching the process's locale, which
// the loop thread may switch at any time. An unknown name falls back to "C".
class ThreadTimeLocale {
public:
    explicit ThreadTimeLocale(const std::string& name);
    ~ThreadTimeLocale();
    ThreadTimeLocale(const ThreadTimeLocale&) = delete;
    ThreadTimeLocale& operator=(const ThreadTimeLocale&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace lobby
