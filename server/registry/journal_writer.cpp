#include "server/registry/journal_writer.h"

namespace lobby {

std::exception_ptr AppendGroup(JournalFile& journal, const std::vector<EncodedRecord>& group)
{
    try {
        journal.Append(group);
        return nullptr;
    } catch (...) {
        return std::current_exception();
    }
}

void InlineJournalWriter::Start(JournalFile& journal, std::vector<EncodedRecord> group, Done done)
{
    done(AppendGroup(journal, group));
}

BackgroundJournalWriter::BackgroundJournalWriter(EventLoop& loop) : loop_(loop), shared_(std::make_shared<Shared>()) {}

BackgroundJournalWriter::~BackgroundJournalWriter()
{
    {
        std::lock_guard lock(shared_->mutex);
        shared_->done = nullptr;
    }
    if (worker_.joinable())
        worker_.join();
}

void BackgroundJournalWriter::Start(JournalFile& journal, std::vector<EncodedRecord> group, Done done)
{
    Finish();
    if (worker_.joinable())
        worker_.join();
    inFlight_ = true;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->done = std::move(done);
        shared_->result.reset();
    }
    worker_ = std::thread([this, shared = shared_, &journal, group = std::move(group)] {
        std::exception_ptr error = AppendGroup(journal, group);
        {
            std::lock_guard lock(shared->mutex);
            shared->result = error;
        }
        shared->changed.notify_all();
        loop_.Post([shared] { Deliver(shared); });
    });
}

void BackgroundJournalWriter::Finish()
{
    if (!inFlight_)
        return;
    {
        std::unique_lock lock(shared_->mutex);
        shared_->changed.wait(lock, [&] { return shared_->result.has_value() || !shared_->done; });
    }
    inFlight_ = false; // before the end is told: the end may start the next append
    Deliver(shared_);
}

// The end of the finished append on the loop's thread, once: whichever of the posted call and
// Finish comes first.
void BackgroundJournalWriter::Deliver(const std::shared_ptr<Shared>& shared)
{
    std::optional<std::exception_ptr> result;
    Done done;
    {
        std::lock_guard lock(shared->mutex);
        if (!shared->result || !shared->done)
            return;
        result.swap(shared->result);
        done.swap(shared->done);
    }
    done(*result);
}

} // namespace lobby
