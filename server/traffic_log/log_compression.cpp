#include "server/traffic_log/log_compression.h"

#include <array>
#include <cstring>
#include <vector>

#include "platform/gzip_member.h"
#include "platform/io_error.h"
#include "server/traffic_log/log_day_names.h"

namespace lobby {

namespace {

// Small enough that the stop request and the keeper's pacing (between pieces) are heard
// within a millisecond or so of work.
constexpr std::size_t kPieceBytes = 64 * 1024;
// The plain file's pages already compressed are dropped from the page cache every so often:
// the file is about to go, and a 10 GB day read through the cache would push out what the
// machine keeps there for everyone else.
constexpr std::uint64_t kDropCacheEvery = 32 * 1024 * 1024;
// The gzip trailer: CRC-32, then the length modulo 2^32, both little-endian.
constexpr std::size_t kTrailerBytes = 8;
constexpr std::uint64_t kSmallestGzip = 18;

// Ends the attempt; the plain file stays. The text is what the operator reads.
struct CompressionFailure {
    std::string text;
};
struct CompressionStopped {};

void CheckStop(const CompressionControl& control)
{
    if (control.stop && control.stop->load(std::memory_order_relaxed))
        throw CompressionStopped{};
}

void Step(const CompressionControl& control, CompressionStep step)
{
    if (control.onStep)
        control.onStep(step);
}

std::uint32_t LittleEndian32(const unsigned char* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Whether the last gzip member of the file compressed holds exactly the plain file: its
// trailer's length and CRC-32 match the plain bytes. That is the one case where both files
// exist and the compressed one is already complete (a crash came after its rename).
bool LastMemberHolds(OpenFile& compressed, std::uint64_t compressedSize, OpenFile& plain, std::uint64_t plainSize,
                     const CompressionControl& control)
{
    if (compressedSize < kSmallestGzip)
        return false;
    std::array<unsigned char, kTrailerBytes> trailer{};
    if (compressed.ReadAt(trailer.data(), trailer.size(), compressedSize - kTrailerBytes) != trailer.size())
        return false;
    if (LittleEndian32(trailer.data() + 4) != static_cast<std::uint32_t>(plainSize))
        return false;
    std::vector<unsigned char> piece(kPieceBytes);
    std::uint32_t crc = 0;
    std::uint64_t offset = 0;
    while (const std::size_t got = plain.ReadAt(piece.data(), piece.size(), offset)) {
        CheckStop(control);
        crc = Crc32(crc, piece.data(), got);
        offset += got;
    }
    return offset == plainSize && crc == LittleEndian32(trailer.data());
}

// Copies the existing compressed file to the front of the new one.
void CopyAll(OpenFile& from, OpenFile& to, const CompressionControl& control)
{
    std::vector<unsigned char> piece(kPieceBytes);
    std::uint64_t offset = 0;
    while (const std::size_t got = from.ReadAt(piece.data(), piece.size(), offset)) {
        CheckStop(control);
        to.WriteAll(piece.data(), got);
        offset += got;
    }
}

// The names of one day's files in the log folder.
struct DayPaths {
    std::string plainName; // DATE.txt, the name the gzip member records
    std::string plain;
    std::string compressed;
    std::string temporary; // the compressed file while it is written
};

DayPaths PathsOfDay(const std::string& folder, const std::string& dateText)
{
    const std::string plainName = dateText + std::string(kPlainLogSuffix);
    return DayPaths{plainName, folder + plainName, folder + dateText + std::string(kCompressedLogSuffix),
                    folder + dateText + std::string(kPartialLogSuffix)};
}

// Step 2: when the compressed file already holds the plain file (a crash came after its
// rename), removes the plain file, fills in outcome and returns true. Returns false when the
// plain file is still to be compressed; existing, when there, is then to be kept in front.
// Raises CompressionFailure when something that is no file stands under the compressed name.
bool FinishedAlready(OpenFile& existing, OpenFile& folderFile, const DayPaths& paths, LockedLogFile& plain,
                     const CompressionControl& control, CompressionOutcome& outcome)
{
    const FileStatus existingStatus = existing.Status();
    if (!existingStatus.regular)
        throw CompressionFailure{paths.compressed + " is in the way and is not a file"};
    if (!LastMemberHolds(existing, existingStatus.size, plain.file, plain.status.size, control))
        return false;
    existing.Sync();
    folderFile.Sync();
    if (const SystemReason removed = RemoveFile(paths.plain); removed.Failed())
        throw SystemError(removed);
    Step(control, CompressionStep::Removed);
    outcome.result = CompressionOutcome::Result::AlreadyCompressed;
    outcome.compressedBytes = existingStatus.size;
    return true;
}

// Step 3: appends the plain file to out as one gzip member, a piece at a time, and returns
// the bytes the member took. Raises CompressionFailure when the plain file changed meanwhile.
std::uint64_t AppendMember(LockedLogFile& plain, const std::string& plainName, OpenFile& out,
                           const CompressionControl& control)
{
    const std::uint64_t plainSize = plain.status.size;
    plain.file.WillReadSequentially();
    GzipMember member(plainName, plain.status.modifiedSeconds,
                      [&out](const unsigned char* data, std::size_t size) { out.WriteAll(data, size); });
    std::vector<unsigned char> piece(kPieceBytes);
    std::uint64_t offset = 0;
    std::uint64_t droppedUpTo = 0;
    for (;;) {
        CheckStop(control);
        const std::size_t got = plain.file.ReadAt(piece.data(), piece.size(), offset);
        offset += got;
        member.Feed(piece.data(), got, got == 0);
        Step(control, CompressionStep::Writing);
        if (got == 0)
            break;
        if (offset - droppedUpTo >= kDropCacheEvery) {
            plain.file.DropCachedPagesUpTo(offset);
            droppedUpTo = offset;
        }
    }
    // Every writer of the log takes its lock, but a hand that appends with a shell does not:
    // what it added must not go with the plain file.
    const FileStatus after = plain.file.Status();
    if (offset != plainSize || after.size != plainSize || after.modifiedSeconds != plain.status.modifiedSeconds ||
        after.modifiedNanoseconds != plain.status.modifiedNanoseconds)
        throw CompressionFailure{"the file changed while it was being compressed"};
    return member.Written();
}

// Step 4: the written temporary file, out, takes the compressed name and the plain file
// goes, each step synced before the next so that a crash leaves one whole copy of the day.
void ReplacePlainFile(OpenFile& out, OpenFile& folderFile, const DayPaths& paths, const FileStatus& plainStatus,
                      const CompressionControl& control, bool& madeTemporary)
{
    out.TakePermissionsAndTimesOf(plainStatus);
    out.Sync();
    out.DropCachedPagesUpTo(0);
    out.Close();
    Step(control, CompressionStep::Synced);

    RenameFile(paths.temporary, paths.compressed);
    madeTemporary = false;
    folderFile.Sync();
    Step(control, CompressionStep::Renamed);

    if (const SystemReason removed = RemoveFile(paths.plain); removed.Failed())
        throw SystemError(removed);
    // The compressed file is safe either way; a plain file that comes back after a power cut
    // is recognised as held already at the next pass.
    try {
        folderFile.Sync();
    } catch (const SystemError&) {
    }
    Step(control, CompressionStep::Removed);
}

// Steps 2 to 4 on a locked plain file; raises CompressionFailure or CompressionStopped with
// the plain file still there. madeTemporary tells the caller whether a temporary file is
// left to remove.
void CompressLocked(const std::string& folder, const std::string& dateText, LockedLogFile& plain,
                    const CompressionControl& control, CompressionOutcome& outcome, bool& madeTemporary)
{
    const DayPaths paths = PathsOfDay(folder, dateText);
    outcome.plainBytes = plain.status.size;

    OpenFile folderFile = OpenFolder(folder);
    std::optional<OpenFile> existing = OpenToRead(paths.compressed);
    if (existing && FinishedAlready(*existing, folderFile, paths, plain, control, outcome))
        return;

    OpenFile out = CreateAfresh(paths.temporary);
    madeTemporary = true;
    if (existing)
        CopyAll(*existing, out, control);
    const std::uint64_t written = AppendMember(plain, paths.plainName, out, control);
    ReplacePlainFile(out, folderFile, paths, plain.status, control, madeTemporary);
    outcome.result = CompressionOutcome::Result::Compressed;
    outcome.compressedBytes = written;
}

} // namespace

LockedLogFile LockLogFile(const std::string& path)
{
    using Result = LockedLogFile::Result;
    LockedLogFile file;
    try {
        std::optional<OpenFile> opened = OpenToRead(path);
        if (!opened)
            return file;
        file.file = std::move(*opened);
    } catch (const SystemError& error) {
        if (error.Why().kind == SystemReason::Kind::kLink)
            return file; // a link is none of our files
        file.result = Result::Failed;
        file.error = InOutError(error.Why()).Message();
        return file;
    }
    if (const SystemReason refused = file.file.TryLockExclusive(); refused.Failed()) {
        file.result = refused.kind == SystemReason::Kind::kHeldByAnother ? Result::HeldOpen : Result::Failed;
        file.error = InOutError(refused).Message();
        file.file = OpenFile();
        return file;
    }
    // Another keeper may have finished the day between our open and our lock: only the file
    // still under the name counts.
    try {
        file.status = file.file.Status();
    } catch (const SystemError&) {
        file.file = OpenFile();
        return file;
    }
    const std::optional<FileStatus> named = StatusOf(path);
    if (!file.status.regular || !named || !named->SameFileAs(file.status)) {
        file.file = OpenFile();
        return file;
    }
    file.result = Result::Locked;
    return file;
}

CompressionOutcome CompressLogDay(const std::string& folder, const std::string& dateText,
                                  const CompressionControl& control)
{
    using Result = CompressionOutcome::Result;
    CompressionOutcome outcome;
    LockedLogFile plain = LockLogFile(folder + dateText + std::string(kPlainLogSuffix));
    switch (plain.result) {
    case LockedLogFile::Result::Locked: break;
    case LockedLogFile::Result::NotThere: return outcome;
    case LockedLogFile::Result::HeldOpen: outcome.result = Result::HeldOpen; return outcome;
    case LockedLogFile::Result::Failed:
        outcome.result = Result::Failed;
        outcome.error = plain.error;
        return outcome;
    }
    bool madeTemporary = false;
    const auto removeTemporary = [&] {
        if (madeTemporary)
            RemoveFile(folder + dateText + std::string(kPartialLogSuffix));
    };
    try {
        CompressLocked(folder, dateText, plain, control, outcome, madeTemporary);
    } catch (const CompressionFailure& failure) {
        removeTemporary();
        outcome.result = Result::Failed;
        outcome.error = failure.text;
    } catch (const SystemError& error) {
        removeTemporary();
        outcome.result = Result::Failed;
        outcome.error = InOutError(error.Why()).Message();
    } catch (const Exception& error) { // the compressor's
        removeTemporary();
        outcome.result = Result::Failed;
        outcome.error = error.Message();
    } catch (const CompressionStopped&) {
        removeTemporary();
        outcome.result = Result::Stopped;
    }
    return outcome;
}

} // namespace lobby
