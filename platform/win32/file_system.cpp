// Files by path and by handle on Windows. Paths are UTF-8 in the lobby's strings and wide
// for the system. Every handle shares reading, writing and deleting, as POSIX descriptors
// do: the keeper removes a day's plain file while it still holds it open, and the replace
// of a file renames over a name another handle may hold.
#include "platform/file_system.h"

#include <optional>

#include <windows.h>

#include "platform/win32/owner_only.h"
#include "platform/win32/windows_error.h"
#include "platform/win32/windows_reason.h"

namespace lobby {

using win32::ReasonFromWindows;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void Fail(DWORD code) { throw SystemError(ReasonFromWindows(code)); }

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::wstring WidePath(const std::string& path) { return win32::Widen(path, CP_UTF8); }

// FILETIME counts 100 ns from 1601; the lobby counts seconds and nanoseconds from 1970.
constexpr std::int64_t kEpochDifferenceSeconds = 11644473600;

void SplitTime(const FILETIME& time, std::int64_t& seconds, std::int64_t& nanoseconds)
{
    const std::int64_t ticks = static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                                         time.dwLowDateTime);
    seconds = ticks / 10000000 - kEpochDifferenceSeconds;
    nanoseconds = ticks % 10000000 * 100;
}

FILETIME JoinTime(std::int64_t seconds, std::int64_t nanoseconds)
{
    const std::uint64_t ticks =
        static_cast<std::uint64_t>((seconds + kEpochDifferenceSeconds) * 10000000 + nanoseconds / 100);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

FileStatus StatusFrom(const BY_HANDLE_FILE_INFORMATION& information)
{
    FileStatus result;
    // A link (a reparse point) is none of our files, whatever it points at.
    result.regular = (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    result.size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    SplitTime(information.ftLastWriteTime, result.modifiedSeconds, result.modifiedNanoseconds);
    SplitTime(information.ftLastAccessTime, result.accessedSeconds, result.accessedNanoseconds);
    result.permissions = 0; // Windows keeps access lists, not mode bits
    result.device = information.dwVolumeSerialNumber;
    result.node = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return result;
}

std::optional<BY_HANDLE_FILE_INFORMATION> InformationOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information))
        return std::nullopt;
    return information;
}

// Opens the name itself, never what a link under it points at.
// A file it makes is the owner's only (win32::OwnerOnly), as the lobby's files are on Linux.
HANDLE OpenName(const std::string& path, DWORD access, DWORD disposition, DWORD flags = 0)
{
    std::optional<win32::OwnerOnly> ownerOnly;
    if (disposition != OPEN_EXISTING)
        ownerOnly.emplace();
    return ::CreateFileW(WidePath(path).c_str(), access, kShareAll, ownerOnly ? ownerOnly->Attributes() : nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

[[noreturn]] void FailAsLink(const std::string& path)
{
    SystemReason reason = ReasonFromWindows(ERROR_CANT_RESOLVE_FILENAME);
    reason.text = "a link is in the place of " + path + ", which is never followed";
    throw SystemError(reason);
}

bool IsLink(HANDLE handle)
{
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = InformationOf(handle);
    return information && (information->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

} // namespace

void OpenFile::Discard(std::intptr_t handle) noexcept
{
    if (handle != kNone)
        ::CloseHandle(Handle(handle));
}

std::size_t OpenFile::ReadAt(unsigned char* data, std::size_t size, std::uint64_t offset)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    const DWORD asked = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!::ReadFile(Handle(handle_), data, asked, &read, &at)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_HANDLE_EOF)
            return 0;
        Fail(error);
    }
    return read;
}

void OpenFile::WriteAll(const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        DWORD written = 0;
        const DWORD asked = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        if (!::WriteFile(Handle(handle_), data, asked, &written, nullptr))
            Fail(::GetLastError());
        if (written == 0)
            Fail(ERROR_DISK_FULL);
        data += written;
        size -= written;
    }
}

void OpenFile::Sync()
{
    // A folder's names are written through by the rename itself (MOVEFILE_WRITE_THROUGH);
    // Windows cannot flush a folder's handle.
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = InformationOf(Handle(handle_));
    if (information && (information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return;
    if (!::FlushFileBuffers(Handle(handle_)))
        Fail(::GetLastError());
}

FileStatus OpenFile::Status()
{
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = InformationOf(Handle(handle_));
    if (!information)
        Fail(::GetLastError());
    return StatusFrom(*information);
}

void OpenFile::TakePermissionsAndTimesOf(const FileStatus& status)
{
    // Permissions: a new file takes its folder's access list, as the original's did.
    const FILETIME accessed = JoinTime(status.accessedSeconds, status.accessedNanoseconds);
    const FILETIME modified = JoinTime(status.modifiedSeconds, status.modifiedNanoseconds);
    if (!::SetFileTime(Handle(handle_), nullptr, &accessed, &modified))
        Fail(::GetLastError());
}

SystemReason OpenFile::TryLockExclusive()
{
    OVERLAPPED whole{};
    if (!::LockFileEx(Handle(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                      &whole))
        return ReasonFromWindows(::GetLastError());
    return {};
}

// The cache hints: Windows reads ahead on its own and takes no hint on an open handle.
void OpenFile::WillReadSequentially() noexcept {}
void OpenFile::DropCachedPagesUpTo(std::uint64_t) noexcept {}

void OpenFile::Close()
{
    if (!IsOpen())
        return;
    // The handle is gone whatever CloseHandle says: never closed twice.
    if (!::CloseHandle(Handle(Release())))
        Fail(::GetLastError());
}

std::optional<OpenFile> OpenToRead(const std::string& path)
{
    const HANDLE handle = OpenName(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return std::nullopt;
        Fail(error);
    }
    OpenFile file(reinterpret_cast<std::intptr_t>(handle));
    if (IsLink(handle))
        FailAsLink(path);
    return file;
}

OpenFile CreateAfresh(const std::string& path)
{
    // CREATE_ALWAYS on a link's own name would empty the link, not make our file: refused.
    const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        FailAsLink(path);
    const HANDLE handle = OpenName(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (handle == INVALID_HANDLE_VALUE)
        Fail(::GetLastError());
    return OpenFile(reinterpret_cast<std::intptr_t>(handle));
}

OpenFile OpenFolder(const std::string& path)
{
    const HANDLE handle = OpenName(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE)
        Fail(::GetLastError());
    return OpenFile(reinterpret_cast<std::intptr_t>(handle));
}

void RenameFile(const std::string& from, const std::string& to)
{
    if (!::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        Fail(::GetLastError());
}

SystemReason RemoveFile(const std::string& path)
{
    if (!::DeleteFileW(WidePath(path).c_str()))
        return ReasonFromWindows(::GetLastError());
    return {};
}

std::optional<FileStatus> StatusOf(const std::string& path)
{
    const HANDLE handle = OpenName(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = InformationOf(handle);
    ::CloseHandle(handle);
    if (!information)
        return std::nullopt;
    return StatusFrom(*information);
}

std::vector<std::string> ListFolder(const std::string& path)
{
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileExW((WidePath(path) + L"\\*").c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        Fail(::GetLastError());
    std::vector<std::string> names;
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(win32::Narrow(std::wstring(name), CP_UTF8));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

} // namespace lobby
