#include "platform/file_system.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/errno_reason.h"

namespace lobby {

namespace {

[[noreturn]] void Fail(int errnoValue) { throw SystemError(ReasonFromErrno(errnoValue)); }

int Descriptor(std::intptr_t handle) { return static_cast<int>(handle); }

FileStatus StatusFrom(const struct stat& status)
{
    FileStatus result;
    result.regular = S_ISREG(status.st_mode);
    result.size = static_cast<std::uint64_t>(status.st_size);
    result.modifiedSeconds = status.st_mtim.tv_sec;
    result.modifiedNanoseconds = status.st_mtim.tv_nsec;
    result.accessedSeconds = status.st_atim.tv_sec;
    result.accessedNanoseconds = status.st_atim.tv_nsec;
    result.permissions = static_cast<std::uint32_t>(status.st_mode & 07777);
    result.device = static_cast<std::uint64_t>(status.st_dev);
    result.node = static_cast<std::uint64_t>(status.st_ino);
    return result;
}

OpenFile OpenOrFail(const std::string& path, int flags, mode_t mode = 0)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0)
        Fail(errno);
    return OpenFile(fd);
}

} // namespace

void OpenFile::Discard(std::intptr_t handle) noexcept
{
    if (handle != kNone)
        ::close(Descriptor(handle));
}

std::size_t OpenFile::ReadAt(unsigned char* data, std::size_t size, std::uint64_t offset)
{
    for (;;) {
        const ssize_t n = ::pread(Descriptor(handle_), data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail(errno);
        return static_cast<std::size_t>(n);
    }
}

void OpenFile::WriteAll(const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(Descriptor(handle_), data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail(n < 0 ? errno : ENOSPC);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void OpenFile::Sync()
{
    if (::fsync(Descriptor(handle_)) != 0)
        Fail(errno);
}

FileStatus OpenFile::Status()
{
    struct stat status {};
    if (::fstat(Descriptor(handle_), &status) != 0)
        Fail(errno);
    return StatusFrom(status);
}

void OpenFile::TakePermissionsAndTimesOf(const FileStatus& status)
{
    const struct timespec times[2] = {{static_cast<time_t>(status.accessedSeconds), static_cast<long>(status.accessedNanoseconds)},
                                      {static_cast<time_t>(status.modifiedSeconds), static_cast<long>(status.modifiedNanoseconds)}};
    if (::fchmod(Descriptor(handle_), static_cast<mode_t>(status.permissions)) != 0 ||
        ::futimens(Descriptor(handle_), times) != 0)
        Fail(errno);
}

SystemReason OpenFile::TryLockExclusive()
{
    if (::flock(Descriptor(handle_), LOCK_EX | LOCK_NB) != 0)
        return ReasonFromErrno(errno);
    return {};
}

void OpenFile::WillReadSequentially() noexcept { ::posix_fadvise(Descriptor(handle_), 0, 0, POSIX_FADV_SEQUENTIAL); }

void OpenFile::DropCachedPagesUpTo(std::uint64_t offset) noexcept
{
    ::posix_fadvise(Descriptor(handle_), 0, static_cast<off_t>(offset), POSIX_FADV_DONTNEED);
}

void OpenFile::Close()
{
    if (!IsOpen())
        return;
    // The descriptor is gone whatever close says: never closed twice.
    if (::close(Descriptor(Release())) != 0)
        Fail(errno);
}

std::optional<OpenFile> OpenToRead(const std::string& path)
{
    // O_NONBLOCK: a fifo under the name must not hang the caller; O_NOFOLLOW: a link is
    // none of our files.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        return OpenFile(fd);
    if (errno == ENOENT)
        return std::nullopt;
    Fail(errno);
}

OpenFile CreateAfresh(const std::string& path) { return OpenOrFail(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600); }

OpenFile OpenFolder(const std::string& path) { return OpenOrFail(path, O_RDONLY | O_DIRECTORY); }

void RenameFile(const std::string& from, const std::string& to)
{
    if (::rename(from.c_str(), to.c_str()) != 0)
        Fail(errno);
}

SystemReason RemoveFile(const std::string& path)
{
    if (::unlink(path.c_str()) != 0)
        return ReasonFromErrno(errno);
    return {};
}

std::optional<FileStatus> StatusOf(const std::string& path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return std::nullopt;
    return StatusFrom(status);
}

std::vector<std::string> ListFolder(const std::string& path)
{
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(path.c_str()), ::closedir);
    if (!folder)
        Fail(errno);
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(folder.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    return names;
}

} // namespace lobby
