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
                             std::unique_ptr<JournalWriter> writer, Hooks hooks)
    : table_(table), memo_(memo), sender_(sender), files_(files), fileName_(std::move(fileName)),
      keepSavedText_(keepSavedText), hooks_(std::move(hooks)), writer_(std::move(writer)), saver_(std::move(saver))
{
    if (hooks_.loop)
        quietTimer_ = hooks_.loop->StartTimer(1000, [this] { hooks_.runHandler([this] { Tick(); }); });
}

// A registry that could not be read is never saved over: the file holds more than we do.
void SaveScheduler::RefuseUnloaded() const
{
    if (!loaded_)
        throw Exception("The registry " + files_.PathOf(fileName_) + " was not loaded, so it is not saved");
}

ReplayOutcome SaveScheduler::OpenJournal(const FileIdentity& file)
{
    std::optional<FileText> bytes;
    try {
        bytes = files_.Read(kJournalFileName);
    } catch (const FileError& error) {
        throw RegistryUnreadable("cannot read the registry journal " + error.Message());
    }
    ReplayOutcome outcome;
    if (bytes && bytes->View().empty())
        bytes.reset();
    const bool onDisk = bytes.has_value();
    if (onDisk) {
        const ParsedJournal parsed = ParseJournal(bytes->View());
        bytes.reset();
        outcome = ReplayJournal(table_, parsed, file, {files_.PathOf(fileName_), files_.PathOf(kJournalFileName)});
    }
    version_ = promisedVersion_ = savedVersion_ = rewrittenVersion_ = outcome.last;
    sender_.NoteDurable(version_);
    journal_ = std::make_unique<JournalFile>(files_, std::string(kJournalFileName));
    // Written afresh unless it is exactly what goes on: a torn end cut off, a journal for an
    // older file started anew with the changes it holds after that file, a checkpoint of a
    // rewrite that never took the file's place dropped.
    const bool reuse = outcome.extendsFile && outcome.tornBytes == 0 && !outcome.checkpointed;
    for (const EncodedRecord& record : outcome.kept)
        journalBytes_ += record.bytes.size();
    fileBytes_ = file.size;
    journalHolds_ = !outcome.kept.empty();
    // No journal on disk: a large registry's is made now (else its first change would
    // rewrite the whole file), a small one's when it has grown large and is rewritten.
    journalFresh_ = onDisk;
    if (journalFresh_) {
        journal_->Open(file, outcome.base, std::move(outcome.kept), reuse);
    } else {
        journal_->Assume(file, outcome.base);
        if (table_.RowCount() >= hooks_.journalFromRows)
            StartJournalNow(file);
    }
    lastChangeMs_ = lastRewriteMs_ = hooks_.monotonicNowMs();
    return outcome;
}

// A journal that cannot be made now is told of; the changes then rewrite the file, which
// makes one at its first success.
void SaveScheduler::StartJournalNow(const FileIdentity& file)
{
    try {
        journal_->Open(file, version_, {}, false);
        journalFresh_ = true;
    } catch (const Exception& error) {
        hooks_.showError("The registry journal cannot be made, so every change rewrites the registry for now: " +
                         error.Message());
    }
}

void SaveScheduler::StartJournal(const FileIdentity& file)
{
    journal_ = std::make_unique<JournalFile>(files_, std::string(kJournalFileName));
    journal_->Assume(file, version_);
    journalFresh_ = false;
    journalHolds_ = false;
    rewrittenVersion_ = version_;
    fileBytes_ = file.size;
    journalBytes_ = 0;
}

std::uint64_t SaveScheduler::Record(JournalRecord record, bool promised)
{
    record.seq = ++version_;
    if (promised)
        promisedVersion_ = version_;
    EncodedRecord encoded{record.seq, EncodeRecord(record)};
    journalBytes_ += encoded.bytes.size();
    pending_.push_back(std::move(encoded));
    lastChangeMs_ = hooks_.monotonicNowMs();
    return version_;
}

void SaveScheduler::SaveNow()
{
    RefuseUnloaded();
    // A save in flight ends first: the file must not go back to its older picture after this.
    saver_->Finish();
    memo_.Clear();
    NoteStarted();
    const std::uint64_t version = version_;
    bytesBeforeRewrite_ = journalBytes_;
    RegistrySnapshot snapshot = table_.Snapshot();
    RegistrySaveResult result = SaveSnapshot(files_, fileName_, snapshot, keepSavedText_, RewriteSteps(version));
    snapshot = {};
    table_.SnapshotReleased();
    NoteEnded(version, result.error);
    if (result.error)
        std::rethrow_exception(result.error);
    if (result.text)
        memo_.SetText(std::move(*result.text), std::move(result.lineStarts));
    Rewritten(version);
    savedVersion_ = std::max(savedVersion_, version);
    sender_.NoteDurable(savedVersion_);
    Answer(waiters_, savedVersion_, nullptr);
}

void SaveScheduler::HoldScores()
{
    if (promisedVersion_ <= savedVersion_)
        return;
    sender_.HoldUntil(promisedVersion_);
    Request();
}

// Changes reach the disk in the journal when there is one; otherwise, or when it has grown
// enough, the file is rewritten.
void SaveScheduler::Request()
{
    RefuseUnloaded();
    if (!Journaling() || RewriteDue())
        RequestRewrite();
    if (!Journaling() || pending_.empty())
        return;
    if (appendingVersion_)
        return; // the group's end starts the next one
    StartAppend();
}

// A rewrite in flight is followed by another only for a change a message waits for: a flag
// (a join's "+") rides with the next rewrite that something else asks for, as it always did,
// rather than costing every join a second whole-file rewrite.
void SaveScheduler::RequestRewrite()
{
    if (savingVersion_) {
        if (*savingVersion_ < promisedVersion_ || rewriteForced_)
            saveWanted_ = true;
        return;
    }
    Start();
}

void SaveScheduler::RewriteSoon(SaveDone done)
{
    RefuseUnloaded();
    rewriteWaiters_.push_back(Waiter{version_, std::move(done)});
    rewriteForced_ = true;
    RequestRewrite();
}

void SaveScheduler::WhenOnDisk(SaveDone done)
{
    waiters_.push_back(Waiter{version_, std::move(done)});
}

bool SaveScheduler::RewriteDue() const
{
    if (!journal_ || savingVersion_)
        return false;
    return journalBytes_ >= std::max(kJournalMinBytes, fileBytes_ / kJournalShare);
}

void SaveScheduler::Tick()
{
    if (!loaded_ || !journal_ || savingVersion_ || version_ <= rewrittenVersion_)
        return;
    const std::int64_t now = hooks_.monotonicNowMs();
    const auto paceMs = static_cast<std::int64_t>(fileBytes_ * 1000 / kQuietRewriteBytesPerSecond);
    if (now - lastChangeMs_ < kQuietMs || now - lastRewriteMs_ < paceMs)
        return;
    RequestRewrite();
}

void SaveScheduler::StartAppend()
{
    std::vector<EncodedRecord> group = std::exchange(pending_, {});
    const std::uint64_t version = group.back().seq;
    appendingVersion_ = version;
    appendStarting_ = true;
    appendStartError_ = nullptr;
    writer_->Start(*journal_, std::move(group), [this, version](std::exception_ptr error) {
        if (appendStarting_) {
            AppendEnded(version, error);
            return;
        }
        hooks_.runHandler([&] { AppendEnded(version, error); });
    });
    appendStarting_ = false;
    if (appendStartError_)
        std::rethrow_exception(std::exchange(appendStartError_, nullptr));
}

// A group that failed is not in the journal (what was written of it is taken back): what it
// showed is never sent, and from here on the file is rewritten for every change until a
// rewrite covers that group, since a later group must not be applied without it.
void SaveScheduler::AppendEnded(std::uint64_t version, const std::exception_ptr& error)
{
    appendingVersion_.reset();
    if (error) {
        rewriteNeededUpTo_ = std::max(rewriteNeededUpTo_, version);
        sender_.Lost(version);
        Answer(waiters_, version, error);
        if (appendStarting_)
            appendStartError_ = error;
        else
            hooks_.showError(MessageOf(error));
        return;
    }
    journalHolds_ = true;
    Durable(version);
    if (!pending_.empty() && Journaling())
        StartAppend();
}

void SaveScheduler::Durable(std::uint64_t version)
{
    savedVersion_ = std::max(savedVersion_, version);
    sender_.Durable(savedVersion_);
    Answer(waiters_, savedVersion_, nullptr);
}

void SaveScheduler::Start()
{
    RefuseUnloaded();
    const std::uint64_t version = version_;
    savingVersion_ = version;
    saveWanted_ = false;
    rewriteForced_ = false;
    starting_ = true;
    startError_ = nullptr;
    bytesBeforeRewrite_ = journalBytes_;
    NoteStarted();
    try {
        saver_->Start(
            files_, fileName_, table_.Snapshot(), keepSavedText_,
            [this, version](RegistrySaveResult result) { hooks_.runHandler([&] { Finished(version, std::move(result)); }); },
            RewriteSteps(version));
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

// The journal's part in a rewrite, on the saving thread: the checkpoint before the file's
// rename, the restart after it. A small registry's rewrite leaves an empty journal alone:
// one for another file that holds nothing is dropped at start-up, and the first rewrite of a
// registry grown large restarts it before anything is appended.
SaveSteps SaveScheduler::RewriteSteps(std::uint64_t version)
{
    JournalFile* journal = journal_.get();
    const bool large = table_.RowCount() >= hooks_.journalFromRows;
    restartsJournal_ = journal && (large || journalHolds_);
    if (!restartsJournal_) {
        journalFresh_ = false; // the file changes under a journal that names the old one
        return {};
    }
    return SaveSteps{[journal, version](const RegistrySnapshot& snapshot) { journal->Checkpoint(IdentityOf(snapshot), version); },
                     [journal] { journal->Restart(); }};
}

// A rewrite that is durable: the changes it holds need no group of their own, and the journal
// holds only what came after it.
void SaveScheduler::Rewritten(std::uint64_t version)
{
    rewrittenVersion_ = std::max(rewrittenVersion_, version);
    std::erase_if(pending_, [&](const EncodedRecord& record) { return record.seq <= version; });
    journalBytes_ -= std::min(journalBytes_, bytesBeforeRewrite_);
    lastRewriteMs_ = hooks_.monotonicNowMs();
    Answer(rewriteWaiters_, version, nullptr);
    if (!journal_ || !restartsJournal_)
        return;
    journalFresh_ = true; // it extends the new file from now on
    journalHolds_ = journalBytes_ > 0; // changes made during the rewrite are in the new journal
    fileBytes_ = journal_->Extends().size;
    if (std::exception_ptr error = journal_->TakeRestartError())
        hooks_.showError("The registry journal could not start anew after the registry was saved, so it goes on growing: " +
                         MessageOf(error));
}

// The end of a rewrite, on the loop's thread. Success releases the messages waiting for it;
// failure is shown at once (never held back with a client's errors), the file stays as it
// was, and the messages that waited for it are not sent unless the journal holds them. The
// table is untouched either way, and a rewrite wanted meanwhile starts now.
void SaveScheduler::Finished(std::uint64_t version, RegistrySaveResult result)
{
    savingVersion_.reset();
    table_.SnapshotReleased();
    if (result.error) {
        if (!Journaling())
            sender_.Lost(version);
        Answer(rewriteWaiters_, version, result.error);
        if (starting_)
            startError_ = result.error;
        else
            hooks_.showError(MessageOf(result.error));
    } else {
        if (result.text)
            memo_.SetText(std::move(*result.text), std::move(result.lineStarts));
        Rewritten(version);
        Durable(version);
    }
    NoteEnded(version, result.error);
    if (saveWanted_ && (version_ > rewrittenVersion_ || rewriteForced_))
        Start();
    else if (result.error == nullptr && Journaling() && !pending_.empty() && !appendingVersion_)
        StartAppend();
}

void SaveScheduler::Finish()
{
    // The table changes no more, so a save started here covers every message still waiting;
    // the passes are bounded all the same.
    for (int pass = 0; pass < 3; ++pass) {
        saver_->Finish(); // may start the save that was wanted meanwhile
        writer_->Finish();
        if (savingVersion_ || appendingVersion_)
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
    if (error && !Journaling())
        Answer(waiters_, version, error);
}

// Those answered are taken off first: an answer may start more work.
void SaveScheduler::Answer(std::deque<Waiter>& waiters, std::uint64_t version, const std::exception_ptr& error)
{
    std::vector<Waiter> answered;
    const auto covered = std::stable_partition(waiters.begin(), waiters.end(),
                                               [&](const Waiter& waiter) { return waiter.version <= version; });
    std::move(waiters.begin(), covered, std::back_inserter(answered));
    waiters.erase(waiters.begin(), covered);
    for (Waiter& waiter : answered)
        waiter.done(error);
}

} // namespace lobby
