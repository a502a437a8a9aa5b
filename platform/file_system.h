#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "platform/system_reason.h"

namespace lobby {

// Files by path and by handle, beside the data folder's own (data_folder.h): what the traffic
// log's keeper needs to list, lock, compress and remove old days. None of these ever goes
// through a symbolic link. One implementation per system: platform/posix/file_system.cpp;
// platform/win32/file_system.cpp, with CreateFileW and FILE_FLAG_OPEN_REPARSE_POINT,
// ReadFile/WriteFile at an OVERLAPPED offset, LockFileEx, FlushFileBuffers,
// GetFileInformationByHandle, SetFileTime, MoveFileExW, DeleteFileW and FindFirstFileExW.

// The system refused one of the calls below.
class SystemError : public Exception {
public:
    explicit SystemError(SystemReason reason) : Exception(reason.text), reason_(std::move(reason)) {}
    const SystemReason& Why() const noexcept { return reason_; }

private:
    SystemReason reason_;
};

// What the system tells of a file.
struct FileStatus {
    bool regular = false; // a regular file: no folder, link, fifo or device
    std::uint64_t size = 0;
    std::int64_t modifiedSeconds = 0; // since 1970-01-01 UTC
    std::int64_t modifiedNanoseconds = 0;
    std::int64_t accessedSeconds = 0;
    std::int64_t accessedNanoseconds = 0;
    std::uint32_t permissions = 0; // the owner, group and others bits (0 where the system keeps none)
    std::uint64_t device = 0;      // device and node together name the file itself, whatever its name
    std::uint64_t node = 0;

    bool SameFileAs(const FileStatus& other) const { return device == other.device && node == other.node; }
};

// An open file, closed when it goes. The calls raise SystemError.
class OpenFile {
public:
    OpenFile() = default;
    explicit OpenFile(std::intptr_t handle) noexcept : handle_(handle) {}
    OpenFile(OpenFile&& other) noexcept : handle_(other.Release()) {}
    OpenFile& operator=(OpenFile&& other) noexcept
    {
        if (this != &other) {
            Discard(handle_);
            handle_ = other.Release();
        }
        return *this;
    }
    ~OpenFile() { Discard(handle_); }

    bool IsOpen() const noexcept { return handle_ != kNone; }

    // Up to size bytes from offset; 0 only at the end of the file.
    std::size_t ReadAt(unsigned char* data, std::size_t size, std::uint64_t offset);
    // All of it at the end of what was written so far; a device that takes nothing is full.
    void WriteAll(const unsigned char* data, std::size_t size);
    // Flushed to the disk (a folder's names too).
    void Sync();
    FileStatus Status();
    // Takes another file's permissions and times, as a copy of it should.
    void TakePermissionsAndTimesOf(const FileStatus& status);
    // Locks the file for this handle alone, without waiting: kHeldByAnother when another
    // open file holds it.
    SystemReason TryLockExclusive();
    // Hints for the page cache; ignored where the system takes none.
    void WillReadSequentially() noexcept;
    void DropCachedPagesUpTo(std::uint64_t offset) noexcept;
    // Closes now; raises when the system reports the last writes lost.
    void Close();

private:
    static constexpr std::intptr_t kNone = -1;
    // Closes handle, when it is one, saying nothing: a file given up on, whose writes were
    // either made sure of by Close or are no longer wanted. Each system's own.
    static void Discard(std::intptr_t handle) noexcept;
    std::intptr_t Release() noexcept
    {
        const std::intptr_t handle = handle_;
        handle_ = kNone;
        return handle;
    }

    std::intptr_t handle_ = kNone; // the system's handle: a descriptor on POSIX
};

// Opens an existing file to read, never held up by a fifo planted under its name. Nothing
// when there is no such file; a link under the name raises, like any other refusal.
std::optional<OpenFile> OpenToRead(const std::string& path);
// Makes the file afresh (emptied when it exists), readable and writable by its owner only.
OpenFile CreateAfresh(const std::string& path);
// A folder opened to sync its names to disk.
OpenFile OpenFolder(const std::string& path);
void RenameFile(const std::string& from, const std::string& to);
// No failure, or why not (kNotFound when there was no such file).
SystemReason RemoveFile(const std::string& path);
// What is under the name itself (a link is no regular file); nothing when nothing is there.
std::optional<FileStatus> StatusOf(const std::string& path);
// The names in the folder, "." and ".." left out.
std::vector<std::string> ListFolder(const std::string& path);

} // namespace lobby
