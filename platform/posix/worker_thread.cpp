#include "platform/worker_thread.h"

#include <csignal>
#include <ctime>
#include <locale.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace lobby {

namespace {

// Where the idle class is refused, the lowest niceness.
constexpr int kFallbackNiceness = 19;

} // namespace

// SCHED_IDLE is below every nice value; nice 19 first, in case the system refuses it.
// Sharing a core with the loop, a worker of mere lower niceness still held a waking loop up
// for a millisecond or more (p99 of an fc+ 5 ms, against 2 ms idle); an idle one gives way at
// once, and still gets a sliver of the core when the loop never rests.
void RunThisThreadAtIdlePriority() noexcept
{
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kFallbackNiceness);
    sched_param parameters{};
    parameters.sched_priority = 0;
    ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &parameters);
}

void LeaveIdlePriority(std::thread& worker) noexcept
{
    sched_param parameters{};
    parameters.sched_priority = 0;
    ::pthread_setschedparam(worker.native_handle(), SCHED_OTHER, &parameters);
}

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
