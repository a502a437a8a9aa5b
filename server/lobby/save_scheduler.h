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
#include "platform/event_loop.h"
#include "server/registry/journal_file.h"
#include "server/registry/journal_replay.h"
#include "server/registry/journal_writer.h"
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

// When the registry's changes reach the disk, and what waits for them.
//
// A score report (or a new nick, a flag, or a console change) changes the table at once and
// is numbered and recorded (Record). The records go to the journal beside the registry file
// a group at a time, appended and synced away from the loop: a report costs one small append
// and a share of one sync, whatever the size of the registry. Records made meanwhile go
// together in the next group, which starts as soon as the one in flight ends. Nothing a
// player is shown that shows a score or a new nick goes out before the group holding it is
// durable: such messages are held by the MessageSender, which this class tells when a
// version is on disk (or lost), so no crash can take back a score anybody saw, nor a nick
// somebody was welcomed with.
//
// The registry file itself is rewritten from a snapshot, away from the loop, when the journal
// has grown past a tenth of it, when the lobby has been quiet a few seconds, when the
// operator asks and at shutdown; after each rewrite the journal starts anew. Without a
// journal (before one is opened, or after an append failed, until a rewrite has mended it)
// every change is saved by a rewrite, as a lobby without one would.
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
        // Runs the quiet rewrite's check every second; none without a loop (tests call Tick).
        EventLoop* loop = nullptr;
        // Below this many rows a change rewrites the file, which costs no more than an
        // append and its sync there, and the journal stays empty.
        int journalFromRows = kJournalFromRows;
    };

    static constexpr std::string_view kJournalFileName = "cadastro.journal";
    static constexpr int kJournalFromRows = 10000;
    // The journal is folded into the file once it holds this share of the file's size...
    static constexpr std::uint64_t kJournalShare = 10;
    static constexpr std::uint64_t kJournalMinBytes = 64 * 1024;
    // ...or once the lobby has made no change this long, at most as often as rewriting the
    // file at this many bytes a second allows.
    static constexpr std::int64_t kQuietMs = 5000;
    static constexpr std::uint64_t kQuietRewriteBytesPerSecond = 512 * 1024;

    SaveScheduler(Registry& table, TMemo& memo, MessageSender& sender, DataFolder& files, std::string fileName,
                  bool keepSavedText, std::unique_ptr<RegistrySaver> saver, std::unique_ptr<JournalWriter> writer,
                  Hooks hooks);

    // Whether the table was loaded: one that was not is never saved over its file.
    bool Loaded() const { return loaded_; }
    void SetLoaded(bool loaded) { loaded_ = loaded; }
    // The registry file's full path.
    std::string RegistryPath() const { return files_.PathOf(fileName_); }

    // Start-up, once the file of identity file is loaded into the table: the journal's
    // changes are applied (see ReplayJournal, which raises JournalRefused) and the journal
    // opened to append to. The change numbers go on from the last one applied.
    ReplayOutcome OpenJournal(const FileIdentity& file);
    // The journal extends the file of identity file, written afresh, holding nothing yet.
    void StartJournal(const FileIdentity& file);

    // A change made to the table that must reach the disk, as the journal keeps it; returns
    // its number. RegistryChanges makes every such change. A change that is not promised
    // (a flag) holds no message back: it reaches the disk with the next one.
    std::uint64_t Record(JournalRecord record, bool promised = true);
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
    // The registry file is rewritten from the table, away from the loop; done hears when.
    void RewriteSoon(SaveDone done);
    // The quiet rewrite's check (every second, from the loop).
    void Tick();
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
    static void Answer(std::deque<Waiter>& waiters, std::uint64_t version, const std::exception_ptr& error);

    // The journal's side: whether groups go to it now, the next group, and its end.
    bool Journaling() const
    {
        return journal_ && journalFresh_ && table_.RowCount() >= hooks_.journalFromRows &&
               rewrittenVersion_ >= rewriteNeededUpTo_;
    }
    void RequestRewrite();
    void StartAppend();
    void AppendEnded(std::uint64_t version, const std::exception_ptr& error);
    void Durable(std::uint64_t version);
    SaveSteps RewriteSteps(std::uint64_t version);
    void Rewritten(std::uint64_t version);
    bool RewriteDue() const;
    void StartJournalNow(const FileIdentity& file);

    Registry& table_;
    TMemo& memo_;
    MessageSender& sender_;
    DataFolder& files_;
    std::string fileName_;
    bool keepSavedText_;
    Hooks hooks_;
    bool loaded_ = false;
    std::uint64_t version_ = 0;                   // the last change
    std::uint64_t promisedVersion_ = 0;           // the last change a message may show
    std::uint64_t savedVersion_ = 0;              // the changes on disk
    std::optional<std::uint64_t> savingVersion_;  // the save in flight covers up to this
    bool saveWanted_ = false;                     // another save must follow the one in flight
    bool starting_ = false;                       // inside saver_->Start
    std::exception_ptr startError_;               // a save that failed inside Start
    std::deque<Waiter> waiters_;
    SaveRecord lastSave_;
    std::int64_t startedMs_ = 0;

    std::unique_ptr<JournalFile> journal_;
    bool journalFresh_ = false; // the journal extends the file as last written
    bool journalHolds_ = false; // the journal holds changes: a rewrite must restart it
    bool restartsJournal_ = false; // the rewrite in flight checkpoints and restarts it
    std::vector<EncodedRecord> pending_;             // recorded, not yet handed to the writer
    std::optional<std::uint64_t> appendingVersion_;  // the group in flight ends with this change
    bool appendStarting_ = false;
    std::exception_ptr appendStartError_;
    std::uint64_t rewrittenVersion_ = 0;   // the registry file holds the changes up to this
    std::uint64_t rewriteNeededUpTo_ = 0;  // no group is appended until a rewrite covers this
    bool rewriteForced_ = false;           // the operator asked for a rewrite
    std::deque<Waiter> rewriteWaiters_;
    std::uint64_t journalBytes_ = 0;       // recorded since the last rewrite began
    std::uint64_t bytesBeforeRewrite_ = 0; // of those, the ones the rewrite in flight holds
    std::uint64_t fileBytes_ = 0;
    std::int64_t lastChangeMs_ = 0;
    std::int64_t lastRewriteMs_ = 0;
    std::unique_ptr<EventLoop::Registration> quietTimer_;
    // Last: their workers end (and report) before what they report to goes.
    std::unique_ptr<JournalWriter> writer_;
    std::unique_ptr<RegistrySaver> saver_;
};

} // namespace lobby
