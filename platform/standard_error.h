#pragma once

#include <string>
#include <string_view>

namespace lobby {

// The process's one writer of lines to standard error. A line goes out in one write and is
// flushed at once, so lines never run into each other and none waits in a buffer when the
// process ends (or is killed) right after.

// How much a line matters, as syslog numbers it: the journal files each line under its
// priority, so "journalctl -p err" finds the failures among the notices.
enum class LinePriority {
    kFailure = 3,     // what loses or risks data: a failed save, a failed log write
    kWarning = 4,     // an error the lobby goes on after, a refused request or setting
    kInformation = 6, // what the operator is told for the record
};

// text and a line end, as a warning.
void WriteErrorLine(std::string_view text);
// "caption: text" and a line end, as a warning: how the operator is told where there is no
// window (and, in a window, what must not be lost should the box never come).
void WriteErrorLine(std::string_view caption, std::string_view text);
// The same at the given priority.
void WriteErrorLine(LinePriority priority, std::string_view caption, std::string_view text);

// The line as written: "<N>" before it when standard error is the journal, which reads the
// priority from there; elsewhere (a terminal, a file) the line as it is.
std::string PrioritizedLine(bool toJournal, LinePriority priority, std::string_view caption, std::string_view text);

// Whether standard error is the journal's stream: $JOURNAL_STREAM names its device and
// inode ("DEV:INO") and descriptor 2 is that very stream (not one a shell redirected
// elsewhere after the journal started the process). Never on a system without a journal.
bool StandardErrorIsJournal();

} // namespace lobby
