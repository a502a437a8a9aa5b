#include "server/registry/journal_file.h"

#include <utility>

#include "server/registry/registry_file.h"

namespace lobby {

JournalFile::JournalFile(DataFolder& folder, std::string name) : folder_(folder), name_(std::move(name)) {}

JournalFile::~JournalFile()
{
    if (file_)
        file_->Close();
}

void JournalFile::Open(const FileIdentity& extends, std::uint64_t base, std::vector<EncodedRecord> kept, bool reuse)
{
    std::lock_guard lock(mutex_);
    extends_ = extends;
    Tell(extends, nullptr);
    base_ = base;
    held_.assign(std::make_move_iterator(kept.begin()), std::make_move_iterator(kept.end()));
    if (!reuse) {
        RewriteLocked();
        return;
    }
    file_ = folder_.OpenForAppending(name_);
}

void JournalFile::Assume(const FileIdentity& extends, std::uint64_t base)
{
    std::lock_guard lock(mutex_);
    extends_ = extends;
    Tell(extends, nullptr);
    base_ = base;
    held_.clear();
}

[[noreturn]] void JournalFile::Fail(const std::string& what, const SystemReason& reason)
{
    throw RegistrySaveError(what + " (" + Path() + ": " + reason.text + ")");
}

// Whatever stops an append half way, the journal must not end in a part of a record that
// later ones would follow: the part is taken back, or, when that fails too, the journal is
// written anew from memory before anything more is appended.
void JournalFile::AppendLocked(std::string_view bytes)
{
    if (broken_ || !file_)
        RewriteLocked();
    SystemReason error;
    const std::size_t written = file_->Write(bytes, error);
    if (written < bytes.size()) {
        if (!file_->TakeBack(written))
            broken_ = true;
        Fail("Stream write error", error);
    }
    error = file_->Sync();
    if (error.Failed()) {
        broken_ = true; // what reached the disk is unknown
        Fail("Stream write error", error);
    }
}

void JournalFile::Append(const std::vector<EncodedRecord>& group)
{
    std::lock_guard lock(mutex_);
    std::string bytes;
    for (const EncodedRecord& record : group) {
        if (record.seq > base_)
            bytes += record.bytes;
    }
    if (bytes.empty())
        return;
    AppendLocked(bytes);
    for (const EncodedRecord& record : group) {
        if (record.seq > base_)
            held_.push_back(record);
    }
}

void JournalFile::Checkpoint(const FileIdentity& file, std::uint64_t seq)
{
    std::lock_guard lock(mutex_);
    JournalRecord checkpoint{seq, JournalRecord::Kind::kCheckpoint, {std::to_string(file.size), std::to_string(file.crc)}};
    AppendLocked(EncodeRecord(checkpoint));
    nextFile_ = file;
    nextBase_ = seq;
}

void JournalFile::Restart()
{
    std::lock_guard lock(mutex_);
    extends_ = nextFile_;
    base_ = std::max(base_, nextBase_);
    while (!held_.empty() && held_.front().seq <= base_)
        held_.pop_front();
    try {
        RewriteLocked();
        Tell(extends_, nullptr);
    } catch (...) {
        Tell(extends_, std::current_exception());
    }
}

void JournalFile::Tell(const FileIdentity& extends, std::exception_ptr error)
{
    std::lock_guard lock(toldMutex_);
    toldExtends_ = extends;
    restartError_ = std::move(error);
}

std::exception_ptr JournalFile::TakeRestartError()
{
    std::lock_guard lock(toldMutex_);
    return std::exchange(restartError_, nullptr);
}

FileIdentity JournalFile::Extends() const
{
    std::lock_guard lock(toldMutex_);
    return toldExtends_;
}

// The journal replaced whole (header and the changes held), then opened to append to. Closed
// first: a file open for appending cannot be replaced on every system. When the replacement
// fails the old journal is whole still, and is opened again.
void JournalFile::RewriteLocked()
{
    if (file_) {
        file_->Close();
        file_.reset();
    }
    broken_ = true;
    std::string bytes = JournalHeader(extends_, base_);
    for (const EncodedRecord& record : held_)
        bytes += record.bytes;
    try {
        WriteFileReplacing(folder_, name_, bytes);
    } catch (...) {
        try {
            file_ = folder_.OpenForAppending(name_);
        } catch (...) {
            // Told by the replacement's own error, raised below; the next append tries again.
        }
        throw;
    }
    file_ = folder_.OpenForAppending(name_);
    broken_ = false;
}

} // namespace lobby
