#include "server/registry/registry_saver.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "server/registry/registry_file.h"

namespace lobby {

namespace {

// The worker runs in the idle scheduling class: the loop answers players, the save only has
// to keep up with them. Sharing a core with the loop, a worker of mere lower niceness still
// held a waking loop up for a millisecond or more (p99 of an fc+ 5 ms, against 2 ms idle);
// an idle one gives way at once, and still gets a sliver of the core when the loop never
// rests, so saves slow down under overload but never stop. Where the idle class is refused,
// the lowest niceness.
constexpr int kFallbackNiceness = 19;

} // namespace

RegistrySaveResult SaveSnapshot(DataFolder& folder, std::string_view name, const RegistrySnapshot& snapshot, bool keepText)
{
    RegistrySaveResult result;
    try {
        WriteRegistryFile(folder, name, snapshot);
        if (keepText)
            result.text = RegistryText(snapshot, &result.lineStarts);
    } catch (...) {
        result.error = std::current_exception();
    }
    return result;
}

void InlineRegistrySaver::Start(DataFolder& folder, std::string name, RegistrySnapshot snapshot, bool keepText, Done done)
{
    RegistrySaveResult result = SaveSnapshot(folder, name, snapshot, keepText);
    snapshot = {}; // let go of the rows before the end is told, as a worker would
    done(std::move(result));
}

BackgroundRegistrySaver::BackgroundRegistrySaver(EventLoop& loop) : loop_(loop), shared_(std::make_shared<Shared>()) {}

BackgroundRegistrySaver::~BackgroundRegistrySaver()
{
    {
        std::lock_guard lock(shared_->mutex);
        shared_->done = nullptr;
    }
    if (worker_.joinable())
        worker_.join();
}

void BackgroundRegistrySaver::Start(DataFolder& folder, std::string name, RegistrySnapshot snapshot, bool keepText, Done done)
{
    Finish(); // never two at once; the callers wait for the end before starting another
    if (worker_.joinable())
        worker_.join(); // done already: its end was told
    inFlight_ = true;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->done = std::move(done);
        shared_->result.reset();
    }
    worker_ = std::thread([this, shared = shared_, &folder, name = std::move(name), snapshot = std::move(snapshot), keepText]() mutable {
        sched_param idle{};
        if (::sched_setscheduler(0, SCHED_IDLE, &idle) != 0)
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kFallbackNiceness);
        RegistrySaveResult result = SaveSnapshot(folder, name, snapshot, keepText);
        snapshot = {}; // the rows are let go before the loop hears of the end
        {
            std::lock_guard lock(shared->mutex);
            shared->result = std::move(result);
        }
        shared->changed.notify_all();
        loop_.Post([shared] { Deliver(shared); });
    });
}

void BackgroundRegistrySaver::Finish()
{
    if (!inFlight_)
        return;
    {
        std::unique_lock lock(shared_->mutex);
        shared_->changed.wait(lock, [&] { return shared_->result.has_value() || !shared_->done; });
    }
    // Cleared before the end is told: the end may start the next save.
    inFlight_ = false;
    Deliver(shared_);
}

// Runs the end of the finished save on the loop's thread, once: whichever of the posted call
// and Finish comes first.
void BackgroundRegistrySaver::Deliver(const std::shared_ptr<Shared>& shared)
{
    std::optional<RegistrySaveResult> result;
    Done done;
    {
        std::lock_guard lock(shared->mutex);
        if (!shared->result || !shared->done)
            return;
        result.swap(shared->result);
        done.swap(shared->done);
    }
    done(std::move(*result));
}

} // namespace lobby
