#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data_folder.h"
#include "platform/exception.h"
#include "platform/file_text.h"
#include "server/registry/registry_snapshot.h"

namespace lobby {

// The registry file's format: one line per table row, the header first, each cell followed
// by a comma, lines ended by CR LF (a CR or an LF alone ends one too when read back). Cells
// hold no commas, so a line splits at each one.

// A line of the registry file is read back at most this long; the rest of it is cut.
constexpr std::size_t kMaxRegistryLineLength = 4096;
// The cells a line is read into: presence marker, nick, password, address, score, flag.
constexpr std::size_t kRegistryLineCells = 6;

// The line that starts at pos, moving pos past its line end: a CR, an LF or the pair. A line
// end after the last line adds no line; past the text there is none.
std::optional<std::string_view> NextRegistryLine(std::string_view text, std::size_t& pos);

// The first line of text, as a load reads it (cut to kMaxRegistryLineLength).
std::string_view FirstRegistryLine(std::string_view text);

// Whether a registry line is the header: its second cell is "Nick", as the server writes it.
bool ReadsAsRegistryHeader(std::string_view line);

// One line split into its cells: each comma ends a cell; the text after the last comma and
// cells past the sixth are dropped (the missing ones stay empty). used: the bytes of the line
// that went into cells, commas included, so that what was dropped can be told.
struct RegistryLineCells {
    std::array<std::string_view, kRegistryLineCells> cells{};
    std::size_t used = 0;
};
RegistryLineCells SplitRegistryLine(std::string_view line);

// The registry file exists but cannot be read. The server must then neither replace it nor
// ever save over it, so this is never shown and carried on from like other errors.
class RegistryUnreadable : public Exception {
public:
    using Exception::Exception;
};

// A save of the registry failed: the players registered and the points reported since the
// last save that worked are on no disk. Unlike a client's failed request this is never
// held back with the other errors of a busy minute: whoever runs a save, and whenever, the
// operator is told at once. Its message is "Cannot create file <path>" or "Stream write
// error", followed by the file and the system's reason in brackets.
class RegistrySaveError : public Exception {
public:
    using Exception::Exception;
};

// The registry file's whole content, or nothing when there is no such file. Any other
// failure (no permission, a folder or a symbolic link in its place, a read error) raises
// RegistryUnreadable naming the path and the reason.
std::optional<FileText> ReadRegistryFile(DataFolder& folder, std::string_view name);

// Replaces the file name of folder with bytes so that, whatever happens, it holds either the
// old content or the new one whole (see DataFolder::Replace: a temporary file made afresh,
// flushed, renamed over the old one, the folder flushed). Raises RegistrySaveError naming
// the file and the system's reason: "Cannot create file <path> (<file>: <reason>)" when a
// file cannot be made or renamed, or the folder not flushed; "Stream write error (<file>:
// <reason>)" when the bytes cannot be written or flushed. The old file is untouched unless
// only the folder's flush failed (the rename is done, but might not survive a power loss).
void WriteFileReplacing(DataFolder& folder, std::string_view name, std::string_view bytes);

// Replaces the registry file, as WriteFileReplacing does, with the snapshot's rows. The
// rows' lines go to the system a megabyte at a time, with no whole text built in between: a
// million-player save costs little more than the bytes' own write and flush. Safe on any
// thread (folder being the system's), as long as the snapshot is not released meanwhile.
void WriteRegistryFile(DataFolder& folder, std::string_view name, const RegistrySnapshot& snapshot);

// The same, for a file named by its whole path (tools, benchmarks and tests).
std::optional<FileText> ReadRegistryFile(const std::string& path);
void WriteFileReplacing(const std::string& path, std::string_view bytes);
void WriteRegistryFile(const std::string& path, const RegistrySnapshot& snapshot);

// The registry file's text for the snapshot, as WriteRegistryFile writes it; with lineStarts,
// also where each of its lines starts.
std::string RegistryText(const RegistrySnapshot& snapshot, std::vector<std::size_t>* lineStarts = nullptr);

} // namespace lobby
