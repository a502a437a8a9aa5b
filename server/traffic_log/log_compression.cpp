#include "server/traffic_log/log_compression.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "platform/file_descriptor.h"
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
constexpr off_t kSmallestGzip = 18;
constexpr int kUnixOs = 3;

// Ends the attempt; the plain file stays. The text is what the operator reads.
struct CompressionFailure {
    std::string text;
};
struct CompressionStopped {};

[[noreturn]] void FailErrno(int errnoValue) { throw CompressionFailure{InOutErrorFromErrno(errnoValue).Message()}; }

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

void WriteAll(int fd, const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            FailErrno(n < 0 ? errno : ENOSPC);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Up to size bytes from offset; 0 only at the end of the file.
std::size_t ReadAt(int fd, unsigned char* data, std::size_t size, std::uint64_t offset)
{
    for (;;) {
        const ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            FailErrno(errno);
        return static_cast<std::size_t>(n);
    }
}

void SyncOrFail(int fd)
{
    if (::fsync(fd) != 0)
        FailErrno(errno);
}

std::uint32_t LittleEndian32(const unsigned char* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// One gzip member being written to a file descriptor, carrying the plain file's name and
// modification time in its header as gzip itself does (gunzip -N gives the name back).
class GzipMemberWriter {
public:
    GzipMemberWriter(int outFd, std::string name, std::time_t modified) : outFd_(outFd), name_(std::move(name))
    {
        if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw CompressionFailure{"Out of memory"};
        header_.os = kUnixOs;
        // The header holds 32 bits of time; a time it cannot hold is left out, as gzip does.
        header_.time = modified > 0 && modified <= 0xFFFFFFFFLL ? static_cast<uLong>(modified) : 0;
        header_.name = reinterpret_cast<Bytef*>(name_.data());
        deflateSetHeader(&stream_, &header_);
    }
    GzipMemberWriter(const GzipMemberWriter&) = delete;
    GzipMemberWriter& operator=(const GzipMemberWriter&) = delete;
    ~GzipMemberWriter() { deflateEnd(&stream_); }

    // Compresses the bytes and writes what zlib hands out; finish ends the member (header,
    // data and the trailer with CRC and length all written once it returns).
    void Feed(const unsigned char* data, std::size_t size, bool finish)
    {
        stream_.next_in = const_cast<Bytef*>(data);
        stream_.avail_in = static_cast<uInt>(size);
        int result = Z_OK;
        do {
            stream_.next_out = out_.data();
            stream_.avail_out = static_cast<uInt>(out_.size());
            result = deflate(&stream_, finish ? Z_FINISH : Z_NO_FLUSH);
            if (result == Z_STREAM_ERROR)
                throw CompressionFailure{"the compressor failed"};
            const std::size_t produced = out_.size() - stream_.avail_out;
            WriteAll(outFd_, out_.data(), produced);
            written_ += produced;
        } while (stream_.avail_out == 0);
        if (finish && result != Z_STREAM_END)
            throw CompressionFailure{"the compressor failed"};
    }

    std::uint64_t Written() const { return written_; }

private:
    int outFd_;
    std::string name_;
    z_stream stream_{};
    gz_header header_{};
    std::vector<unsigned char> out_ = std::vector<unsigned char>(kPieceBytes);
    std::uint64_t written_ = 0;
};

// Whether the last gzip member of the file compressed holds exactly the plain file: its
// trailer's length and CRC-32 match the plain bytes. That is the one case where both files
// exist and the compressed one is already complete (a crash came after its rename).
bool LastMemberHolds(int compressedFd, off_t compressedSize, int plainFd, off_t plainSize,
                     const CompressionControl& control)
{
    if (compressedSize < kSmallestGzip)
        return false;
    std::array<unsigned char, kTrailerBytes> trailer{};
    if (ReadAt(compressedFd, trailer.data(), trailer.size(), compressedSize - kTrailerBytes) != trailer.size())
        return false;
    if (LittleEndian32(trailer.data() + 4) != static_cast<std::uint32_t>(plainSize))
        return false;
    std::vector<unsigned char> piece(kPieceBytes);
    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t offset = 0;
    while (const std::size_t got = ReadAt(plainFd, piece.data(), piece.size(), offset)) {
        CheckStop(control);
        crc = crc32(crc, piece.data(), static_cast<uInt>(got));
        offset += got;
    }
    return offset == static_cast<std::uint64_t>(plainSize) && crc == LittleEndian32(trailer.data());
}

// Copies the existing compressed file to the front of the new one.
void CopyAll(int fromFd, int toFd, const CompressionControl& control)
{
    std::vector<unsigned char> piece(kPieceBytes);
    std::uint64_t offset = 0;
    while (const std::size_t got = ReadAt(fromFd, piece.data(), piece.size(), offset)) {
        CheckStop(control);
        WriteAll(toFd, piece.data(), got);
        offset += got;
    }
}

// Steps 2 to 4 on a locked plain file; raises CompressionFailure or CompressionStopped with
// the plain file still there.
void CompressLocked(const std::string& folder, const std::string& dateText, LockedLogFile& plain,
                    const CompressionControl& control, CompressionOutcome& outcome, bool& madeTemporary)
{
    const std::string plainName = dateText + std::string(kPlainLogSuffix);
    const std::string plainPath = folder + plainName;
    const std::string finalPath = folder + dateText + std::string(kCompressedLogSuffix);
    const std::string temporaryPath = folder + dateText + std::string(kPartialLogSuffix);
    const off_t plainSize = plain.status.st_size;
    outcome.plainBytes = static_cast<std::uint64_t>(plainSize);

    FileDescriptor folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.IsOpen())
        FailErrno(errno);

    FileDescriptor existing(::open(finalPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!existing.IsOpen() && errno != ENOENT)
        FailErrno(errno);
    struct stat existingStatus {};
    if (existing.IsOpen()) {
        if (::fstat(existing.Get(), &existingStatus) != 0)
            FailErrno(errno);
        if (!S_ISREG(existingStatus.st_mode))
            throw CompressionFailure{finalPath + " is in the way and is not a file"};
        if (LastMemberHolds(existing.Get(), existingStatus.st_size, plain.fd.Get(), plainSize, control)) {
            SyncOrFail(existing.Get());
            SyncOrFail(folderFd.Get());
            if (::unlink(plainPath.c_str()) != 0)
                FailErrno(errno);
            Step(control, CompressionStep::Removed);
            outcome.result = CompressionOutcome::Result::AlreadyCompressed;
            outcome.compressedBytes = static_cast<std::uint64_t>(existingStatus.st_size);
            return;
        }
    }

    FileDescriptor out(::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.IsOpen())
        FailErrno(errno);
    madeTemporary = true;
    if (existing.IsOpen())
        CopyAll(existing.Get(), out.Get(), control);

    ::posix_fadvise(plain.fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    GzipMemberWriter member(out.Get(), plainName, plain.status.st_mtim.tv_sec);
    std::vector<unsigned char> piece(kPieceBytes);
    std::uint64_t offset = 0;
    std::uint64_t droppedUpTo = 0;
    for (;;) {
        CheckStop(control);
        const std::size_t got = ReadAt(plain.fd.Get(), piece.data(), piece.size(), offset);
        offset += got;
        member.Feed(piece.data(), got, got == 0);
        Step(control, CompressionStep::Writing);
        if (got == 0)
            break;
        if (offset - droppedUpTo >= kDropCacheEvery) {
            ::posix_fadvise(plain.fd.Get(), 0, static_cast<off_t>(offset), POSIX_FADV_DONTNEED);
            droppedUpTo = offset;
        }
    }
    // Every writer of the log takes its lock, but a hand that appends with a shell does not:
    // what it added must not go with the plain file.
    struct stat after {};
    if (::fstat(plain.fd.Get(), &after) != 0)
        FailErrno(errno);
    if (offset != static_cast<std::uint64_t>(plainSize) || after.st_size != plainSize ||
        after.st_mtim.tv_sec != plain.status.st_mtim.tv_sec || after.st_mtim.tv_nsec != plain.status.st_mtim.tv_nsec)
        throw CompressionFailure{"the file changed while it was being compressed"};

    const struct timespec times[2] = {plain.status.st_atim, plain.status.st_mtim};
    if (::fchmod(out.Get(), plain.status.st_mode & 07777) != 0 || ::futimens(out.Get(), times) != 0)
        FailErrno(errno);
    SyncOrFail(out.Get());
    ::posix_fadvise(out.Get(), 0, 0, POSIX_FADV_DONTNEED);
    if (const int error = out.Close(); error != 0)
        FailErrno(error);
    Step(control, CompressionStep::Synced);

    if (::rename(temporaryPath.c_str(), finalPath.c_str()) != 0)
        FailErrno(errno);
    madeTemporary = false;
    SyncOrFail(folderFd.Get());
    Step(control, CompressionStep::Renamed);

    if (::unlink(plainPath.c_str()) != 0)
        FailErrno(errno);
    // The compressed file is safe either way; a plain file that comes back after a power cut
    // is recognised as held already at the next pass.
    ::fsync(folderFd.Get());
    Step(control, CompressionStep::Removed);
    outcome.result = CompressionOutcome::Result::Compressed;
    outcome.compressedBytes = member.Written();
}

} // namespace

LockedLogFile LockLogFile(const std::string& path)
{
    using Result = LockedLogFile::Result;
    LockedLogFile file;
    // O_NONBLOCK: a fifo under a log's name must not hang the worker; O_NOFOLLOW: a link is
    // none of our files.
    file.fd = FileDescriptor(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.fd.IsOpen()) {
        if (errno == ENOENT || errno == ELOOP)
            return file;
        file.result = Result::Failed;
        file.error = InOutErrorFromErrno(errno).Message();
        return file;
    }
    if (::flock(file.fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        file.result = errno == EWOULDBLOCK ? Result::HeldOpen : Result::Failed;
        file.error = InOutErrorFromErrno(errno).Message();
        file.fd.Close();
        return file;
    }
    // Another keeper may have finished the day between our open and our lock: only the file
    // still under the name counts.
    struct stat named {};
    if (::fstat(file.fd.Get(), &file.status) != 0 || !S_ISREG(file.status.st_mode) ||
        ::stat(path.c_str(), &named) != 0 || named.st_ino != file.status.st_ino ||
        named.st_dev != file.status.st_dev) {
        file.fd.Close();
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
            ::unlink((folder + dateText + std::string(kPartialLogSuffix)).c_str());
    };
    try {
        CompressLocked(folder, dateText, plain, control, outcome, madeTemporary);
    } catch (const CompressionFailure& failure) {
        removeTemporary();
        outcome.result = Result::Failed;
        outcome.error = failure.text;
    } catch (const CompressionStopped&) {
        removeTemporary();
        outcome.result = Result::Stopped;
    }
    return outcome;
}

} // namespace lobby
