#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/data_folder.h"
#include "server/registry/registry_journal.h"

namespace lobby {

// The registry's journal on disk: the changes made since the registry file was last written,
// appended and synced a group at a time. Safe on two threads at once: the one that appends
// and the one that rewrites the registry file (which checkpoints and restarts it).
//
// A rewrite of the registry file goes: Checkpoint (the journal says which file will hold the
// changes up to which one, and is synced), the file replaced, Restart (the journal replaced
// by one that extends the new file and holds only the changes after it). A crash anywhere in
// between leaves a pair that start-up reads without loss: before the file's rename, the old
// file and the journal's header still match; after it, the checkpoint names the new file.
//
// The changes since the restart are kept in memory as well, so a restart, or the repair of a
// journal whose append failed half way, writes them anew without reading the file.
class JournalFile {
public:
    JournalFile(DataFolder& folder, std::string name);
    ~JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    // Start-up: the journal extends the file of identity extends, which holds the changes up
    // to base, and holds the changes kept (those after base). With reuse the journal on disk
    // is exactly that already and is opened to append to; otherwise it is written afresh.
    // Raises FileError.
    void Open(const FileIdentity& extends, std::uint64_t base, std::vector<EncodedRecord> kept, bool reuse);
    // Start-up without a journal on disk: none is made until the first checkpoint.
    void Assume(const FileIdentity& extends, std::uint64_t base);

    // Appends the group (those after the base dropped) and syncs it. Raises RegistrySaveError
    // when it cannot; the journal is then mended (the part written taken back, or the whole
    // written anew) before the next append, and the group is not in it.
    void Append(const std::vector<EncodedRecord>& group);

    // Before the registry file of identity file, holding the changes up to seq, replaces the
    // old one: says so in the journal, synced. Raises RegistrySaveError, and then the file
    // must not be replaced.
    void Checkpoint(const FileIdentity& file, std::uint64_t seq);
    // After that file is durable under the registry's name: the journal extends it from now
    // on and starts anew with the changes after seq. A failure is kept for TakeRestartError;
    // the old journal, checkpoint and all, then goes on serving.
    void Restart();
    std::exception_ptr TakeRestartError();

    // The identity of the registry file the journal extends, as far as it knows. This and
    // TakeRestartError never wait for an append: the loop asks them.
    FileIdentity Extends() const;
    std::string Path() const { return folder_.PathOf(name_); }

private:
    void AppendLocked(std::string_view bytes);
    void RewriteLocked();
    void Tell(const FileIdentity& extends, std::exception_ptr error);
    [[noreturn]] void Fail(const std::string& what, const SystemReason& reason);

    DataFolder& folder_;
    const std::string name_;
    mutable std::mutex mutex_;
    std::unique_ptr<AppendFile> file_;
    FileIdentity extends_;
    std::uint64_t base_ = 0;
    std::deque<EncodedRecord> held_; // the changes after base_, as the journal holds them
    bool broken_ = false;            // the file may end in a part of a record: written anew first
    FileIdentity nextFile_;          // the checkpointed file, until its restart
    std::uint64_t nextBase_ = 0;
    mutable std::mutex toldMutex_; // what the loop asks, apart from the appends' lock
    FileIdentity toldExtends_;
    std::exception_ptr restartError_;
};

} // namespace lobby
