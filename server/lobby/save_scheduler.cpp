#include "server/lobby/save_scheduler.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>
#include <vector>

#include "platform/exception.h"
#include "server/registry/registry_file.h"

namespace lobby {

namespace {

std::string MessageOf(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Exception& failure) {
        return failure.Message();
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "Unknown error while saving the registry";
    }
}

} // namespace

SaveScheduler::SaveScheduler(Registry& table, TMemo& memo, MessageSender& sender, DataFolder& files,
                             std::string fileName, bool keepSavedText, std::unique_ptr<RegistrySaver> saver,
                             Hooks hooks)
    : table_(table), memo_(memo), sender_(sender), files_(files), fileName_(std::move(fileName)),
      keepSavedText_(keepSavedText), hooks_(std::move(hooks)), saver_(std::move(saver))
{
}

// A registry that could not be read is never saved over: the file holds more than we do.
void SaveScheduler::RefuseUnloaded() const
{
    if (!loaded_)
        throw Exception("The registry " + files_.PathOf(fileName_) + " was not loaded, so it is not saved");
}

void SaveScheduler::SaveNow()
{
    RefuseUnloaded();
    // A save in flight ends first: the file must not go back to its older picture after this.
    saver_->Finish();
    memo_.Clear();
    NoteStarted();
    RegistrySnapshot snapshot = table_.Snapshot();
    RegistrySaveResult result = SaveSnapshot(files_, fileName_, snapshot, keepSavedText_);
    snapshot = {};
    table_.SnapshotReleased();
    NoteEnded(version_, result.error);
    if (result.error)
        std::rethrow_exception(result.error);
    if (result.text)
        memo_.SetText(std::move(*result.text), std::move(result.lineStarts));
    savedVersion_ = version_;
    sender_.NoteDurable(savedVersion_);
}

void SaveScheduler::HoldScores()
{
    if (version_ <= savedVersion_)
        return;
    sender_.HoldUntil(version_);
    Request();
}

void SaveScheduler::Request()
{
    if (savingVersion_) {
        if (*savingVersion_ < version_)
            saveWanted_ = true;
        return;
    }
    Start();
}

void SaveScheduler::WhenOnDisk(SaveDone done)
{
    waiters_.push_back(Waiter{version_, std::move(done)});
}

void SaveScheduler::Start()
{
    RefuseUnloaded();
    const std::uint64_t version = version_;
    savingVersion_ = version;
    saveWanted_ = false;
    starting_ = true;
    startError_ = nullptr;
    NoteStarted();
    try {
        saver_->Start(files_, fileName_, table_.Snapshot(), keepSavedText_, [this, version](RegistrySaveResult result) {
            hooks_.runHandler([&] { Finished(version, std::move(result)); });
        });
    } catch (...) {
        starting_ = false;
        if (savingVersion_ == version) {
            savingVersion_.reset();
            table_.SnapshotReleased();
        }
        throw;
    }
    starting_ = false;
    // A save that ended inside Start failed in the report that asked for it, which ends there.
    if (startError_)
        std::rethrow_exception(std::exchange(startError_, nullptr));
}

// The end of a save, on the loop's thread. Success releases the messages waiting for it;
// failure is shown at once (never held back with a client's errors), the file stays as it
// was, and the messages that waited for it are not sent, since their scores are not on disk.
// The table is untouched either way, and a save wanted meanwhile starts now.
void SaveScheduler::Finished(std::uint64_t version, RegistrySaveResult result)
{
    savingVersion_.reset();
    table_.SnapshotReleased();
    if (result.error) {
        sender_.Lost(version);
        if (starting_)
            startError_ = result.error;
        else
            hooks_.showError(MessageOf(result.error));
    } else {
        savedVersion_ = std::max(savedVersion_, version);
        if (result.text)
            memo_.SetText(std::move(*result.text), std::move(result.lineStarts));
        sender_.Durable(savedVersion_);
    }
    NoteEnded(version, result.error);
    if (saveWanted_ && version_ > savedVersion_)
        Start();
}

void SaveScheduler::Finish()
{
    // The table changes no more, so a save started here covers every message still waiting;
    // the passes are bounded all the same.
    for (int pass = 0; pass < 3; ++pass) {
        saver_->Finish(); // may start the save that was wanted meanwhile
        if (savingVersion_)
            continue;
        if (!sender_.Holding() || !loaded_)
            return;
        try {
            Request();
        } catch (...) {
            sender_.DropHeld();
            throw;
        }
    }
}

void SaveScheduler::NoteStarted()
{
    startedMs_ = hooks_.monotonicNowMs();
}

void SaveScheduler::NoteEnded(std::uint64_t version, const std::exception_ptr& error)
{
    ++lastSave_.saves;
    lastSave_.endedAt = hooks_.clock->Now();
    lastSave_.seconds = static_cast<double>(hooks_.monotonicNowMs() - startedMs_) / 1000.0;
    lastSave_.error.clear();
    if (!error) {
        lastSave_.succeededAtEpochSeconds =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
        // The failures were each heard of; that they are over must be too.
        if (std::exchange(lastSave_.failuresInARow, 0) > 0 && hooks_.showNotice)
            hooks_.showNotice("The registry is saved again (" + files_.PathOf(fileName_) + ", " +
                              std::to_string(std::max(table_.RowCount() - 1, 0)) + " players) after failed saves");
    }
    if (error) {
        ++lastSave_.failures;
        ++lastSave_.failuresInARow;
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& failure) {
            lastSave_.error = failure.what();
        } catch (...) {
            lastSave_.error = "unknown error";
        }
    }
    // Those answered are taken off first: an answer may start more work.
    std::vector<Waiter> answered;
    const auto covered = std::stable_partition(waiters_.begin(), waiters_.end(),
                                               [&](const Waiter& waiter) { return waiter.version <= version; });
    std::move(waiters_.begin(), covered, std::back_inserter(answered));
    waiters_.erase(waiters_.begin(), covered);
    for (Waiter& waiter : answered)
        waiter.done(error);
}

} // namespace lobby
