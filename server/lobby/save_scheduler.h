#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/data_folder.h"
#include "server/lobby/memo.h"
#include "server/lobby/message_sender.h"
#include "server/registry/registry.h"
#include "server/registry/registry_saver.h"

namespace lobby {

// How the saves of the registry went, for the operator.
struct SaveRecord {
    std::uint64_t saves = 0;    // ended since start-up
    std::uint64_t failures = 0; // of those
    std::optional<LocalDateTime> endedAt; // when the last one ended, by the wall clock
    double seconds = 0;         // how long the last one took
    std::string error;          // why the last one failed; empty when it worked
    std::optional<std::int64_t> succeededAtEpochSeconds; // when one last worked, Unix time
    std::uint64_t failuresInARow = 0; // since the last that worked
};

// When the registry is saved, and what waits for it.
//
// A score report (or a new nick, or a console change) changes the table at once and is
// numbered; a save is written from a snapshot away from the loop, so the lobby goes on
// serving while a million rows reach the disk. Changes made meanwhile are covered together by
// the next save, which starts as soon as the one in flight ends: the file is never more than
// one save behind the table. Nothing a player is shown that shows a score or a new nick goes
// out before the save covering it is durable: such messages are held by the MessageSender,
// which this class tells when a version is on disk (or lost), so no crash can take back a
// score anybody saw, nor a nick somebody was welcomed with.
class SaveScheduler {
public:
    // Runs once the change it was given for is on disk (error null), or with the error of the
    // save that was to put it there.
    using SaveDone = std::function<void(std::exception_ptr error)>;
    struct Hooks {
        // Runs a save's end as a handler of its own (errors go to the operator).
        std::function<void(const std::function<void()>&)> runHandler;
        std::function<void(const std::string&)> showError;
        // For the record: a save that works again after failures.
        std::function<void(const std::string&)> showNotice;
        std::function<std::int64_t()> monotonicNowMs;
        const Clock* clock = nullptr;
    };

    SaveScheduler(Registry& table, TMemo& memo, MessageSender& sender, DataFolder& files, std::string fileName,
                  bool keepSavedText, std::unique_ptr<RegistrySaver> saver, Hooks hooks);

    // Whether the table was loaded: one that was not is never saved over its file.
    bool Loaded() const { return loaded_; }
    void SetLoaded(bool loaded) { loaded_ = loaded; }

    // A change to the table that must reach the disk; returns its number.
    std::uint64_t Changed() { return ++version_; }
    // done runs once the changes so far are on disk (or their save failed).
    void WhenOnDisk(SaveDone done);
    // The running handler's messages from here on show the table's changes: they wait for the
    // save that covers them, which is asked for.
    void HoldScores();
    // A save covering every change so far is in flight, or follows the one in flight. With a
    // saver that writes at once, a failure is raised here; otherwise it is shown to the
    // operator when the save ends.
    void Request();
    // Writes the whole table now, after any save in flight has ended. Raises when it fails
    // (the old file stays whole).
    void SaveNow();
    // Shutdown: the save in flight ends, and what waits for a save is saved and sent.
    void Finish();

    const SaveRecord& LastSave() const { return lastSave_; }

private:
    struct Waiter {
        std::uint64_t version;
        SaveDone done;
    };

    void Start();
    void Finished(std::uint64_t version, RegistrySaveResult result);
    void RefuseUnloaded() const;
    void NoteStarted();
    // Records a save's end and answers those waiting for the changes up to version.
    void NoteEnded(std::uint64_t version, const std::exception_ptr& error);

    Registry& table_;
    TMemo& memo_;
    MessageSender& sender_;
    DataFolder& files_;
    std::string fileName_;
    bool keepSavedText_;
    Hooks hooks_;
    bool loaded_ = false;
    std::uint64_t version_ = 0;                   // the last change
    std::uint64_t savedVersion_ = 0;              // the changes on disk
    std::optional<std::uint64_t> savingVersion_;  // the save in flight covers up to this
    bool saveWanted_ = false;                     // another save must follow the one in flight
    bool starting_ = false;                       // inside saver_->Start
    std::exception_ptr startError_;               // a save that failed inside Start
    std::deque<Waiter> waiters_;
    SaveRecord lastSave_;
    std::int64_t startedMs_ = 0;
    // Last: its worker ends (and reports) before what it reports to goes.
    std::unique_ptr<RegistrySaver> saver_;
};

} // namespace lobby
