// A worker's CPU time, signals and time locale on POSIX; its idle priority is Linux's own
// (platform/linux/idle_priority.cpp).
#include "platform/worker_thread.h"

#include <csignal>
#include <ctime>
#include <locale.h>
#include <pthread.h>

namespace lobby {

long long ThisThreadCpuNanoseconds() noexcept
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void LeaveSignalsToTheLoop() noexcept
{
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

struct ThreadTimeLocale::State {
    locale_t locale = static_cast<locale_t>(0);
    locale_t previous = LC_GLOBAL_LOCALE;
};

ThreadTimeLocale::ThreadTimeLocale(const std::string& name) : state_(std::make_unique<State>())
{
    state_->locale = ::newlocale(LC_TIME_MASK, name.c_str(), static_cast<locale_t>(0));
    if (state_->locale == static_cast<locale_t>(0))
        state_->locale = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    if (state_->locale != static_cast<locale_t>(0))
        state_->previous = ::uselocale(state_->locale);
}

ThreadTimeLocale::~ThreadTimeLocale()
{
    if (state_->locale == static_cast<locale_t>(0))
        return;
    ::uselocale(state_->previous);
    ::freelocale(state_->locale);
}

} // namespace lobby
