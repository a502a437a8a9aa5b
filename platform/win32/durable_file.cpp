#include "platform/win32/durable_file.h"

#include <utility>

#include "platform/win32/windows_error.h"

namespace lobby::win32 {

namespace {

// The file's name as an error names it, in the lobby's 8-bit text.
std::string Shown(const std::filesystem::path& path)
{
    return Narrow(path.wstring(), 1252);
}

// Writes bytes whole; WriteFile may take less than asked for.
void WriteWhole(HANDLE file, std::string_view bytes, const std::filesystem::path& path)
{
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr))
            throw WindowsError("Cannot write " + Shown(path), ::GetLastError());
        bytes.remove_prefix(written);
    }
}

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const { return handle_; }
    bool Close()
    {
        if (handle_ == INVALID_HANDLE_VALUE)
            return true;
        return ::CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)) != 0;
    }

private:
    HANDLE handle_;
};

} // namespace

void ReplaceFileDurably(const std::filesystem::path& path, std::string_view bytes)
{
    std::filesystem::path temporary = path;
    temporary += L".tmp";
    Handle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE)
        throw WindowsError("Cannot create " + Shown(temporary), ::GetLastError());
    try {
        WriteWhole(file.Get(), bytes, temporary);
        if (!::FlushFileBuffers(file.Get()))
            throw WindowsError("Cannot flush " + Shown(temporary) + " to disk", ::GetLastError());
        if (!file.Close())
            throw WindowsError("Cannot close " + Shown(temporary), ::GetLastError());
        if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            throw WindowsError("Cannot replace " + Shown(path), ::GetLastError());
    } catch (...) {
        file.Close();
        ::DeleteFileW(temporary.c_str());
        throw;
    }
}

LockedAppendFile::LockedAppendFile(const std::filesystem::path& path)
    : path_(path),
      // FILE_APPEND_DATA alone: every write lands at the end, whoever wrote last.
      file_(::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr))
{
    if (file_ == INVALID_HANDLE_VALUE)
        throw WindowsError("Cannot open " + Shown(path), ::GetLastError());
}

LockedAppendFile::~LockedAppendFile()
{
    ::CloseHandle(file_);
}

void LockedAppendFile::Append(std::string_view bytes)
{
    // The whole possible range: a lock on the bytes past the end as they are now would not
    // keep out a writer that appends first.
    OVERLAPPED range{};
    if (!::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &range))
        throw WindowsError("Cannot lock " + Shown(path_), ::GetLastError());
    try {
        WriteWhole(file_, bytes, path_);
    } catch (...) {
        ::UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &range);
        throw;
    }
    ::UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &range);
}

} // namespace lobby::win32
