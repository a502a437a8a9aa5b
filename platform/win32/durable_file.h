#pragma once

#include <filesystem>
#include <string_view>

#include <windows.h>

namespace lobby::win32 {

// Replaces the file at path with bytes so that, whatever happens, it holds either the old
// contents or the new ones whole: the bytes go to path + ".tmp", are flushed to the disk
// (FlushFileBuffers), and the temporary file then takes the old one's place in one step
// written through to the disk (MoveFileExW with MOVEFILE_WRITE_THROUGH), the Windows form of
// write, fsync, rename, fsync of the folder. The new file is the owner's only where the
// folder's permissions say so (it inherits them, as files made beside the program do).
// Throws WindowsError naming the step and the file; the temporary file is removed then.
void ReplaceFileDurably(const std::filesystem::path& path, std::string_view bytes);

// A file only appended to, by this process and any other at once (two servers sharing a
// log folder by mistake, an operator's tool): every Append holds an exclusive lock on the
// file (LockFileEx) while it writes, so lines never interleave, and goes to the end of the
// file as it is then. Readers are not kept out.
class LockedAppendFile {
public:
    explicit LockedAppendFile(const std::filesystem::path& path);
    ~LockedAppendFile();
    LockedAppendFile(const LockedAppendFile&) = delete;
    LockedAppendFile& operator=(const LockedAppendFile&) = delete;

    // Writes bytes whole at the end. Throws WindowsError; the lock is released either way.
    void Append(std::string_view bytes);

private:
    std::filesystem::path path_;
    HANDLE file_;
};

} // namespace lobby::win32
