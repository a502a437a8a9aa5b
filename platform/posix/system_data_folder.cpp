#include "platform/system_data_folder.h"
#include "platform/posix/errno_reason.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/file_descriptor.h"

namespace lobby {

namespace {

constexpr mode_t kOwnerOnly = 0600;
constexpr std::size_t kCopyPiece = 1 << 20;

// Every open of a file in the folder: never through a link (O_NOFOLLOW), never held up by a
// fifo planted under the name (O_NONBLOCK, which regular files ignore).
constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// The system's words for errnoValue, or ours where its own would mislead.
std::string Reason(int errnoValue)
{
    if (errnoValue == ELOOP)
        return "it is a symbolic link, which the server never follows";
    return std::strerror(errnoValue);
}

[[noreturn]] void Fail(FileError::Step step, const std::string& path, int errnoValue)
{
    throw FileError(step, path, ReasonFromErrno(errnoValue, Reason(errnoValue)));
}

// Why something other than a regular file under a name is refused.
[[noreturn]] void FailNotAFile(FileError::Step step, const std::string& path, mode_t mode)
{
    if (S_ISLNK(mode))
        throw FileError(step, path, ReasonFromErrno(ELOOP, "a symbolic link is in its place, and the server never follows one"));
    throw FileError(step, path, ReasonFromErrno(S_ISDIR(mode) ? EISDIR : EACCES,
                    S_ISDIR(mode) ? "a folder is in its place" : "something that is no regular file is in its place"));
}

std::string FolderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// Writes bytes to fd; returns how many got written, with error the system's error number
// when that is fewer than all (0 otherwise).
std::size_t WriteBytes(int fd, std::string_view bytes, int& error)
{
    error = 0;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    return written;
}

// Refuses what is open at fd unless it is a regular file (a fifo or a device would block the
// server or swallow its bytes).
void RequireRegularFile(int fd, FileError::Step step, const std::string& path)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        Fail(step, path, errno);
    if (!S_ISREG(status.st_mode))
        FailNotAFile(step, path, status.st_mode);
}

// The rename or creation of a file reaches the disk only with its folder: without this, a
// power loss could bring back the old file, or lose the new one.
void SyncFolderOf(const std::string& path)
{
    const std::string folder = FolderOf(path);
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.IsOpen())
        Fail(FileError::Step::kSyncFolder, folder, errno);
    if (::fsync(fd.Get()) != 0)
        Fail(FileError::Step::kSyncFolder, folder, errno);
}

// Opens an existing regular file for reading. Not open, with errno ENOENT, when there is none.
FileDescriptor OpenRegularForReading(const std::string& path)
{
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | kOpenFlags));
    if (!fd.IsOpen()) {
        if (errno == ENOENT)
            return fd;
        Fail(FileError::Step::kOpen, path, errno);
    }
    RequireRegularFile(fd.Get(), FileError::Step::kOpen, path);
    return fd;
}

// Creates path afresh, exclusively (O_EXCL does not follow a link either: a name that exists
// in any form makes it fail), readable and writable by the owner only whatever the umask.
// A regular file left there (by a crash during an earlier write) is removed first when
// removeLeftover; anything else is refused.
FileDescriptor CreateAfresh(const std::string& path, bool removeLeftover)
{
    for (int attempt = 0;; ++attempt) {
        FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, kOwnerOnly));
        if (fd.IsOpen()) {
            if (::fchmod(fd.Get(), kOwnerOnly) != 0) {
                const int error = errno;
                ::unlink(path.c_str());
                Fail(FileError::Step::kCreate, path, error);
            }
            return fd;
        }
        if (errno != EEXIST || attempt > 0)
            Fail(FileError::Step::kCreate, path, errno);
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0)
            Fail(FileError::Step::kCreate, path, errno);
        if (!S_ISREG(status.st_mode))
            FailNotAFile(FileError::Step::kCreate, path, status.st_mode);
        if (!removeLeftover)
            Fail(FileError::Step::kCreate, path, EEXIST);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            Fail(FileError::Step::kCreate, path, errno);
    }
}

// Writes into a file being made, keeping the first failure's error number.
class DescriptorSink : public FileSink {
public:
    explicit DescriptorSink(int fd) : fd_(fd) {}
    bool Write(std::string_view bytes) override { return WriteBytes(fd_, bytes, error_) == bytes.size(); }
    int Error() const { return error_; }

private:
    int fd_;
    int error_ = 0;
};

// Finishes a file made afresh: flushed to disk and closed. Raises a kWrite FileError, the
// file removed, when either fails.
void FlushAndClose(FileDescriptor& fd, const std::string& path)
{
    const int error = ::fsync(fd.Get()) != 0 ? errno : fd.Close();
    if (error == 0)
        return;
    ::unlink(path.c_str());
    Fail(FileError::Step::kWrite, path, error);
}

class SystemAppendFile : public AppendFile {
public:
    SystemAppendFile(FileDescriptor fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

    std::size_t Write(std::string_view bytes, SystemReason& error) override
    {
        int errnoValue = 0;
        const std::size_t written = WriteBytes(fd_.Get(), bytes, errnoValue);
        error = ReasonFromErrno(errnoValue);
        return written;
    }

    std::string Tail(std::size_t count) override
    {
        struct stat status {};
        if (::fstat(fd_.Get(), &status) != 0)
            Fail(FileError::Step::kOpen, path_, errno);
        const off_t size = status.st_size;
        const off_t start = size > static_cast<off_t>(count) ? size - static_cast<off_t>(count) : 0;
        std::string tail(static_cast<std::size_t>(size - start), '\0');
        std::size_t got = 0;
        while (got < tail.size()) {
            const ssize_t n = ::pread(fd_.Get(), tail.data() + got, tail.size() - got, start + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                Fail(FileError::Step::kOpen, path_, errno);
            if (n == 0)
                break; // the file shrank under us: what was read is the tail
            got += static_cast<std::size_t>(n);
        }
        tail.resize(got);
        return tail;
    }

    bool TakeBack(std::size_t count) override
    {
        struct stat status {};
        if (::fstat(fd_.Get(), &status) != 0 || status.st_size < static_cast<off_t>(count))
            return false;
        return ::ftruncate(fd_.Get(), status.st_size - static_cast<off_t>(count)) == 0;
    }

    // The data alone: the size change that comes with an append is flushed with it, the
    // times are not, which saves a write of the file's inode on most systems.
    SystemReason Sync() override
    {
        for (;;) {
            if (::fdatasync(fd_.Get()) == 0)
                return {};
            if (errno != EINTR)
                return ReasonFromErrno(errno);
        }
    }

    SystemReason Close() override { return ReasonFromErrno(fd_.Close()); }

private:
    FileDescriptor fd_;
    std::string path_;
};

} // namespace

std::optional<FileText> SystemDataFolder::Read(std::string_view name)
{
    const std::string path = PathOf(name);
    FileDescriptor fd = OpenRegularForReading(path);
    if (!fd.IsOpen())
        return std::nullopt;
    struct stat status {};
    ::fstat(fd.Get(), &status);
    FileText text;
    // One byte more than the file holds, so a file that has grown since is still read whole.
    text.Reserve(static_cast<std::size_t>(status.st_size) + 1);
    std::array<char, 1 << 16> chunk{};
    for (;;) {
        const ssize_t got = ::read(fd.Get(), chunk.data(), chunk.size());
        if (got == 0)
            break;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            Fail(FileError::Step::kOpen, path, errno);
        text.Append(chunk.data(), static_cast<std::size_t>(got));
    }
    return text;
}

void SystemDataFolder::Replace(std::string_view name, const std::function<bool(FileSink&)>& write)
{
    const std::string path = PathOf(name);
    const std::string temporary = path + ".tmp";
    FileDescriptor fd = CreateAfresh(temporary, true);
    // The replacement keeps the old file's mode (an operator may have chosen one); a file
    // that is no regular file (a link) lends it none.
    struct stat old {};
    if (::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) && (old.st_mode & 07777) != kOwnerOnly &&
        ::fchmod(fd.Get(), old.st_mode & 07777) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        Fail(FileError::Step::kCreate, temporary, error);
    }
    DescriptorSink sink(fd.Get());
    if (!write(sink)) {
        ::unlink(temporary.c_str());
        Fail(FileError::Step::kWrite, temporary, sink.Error() != 0 ? sink.Error() : EIO);
    }
    FlushAndClose(fd, temporary);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        Fail(FileError::Step::kRename, path, error);
    }
    SyncFolderOf(path);
}

void SystemDataFolder::Copy(std::string_view from, std::string_view to)
{
    const std::string source = PathOf(from);
    const std::string target = PathOf(to);
    FileDescriptor in = OpenRegularForReading(source);
    if (!in.IsOpen())
        Fail(FileError::Step::kOpen, source, ENOENT);
    FileDescriptor out = CreateAfresh(target, false);
    std::string piece(kCopyPiece, '\0');
    for (;;) {
        const ssize_t got = ::read(in.Get(), piece.data(), piece.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::unlink(target.c_str());
            Fail(FileError::Step::kOpen, source, error);
        }
        if (got == 0)
            break;
        int error = 0;
        if (WriteBytes(out.Get(), std::string_view(piece.data(), static_cast<std::size_t>(got)), error) !=
            static_cast<std::size_t>(got)) {
            ::unlink(target.c_str());
            Fail(FileError::Step::kWrite, target, error);
        }
    }
    FlushAndClose(out, target);
    SyncFolderOf(target);
}

std::unique_ptr<AppendFile> SystemDataFolder::OpenForAppending(std::string_view name)
{
    const std::string path = PathOf(name);
    constexpr int kFlags = O_RDWR | O_APPEND | kOpenFlags;
    // Bounded: each turn lost a race with another process creating or removing the file.
    for (int attempt = 0; attempt < 4; ++attempt) {
        FileDescriptor fd(::open(path.c_str(), kFlags));
        if (!fd.IsOpen() && errno == ENOENT) {
            fd = FileDescriptor(::open(path.c_str(), kFlags | O_CREAT | O_EXCL, kOwnerOnly));
            if (!fd.IsOpen() && errno == EEXIST)
                continue;
            if (fd.IsOpen())
                ::fchmod(fd.Get(), kOwnerOnly); // the umask may have taken a bit of 0600 away
        }
        if (!fd.IsOpen())
            Fail(FileError::Step::kOpen, path, errno);
        // The lock comes before anything is looked at or changed, so a file another server
        // writes is left alone.
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                throw FileError(FileError::Step::kOpen, path, ReasonFromErrno(errno, "another program holds it for writing"));
            Fail(FileError::Step::kOpen, path, errno);
        }
        RequireRegularFile(fd.Get(), FileError::Step::kOpen, path);
        return std::make_unique<SystemAppendFile>(std::move(fd), path);
    }
    Fail(FileError::Step::kOpen, path, EEXIST);
}

void PrepareDataFolder(const std::string& path)
{
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    // Made from the top down; a part that exists is left as it is, mode and all.
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) == 0) {
            ::chmod(part.c_str(), 0700); // the umask may have taken bits away
        } else if (errno != EEXIST) {
            throw Exception("the data folder " + path + " cannot be made (" + part + ": " + std::strerror(errno) + ")");
        }
        if (slash == std::string::npos)
            break;
    }
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0)
        throw Exception("the data folder " + path + " cannot be used: " + std::strerror(errno));
    if (!S_ISDIR(status.st_mode))
        throw Exception("the data folder " + path + " cannot be used: it is no folder");
    // As this process, with its effective rights: the mode bits, a read-only mount and an
    // immutable folder all answer here.
    if (::faccessat(AT_FDCWD, folder.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) != 0)
        throw Exception("the data folder " + path + " cannot be written: " + std::string(std::strerror(errno)));
}

} // namespace lobby
