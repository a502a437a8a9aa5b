#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/exception.h"
#include "server/registry_snapshot.h"

namespace lobby {

// The registry file exists but cannot be read. The server must then neither replace it nor
// ever save over it, so this is never shown and carried on from like other errors.
class RegistryUnreadable : public Exception {
public:
    using Exception::Exception;
};

// A save of the registry failed: the players registered and the points reported since the
// last save that worked are on no disk. Unlike a client's failed request this is never
// held back with the other errors of a busy minute: whoever runs a save, and whenever, the
// operator is told at once. Its message is "Cannot create file <path>" or "Stream write error".
class RegistrySaveError : public Exception {
public:
    using Exception::Exception;
};

// A file's bytes, held in memory pages of their own so that a reader done with the front of
// them can give those pages back at once. A million-player registry is 40 MB: kept whole
// beside the table built from it, it would raise the start-up peak by that much. Move-only.
class FileText {
public:
    FileText() = default;
    FileText(FileText&& other) noexcept;
    FileText& operator=(FileText&& other) noexcept;
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;
    ~FileText();

    // The bytes; those before an offset given to ReleaseBefore read as NUL bytes from then on.
    std::string_view View() const { return {data_, size_}; }
    // Gives back the whole pages before offset: the caller will not read those bytes again.
    void ReleaseBefore(std::size_t offset);

    // Appends bytes, growing the pages as needed; raises std::bad_alloc when the system has
    // no memory for them.
    void Append(const char* bytes, std::size_t count);
    void Reserve(std::size_t capacity);

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0; // bytes mapped, a whole number of pages
};

// The registry file's whole content, or nothing when there is no such file. Any other
// failure (no permission, a folder in its place, a read error) raises RegistryUnreadable
// naming the path and the system's reason.
std::optional<FileText> ReadRegistryFile(const std::string& path);

// Replaces the file at path with bytes so that, whatever happens, the path holds either the
// old content or the new one whole: the bytes go to a temporary file in the same folder,
// which is flushed to disk and then renamed over the old one. A temporary file that cannot
// be created or renamed raises RegistrySaveError "Cannot create file <path>"; a write or
// flush that fails raises RegistrySaveError "Stream write error". The old file is untouched
// either way. The new file keeps the old one's mode; a file made anew is readable and
// writable by its owner only, whatever the umask, since it holds every password in clear.
void WriteFileReplacing(const std::string& path, const std::string& bytes);

// Replaces the registry file at path, as WriteFileReplacing does, with the snapshot's rows.
// The rows' lines go to the system a megabyte at a time, with no whole text built in between:
// a million-player save costs little more than the bytes' own write and flush.
// Safe on any thread, as long as the snapshot is not released meanwhile.
void WriteRegistryFile(const std::string& path, const RegistrySnapshot& snapshot);

// The registry file's text for the snapshot, as WriteRegistryFile writes it; with lineStarts,
// also where each of its lines starts.
std::string RegistryText(const RegistrySnapshot& snapshot, std::vector<std::size_t>* lineStarts = nullptr);

} // namespace lobby
