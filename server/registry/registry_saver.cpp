#include "server/registry/registry_saver.h"

#include "platform/worker_thread.h"
#include "server/registry/registry_file.h"

namespace lobby {

RegistrySaveResult SaveSnapshot(DataFolder& folder, std::string_view name, const RegistrySnapshot& snapshot, bool keepText,
                                const SaveSteps& steps)
{
    RegistrySaveResult result;
    try {
        if (steps.before)
            steps.before(snapshot);
        WriteRegistryFile(folder, name, snapshot);
        if (steps.after)
            steps.after();
        if (keepText)
            result.text = RegistryText(snapshot, &result.lineStarts);
    } catch (...) {
        result.error = std::current_exception();
    }
    return result;
}

void InlineRegistrySaver::Start(DataFolder& folder, std::string name, RegistrySnapshot snapshot, bool keepText, Done done,
                                SaveSteps steps)
{
    RegistrySaveResult result = SaveSnapshot(folder, name, snapshot, keepText, steps);
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

void BackgroundRegistrySaver::Start(DataFolder& folder, std::string name, RegistrySnapshot snapshot, bool keepText, Done done,
                                    SaveSteps steps)
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
    worker_ = std::thread([this, shared = shared_, &folder, name = std::move(name), snapshot = std::move(snapshot), keepText, steps = std::move(steps)]() mutable {
        // The loop answers players, the save only has to keep up with them.
        RunThisThreadAtIdlePriority();
        RegistrySaveResult result = SaveSnapshot(folder, name, snapshot, keepText, steps);
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
