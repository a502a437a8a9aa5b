#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "platform/event_loop.h"

namespace lobby {

// One piece of disk work at a time on a thread of its own, its end told on the loop's thread:
// what the registry saver and the journal writer share. A thread per job, gone once the job is
// done: between jobs the process has the loop's thread alone, and the system's calls on
// descriptors (every receive, write and send) take their cheaper single-threaded path.
template <typename Result>
class BackgroundJob {
public:
    using Done = std::function<void(Result result)>;

    explicit BackgroundJob(EventLoop& loop) : loop_(loop), shared_(std::make_shared<Shared>()) {}
    // Waits for a job in flight, whose done then never runs.
    ~BackgroundJob()
    {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->done = nullptr;
        }
        if (worker_.joinable())
            worker_.join();
    }
    BackgroundJob(const BackgroundJob&) = delete;
    BackgroundJob& operator=(const BackgroundJob&) = delete;

    // Runs work() on a new thread; done(its result) runs on the loop's thread, posted, or in
    // Finish if that comes first. A job still in flight is finished first: never two at once.
    template <typename Work>
    void Start(Work work, Done done)
    {
        Finish();
        if (worker_.joinable())
            worker_.join(); // done already: its end was told
        inFlight_ = true;
        {
            std::lock_guard lock(shared_->mutex);
            shared_->done = std::move(done);
            shared_->result.reset();
        }
        worker_ = std::thread([&loop = loop_, shared = shared_, work = std::move(work)]() mutable {
            Result result = work();
            {
                std::lock_guard lock(shared->mutex);
                shared->result = std::move(result);
            }
            shared->changed.notify_all();
            loop.Post([shared] { Deliver(shared); });
        });
    }

    // Returns once no job is in flight, its done having run (on the calling thread, if the
    // loop has not run it yet).
    void Finish()
    {
        if (!inFlight_)
            return;
        {
            std::unique_lock lock(shared_->mutex);
            shared_->changed.wait(lock, [&] { return shared_->result.has_value() || !shared_->done; });
        }
        inFlight_ = false; // before the end is told: the end may start the next job
        Deliver(shared_);
    }

private:
    // What the job's thread and the loop share; the posted end holds it too, so it may run
    // after the job's owner is gone (and then does nothing).
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<Result> result; // left by the job's thread
        Done done;                    // loop thread only
    };

    // The end of the finished job on the loop's thread, once: whichever of the posted call and
    // Finish comes first.
    static void Deliver(const std::shared_ptr<Shared>& shared)
    {
        std::optional<Result> result;
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

    EventLoop& loop_;
    std::shared_ptr<Shared> shared_;
    bool inFlight_ = false; // loop thread only
    std::thread worker_;
};

} // namespace lobby
