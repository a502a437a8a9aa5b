// A worker's idle priority on Linux: SCHED_IDLE, with a per-thread niceness (gettid) under it.
#include "platform/worker_thread.h"

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

} // namespace lobby
