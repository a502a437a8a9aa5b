#include "platform/worker_thread.h"

#include <clocale>
#include <locale.h>
#include <pthread.h>

#include <windows.h>

namespace lobby {

// THREAD_PRIORITY_IDLE is Windows' lowest class: the worker runs when the loop rests, and
// the loop takes the core back the moment it wakes.
void RunThisThreadAtIdlePriority() noexcept
{
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_IDLE);
}

void LeaveIdlePriority(std::thread& worker) noexcept
{
    // The MinGW thread library's threads are Windows threads underneath.
    ::SetThreadPriority(::pthread_gethandle(worker.native_handle()), THREAD_PRIORITY_LOWEST);
}

long long ThisThreadCpuNanoseconds() noexcept
{
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) * 100;
}

// Windows has no signals to leave: the console's control events come on a thread of
// Windows' own (platform/win32/console_control).
void LeaveSignalsToTheLoop() noexcept {}

struct ThreadTimeLocale::State {
    int previousMode = -1;
    std::string previousName;
};

ThreadTimeLocale::ThreadTimeLocale(const std::string& name) : state_(std::make_unique<State>())
{
    // The C library's locale made the thread's own, so the loop's thread is not touched.
    state_->previousMode = ::_configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
    if (const char* previous = std::setlocale(LC_TIME, nullptr))
        state_->previousName = previous;
    if (std::setlocale(LC_TIME, name.c_str()) == nullptr)
        std::setlocale(LC_TIME, "C");
}

ThreadTimeLocale::~ThreadTimeLocale()
{
    if (!state_->previousName.empty())
        std::setlocale(LC_TIME, state_->previousName.c_str());
    if (state_->previousMode != -1)
        ::_configthreadlocale(state_->previousMode);
}

} // namespace lobby
