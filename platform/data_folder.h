#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/exception.h"
#include "platform/file_text.h"
#include "platform/system_reason.h"

namespace lobby {

// A file of the data folder could not be read, made or written. Its message names the file
// and the reason ("/var/lib/lobby-server/cadastro.txt.tmp: No space left on device"); the
// callers put it in their own words.
class FileError : public Exception {
public:
    // The step that failed. In a replacement every step before kRename leaves the old file
    // whole; kSyncFolder comes after the rename, which then may not survive a power loss.
    enum class Step { kOpen, kCreate, kWrite, kRename, kSyncFolder };

    FileError(Step step, std::string path, SystemReason reason)
        : Exception(path + ": " + reason.text), step_(step), path_(std::move(path)), reason_(std::move(reason))
    {
    }
    Step FailedStep() const noexcept { return step_; }
    SystemReason::Kind Kind() const noexcept { return reason_.kind; }
    const std::string& Path() const noexcept { return path_; }
    const std::string& Reason() const noexcept { return reason_.text; }
    const SystemReason& Why() const noexcept { return reason_; }

private:
    Step step_;
    std::string path_;
    SystemReason reason_;
};

// Takes a file's bytes as they are written.
class FileSink {
public:
    virtual ~FileSink() = default;
    // False when the bytes could not be written; the writer then stops.
    virtual bool Write(std::string_view bytes) = 0;
};

// A file of the data folder open for appending, held exclusively while open.
class AppendFile {
public:
    virtual ~AppendFile() = default;
    // Appends bytes; returns how many reached the file, and sets error to the system's reason
    // when that is fewer than all (to no failure otherwise).
    virtual std::size_t Write(std::string_view bytes, SystemReason& error) = 0;
    // The last count bytes of the file (fewer when it is shorter). Raises FileError.
    virtual std::string Tail(std::size_t count) = 0;
    // Takes the last count bytes off the end. False when the system refused.
    virtual bool TakeBack(std::size_t count) = 0;
    // Returns once the bytes appended so far are on the disk itself (a power loss keeps them):
    // no failure, or the system's reason, and then it is unknown how much of them is there.
    virtual SystemReason Sync() = 0;
    // Closes now: no failure, or the system's reason (the file is released either way).
    virtual SystemReason Close() = 0;
};

// One implementation per system: platform/posix/system_data_folder.cpp, and on Windows
// platform/win32/system_data_folder.cpp over CreateFileW, FlushFileBuffers, MoveFileExW and
// LockFileEx (platform/win32/durable_file.h).
// The folder the server keeps its files in: the registry, its copies, the traffic logs. Files
// are named within it, and none is ever opened through a symbolic link: a link planted under
// a file's name (to have the passwords written elsewhere, or another file's mode changed) is
// refused with a FileError saying so. Files it makes are readable and writable by their
// owner only, whatever the umask, since they hold every password in clear.
// The system's folder (SystemDataFolder) may be used from any thread; a folder held in memory
// (for the fuzz targets) only from one.
class DataFolder {
public:
    // path ends with "/".
    explicit DataFolder(std::string path) : path_(std::move(path)) {}
    virtual ~DataFolder() = default;
    DataFolder(const DataFolder&) = delete;
    DataFolder& operator=(const DataFolder&) = delete;

    const std::string& Path() const { return path_; }
    std::string PathOf(std::string_view name) const { return path_ + std::string(name); }

    // The file's whole content; nothing when there is no such file. Anything else that stops
    // the read (no permission, a link or a folder in its place) raises FileError.
    virtual std::optional<FileText> Read(std::string_view name) = 0;

    // Replaces the file with the bytes write hands to its sink, so that whatever happens the
    // name holds either the old content or the new one whole: the bytes go to name + ".tmp",
    // created afresh (a leftover file of that name from a crash is removed first; anything
    // else there, a link above all, is refused), flushed to disk, renamed over the old file,
    // and the folder is flushed so that the rename survives a power loss. The new file takes
    // the old one's mode; a first one gets 0600. write returns false when its sink failed.
    // Raises FileError; a temporary file is never left behind by a failure.
    virtual void Replace(std::string_view name, const std::function<bool(FileSink&)>& write) = 0;

    // Makes the file to, which must not exist, a copy of from, flushed to disk with the
    // folder. Raises FileError (a to that exists: kind kAlreadyExists, nothing changed).
    virtual void Copy(std::string_view from, std::string_view to) = 0;

    // Opens the file for appending, making it when it does not exist; locked so that nobody
    // else who asks for it the same way can open it meanwhile. A file that exists keeps its
    // mode. Raises FileError (a file held by another: kind kHeldByAnother).
    virtual std::unique_ptr<AppendFile> OpenForAppending(std::string_view name) = 0;

private:
    std::string path_;
};

} // namespace lobby
