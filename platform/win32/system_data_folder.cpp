// The data folder on Windows, over the files by handle (platform/win32/file_system.cpp):
// names opened themselves and never through a link, the replace written, flushed and renamed
// with write-through, the append locked with LockFileEx. Files and folders made here are the
// owner's only (win32::OwnerOnly), as the lobby's are on Linux: the registry holds passwords.
#include "platform/system_data_folder.h"

#include <algorithm>
#include <utility>

#include <windows.h>

#include "platform/file_system.h"
#include "platform/win32/owner_only.h"
#include "platform/win32/windows_error.h"
#include "platform/win32/windows_reason.h"

namespace lobby {

using win32::ReasonFromWindows;

namespace {

constexpr std::size_t kChunk = 65536;

std::wstring WidePath(const std::string& path) { return win32::Widen(path, CP_UTF8); }

// Runs step, turning the system's refusal into a FileError on path at that step.
template <typename Step>
auto OnFile(FileError::Step step, const std::string& path, Step&& run)
{
    try {
        return run();
    } catch (const SystemError& error) {
        throw FileError(step, path, error.Why());
    }
}

class FileSinkOnHandle : public FileSink {
public:
    explicit FileSinkOnHandle(OpenFile& file) : file_(file) {}
    bool Write(std::string_view bytes) override
    {
        try {
            file_.WriteAll(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
            return true;
        } catch (const SystemError& error) {
            failure_ = error.Why();
            return false;
        }
    }
    const SystemReason& Failure() const { return failure_; }

private:
    OpenFile& file_;
    SystemReason failure_;
};

// A file open to append, locked whole while it is open, so a second server on the same
// folder is refused rather than interleaving its lines.
class LockedAppendFile : public AppendFile {
public:
    explicit LockedAppendFile(HANDLE handle) : handle_(handle) {}
    ~LockedAppendFile() override { Close(); }

    std::size_t Write(std::string_view bytes, SystemReason& error) override
    {
        error = {};
        std::size_t done = 0;
        while (done < bytes.size()) {
            LARGE_INTEGER end{};
            DWORD written = 0;
            const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 0x40000000));
            if (!::SetFilePointerEx(handle_, end, nullptr, FILE_END) ||
                !::WriteFile(handle_, bytes.data() + done, asked, &written, nullptr)) {
                error = ReasonFromWindows(::GetLastError());
                return done;
            }
            if (written == 0) {
                error = ReasonFromWindows(ERROR_DISK_FULL);
                return done;
            }
            done += written;
        }
        return done;
    }

    std::string Tail(std::size_t count) override
    {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(handle_, &size))
            throw FileError(FileError::Step::kOpen, "", ReasonFromWindows(::GetLastError()));
        const std::uint64_t length = std::min<std::uint64_t>(count, static_cast<std::uint64_t>(size.QuadPart));
        std::string tail(length, '\0');
        OVERLAPPED at{};
        const std::uint64_t offset = static_cast<std::uint64_t>(size.QuadPart) - length;
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        if (length > 0 && !::ReadFile(handle_, tail.data(), static_cast<DWORD>(length), &read, &at))
            throw FileError(FileError::Step::kOpen, "", ReasonFromWindows(::GetLastError()));
        tail.resize(read);
        return tail;
    }

    bool TakeBack(std::size_t count) override
    {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(handle_, &size))
            return false;
        LARGE_INTEGER cut{};
        cut.QuadPart = size.QuadPart - static_cast<LONGLONG>(std::min<std::uint64_t>(count, size.QuadPart));
        return ::SetFilePointerEx(handle_, cut, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle_);
    }

    SystemReason Sync() override
    {
        if (!::FlushFileBuffers(handle_))
            return ReasonFromWindows(::GetLastError());
        return {};
    }

    SystemReason Close() override
    {
        if (handle_ == INVALID_HANDLE_VALUE)
            return {};
        const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        if (!::CloseHandle(handle)) // the lock goes with the handle
            return ReasonFromWindows(::GetLastError());
        return {};
    }

private:
    HANDLE handle_;
};

} // namespace

std::optional<FileText> SystemDataFolder::Read(std::string_view name)
{
    const std::string path = PathOf(name);
    return OnFile(FileError::Step::kOpen, path, [&]() -> std::optional<FileText> {
        std::optional<OpenFile> file = OpenToRead(path);
        if (!file)
            return std::nullopt;
        const FileStatus status = file->Status();
        if (!status.regular)
            throw FileError(FileError::Step::kOpen, path, ReasonFromWindows(ERROR_DIRECTORY));
        FileText text;
        text.Reserve(static_cast<std::size_t>(status.size));
        unsigned char buffer[kChunk];
        std::uint64_t offset = 0;
        while (const std::size_t got = file->ReadAt(buffer, sizeof buffer, offset)) {
            text.Append(reinterpret_cast<const char*>(buffer), got);
            offset += got;
        }
        return text;
    });
}

void SystemDataFolder::Replace(std::string_view name, const std::function<bool(FileSink&)>& write)
{
    const std::string path = PathOf(name);
    const std::string temporary = path + ".tmp";
    // A leftover of a crash is removed; a link or a folder there is refused by the create.
    if (const std::optional<FileStatus> left = StatusOf(temporary); left && left->regular)
        RemoveFile(temporary);
    OpenFile file = OnFile(FileError::Step::kCreate, temporary, [&] { return CreateAfresh(temporary); });
    try {
        FileSinkOnHandle sink(file);
        if (!write(sink))
            throw FileError(FileError::Step::kWrite, temporary, sink.Failure());
        OnFile(FileError::Step::kWrite, temporary, [&] {
            file.Sync();
            file.Close();
        });
        // MOVEFILE_WRITE_THROUGH: the rename is on the disk when it returns, the folder's
        // flush included.
        OnFile(FileError::Step::kRename, path, [&] { RenameFile(temporary, path); });
    } catch (...) {
        file = OpenFile();
        RemoveFile(temporary);
        throw;
    }
}

void SystemDataFolder::Copy(std::string_view from, std::string_view to)
{
    const std::string source = PathOf(from);
    const std::string target = PathOf(to);
    if (StatusOf(target))
        throw FileError(FileError::Step::kCreate, target, ReasonFromWindows(ERROR_FILE_EXISTS));
    std::optional<FileText> bytes = Read(from);
    if (!bytes)
        throw FileError(FileError::Step::kOpen, source, ReasonFromWindows(ERROR_FILE_NOT_FOUND));
    OpenFile file = OnFile(FileError::Step::kCreate, target, [&] { return CreateAfresh(target); });
    OnFile(FileError::Step::kWrite, target, [&] {
        file.WriteAll(reinterpret_cast<const unsigned char*>(bytes->View().data()), bytes->View().size());
        file.Sync();
        file.Close();
    });
}

std::unique_ptr<AppendFile> SystemDataFolder::OpenForAppending(std::string_view name)
{
    const std::string path = PathOf(name);
    const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        throw FileError(FileError::Step::kOpen, path, ReasonFromWindows(ERROR_CANT_RESOLVE_FILENAME));
    win32::OwnerOnly ownerOnly; // for a log made here; one there keeps its own
    const HANDLE handle = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, ownerOnly.Attributes(), OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw FileError(FileError::Step::kOpen, path, ReasonFromWindows(::GetLastError()));
    OVERLAPPED whole{};
    if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        throw FileError(FileError::Step::kOpen, path, ReasonFromWindows(error));
    }
    return std::make_unique<LockedAppendFile>(handle);
}

void PrepareDataFolder(const std::string& path)
{
    std::wstring folder = WidePath(path);
    while (folder.size() > 1 && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    // Made from the top down, each part made the owner's only (what it holds takes the same);
    // a part that exists is left as it is.
    win32::OwnerOnly ownerOnly(win32::OwnerOnly::Kind::Folder);
    for (std::size_t separator = folder.find_first_of(L"\\/", 3);; separator = folder.find_first_of(L"\\/", separator + 1)) {
        const std::wstring part = folder.substr(0, separator);
        if (!::CreateDirectoryW(part.c_str(), ownerOnly.Attributes()) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            throw Exception("the data folder " + path + " cannot be made (" + win32::Narrow(part, CP_UTF8) + ": " +
                            ReasonFromWindows(::GetLastError()).text + ")");
        if (separator == std::wstring::npos)
            break;
    }
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        throw Exception("the data folder " + path + " cannot be used: " + ReasonFromWindows(::GetLastError()).text);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        throw Exception("the data folder " + path + " cannot be used: it is no folder");
    // Windows answers whether this process may write only by trying: a probe file, made and
    // deleted at once.
    const std::wstring probe = folder + L"\\.lobby-write-check";
    const HANDLE handle = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw Exception("the data folder " + path + " cannot be written: " + ReasonFromWindows(::GetLastError()).text);
    ::CloseHandle(handle);
}

} // namespace lobby
